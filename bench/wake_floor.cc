// What one wake-up a second costs this machine by itself: a process that sleeps in poll() for a
// second, checks the given paths with one stat each, and sleeps again, forever. watch_bench.py
// measures it next to the relay, so the relay's own share of an idle minute can be told apart
// from the machine's. Ended by a signal.
#include <poll.h>
#include <sys/stat.h>

int main(int argc, char** argv) {
  for (;;) {
    poll(nullptr, 0, 1000);
    struct stat info {};
    for (int i = 1; i < argc; ++i) stat(argv[i], &info);
  }
}
