// The entry of corbelwynford-feed on Linux: one message into the incoming file, as
// "corbelwynford --feed" does, for a daemon's handler line that takes a program without arguments.
#include <cstdio>
#include <exception>

#include "app/feed_posix.h"

int main(int argc, char** argv) {
  try {
    return cw::FeedFromCommandLine(argc, argv, 1);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "corbelwynford-feed: %s\n", error.what());
    return 1;
  }
}
