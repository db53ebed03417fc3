#pragma once
#include <string>
#include <string_view>

#include "relay/corbelwynford_procs.h"

namespace cw {

// One scan cycle, the relay itself: read the settings, claim the incoming-message file by
// renaming it, post each of its lines, log each exchange and its outcome, delete the claim file
// and re-arm the scan timer. Every step is guarded: a failing step is abandoned, what it would
// have stored keeps its value, and the next step runs.
void RunScanCycle(Corbelwynford_Procs& procs);

// ScanFile from the FileToScan setting: an absolute path is used as written, anything else is
// taken from the program's folder by plain concatenation.
std::string ResolveScanFile(const FileSystem& files, const std::string& app_path,
                            const std::string& file_to_scan);

// Removes every "[", "]", "\", "{" and "}".
std::string RemoveBrackets(std::string_view text);

// template_text with every "[Message]", in any letter case, replaced by message.
std::string FillBodyTemplate(std::string_view template_text, std::string_view message);

}  // namespace cw
