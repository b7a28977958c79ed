// Preloaded into the tool by tests: flock fails as it does on file systems without locks.
#include <sys/file.h>

#include <cerrno>

extern "C" int flock(int, int) {
  errno = ENOLCK;
  return -1;
}
