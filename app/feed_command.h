#pragma once
// `corbelwynford --feed`: appends exactly one message to the incoming file that the relay beside
// this executable scans, for any program that receives SMS (see feed/message_sources.h). It takes
// no single-instance lock and works whether or not the relay runs, in either mode.
#include <string>

#include "feed/message_sources.h"
#include "settings/profile_reader.h"

namespace cw {

// How long a feed waits for the relay or another feed to let go of the incoming file.
inline constexpr int kFeedWaitMs = 10000;

// Reads FileToScan, FeedCharset and FeedFormat from the settings file in program_folder (which
// ends in its separator), and appends the message's record there. A settings file that is there but
// cannot be read, and an incoming file that is anything but a plain file, fail the feed. Returns
// the exit status: 0 when the record is on the disk or there was nothing to feed; 1 with one line
// in error, and the incoming file as it was, on any failure.
int RunFeedCommand(const FeedInput& input, ProfileReader& profile,
                   const std::string& program_folder, std::string& error);

}  // namespace cw
