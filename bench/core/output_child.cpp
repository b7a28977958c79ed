// Child program of the command runner benchmark: writes N bytes of text to standard output.
#include <unistd.h>

#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  long long left = argc > 1 ? std::atoll(argv[1]) : 0;
  const std::string block(1 << 20, 'x');
  while (left > 0) {
    const auto n = static_cast<std::size_t>(std::min<long long>(left, static_cast<long long>(block.size())));
    std::size_t done = 0;
    while (done < n) {
      const ssize_t put = write(1, block.data() + done, n - done);
      if (put <= 0) return 1;
      done += static_cast<std::size_t>(put);
    }
    left -= static_cast<long long>(n);
  }
  return 0;
}
