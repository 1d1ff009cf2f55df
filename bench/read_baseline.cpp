// The benchmark's baseline: reads a file in 2048-byte chunks, as the converter does, and sums
// the bytes, so that the converter's cost can be told apart from the cost of reading.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const int fd = ::open(argv[1], O_RDONLY);
  if (fd < 0) return 1;
  unsigned char chunk[2048];
  std::uint64_t sum = 0;
  ssize_t count = 0;
  while ((count = ::read(fd, chunk, sizeof chunk)) > 0) {
    for (ssize_t i = 0; i < count; ++i) sum += chunk[i];
  }
  ::close(fd);
  std::printf("%llu\n", static_cast<unsigned long long>(sum));
  return count < 0 ? 1 : 0;
}
