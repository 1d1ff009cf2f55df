// The benchmark's baseline: reads a file in 2048-byte chunks and nothing else, as
// `dd if=FILE of=/dev/null bs=2048` does, so that the converter's cost can be told apart from the
// cost of reading.
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const int fd = ::open(argv[1], O_RDONLY);
  if (fd < 0) return 1;
  unsigned char chunk[2048];
  ssize_t count = 0;
  while ((count = ::read(fd, chunk, sizeof chunk)) > 0) {
  }
  ::close(fd);
  return count < 0 ? 1 : 0;
}
