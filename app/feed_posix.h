#pragma once
// The feed on Linux, for both entries that run it: "corbelwynford --feed" and the small
// "corbelwynford-feed", which loads none of the relay's HTTP, terminal or systemd libraries and
// which daemons that want a handler without arguments (smstools) are given.

namespace cw {

// Feeds the message that argv[first..] and the environment describe into the incoming file of
// the relay beside this executable. Returns the exit status; a failure's reason is on standard
// error.
int FeedFromCommandLine(int argc, char** argv, int first);

}  // namespace cw
