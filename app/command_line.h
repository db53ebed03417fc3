#pragma once
// What the command line asks of the program.
#include <string>

#include "cw_version.h"

namespace cw {

inline constexpr char kVersionText[] = CW_VERSION_TEXT;

// What a program entry does with its argument text: "--help" and "--version" act only when they
// are the whole of it; "--feed" as the first argument makes the rest of the line the feed's own,
// where no service switch applies; any other text runs the program, where the switches apply.
enum class EntryAction { kRun, kShowHelp, kShowVersion, kFeed };
EntryAction ActionFor(const std::string& argument_text);

// What "--help" shows.
extern const char kUsageText[];

// The switch ("/U", "/I" or "/Q") anywhere in the argument text, in either letter case.
bool HasSwitch(const std::string& argument_text, const std::string& upper_switch);

// How an error that no handler caught is reported, in the log and on standard error.
std::string RunTimeErrorText(const std::string& what);

}  // namespace cw
