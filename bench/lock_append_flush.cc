// The yardstick for a feed's cost: the least a program can do to hand over one message safely,
// written as a C program would be. It appends one record to a file under flock and waits for the
// disk: what bench/feed_cost.py times "corbelwynford-feed" against.
//   lock_append_flush FILE
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  static const char kRecord[] = "a message of an ordinary length, as an SMS brings it\r\n";
  const int fd = open(argv[1], O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0660);
  if (fd < 0 || flock(fd, LOCK_EX) != 0) return 1;
  const bool written = write(fd, kRecord, sizeof kRecord - 1) == sizeof kRecord - 1;
  const bool flushed = fsync(fd) == 0;
  flock(fd, LOCK_UN);
  return close(fd) == 0 && written && flushed ? 0 : 1;
}
