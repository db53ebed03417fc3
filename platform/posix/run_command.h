#pragma once
// Runs another program directly (no shell in between) and waits for it.
#include <string>
#include <vector>

namespace cw {

// argv[0] is looked up on PATH when it holds no slash. The child gets default signal handling and
// an empty signal mask (ours blocks the signals that the loop reads from a signalfd), standard
// input and output on /dev/null, and our standard error unless quiet_stderr is set.
// Returns the child's exit status 0..255, or -1 when it could not be started or died of a signal.
int RunCommand(const std::vector<std::string>& argv, bool quiet_stderr);

}  // namespace cw
