// mzfextract: extracts the programs recorded on a cassette tape, given as an 8-bit unsigned
// mono WAV recording, and saves each one as an MZF file in the current directory.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "app/driver.h"

namespace {

constexpr char DEFAULT_PROGRAM_NAME[] = "mzfextract";

void print_usage(const char* program_name) {
  std::printf("\nUsage: %s <8bit-mono-*.wav-filename>\n", program_name);
  std::puts("       - convert wav to *.MZF files");
}

// Everything printed must have reached standard output; a full disk is an error, not success.
int finish_output(int status) {
  const bool failed = std::fflush(stdout) != 0 || std::ferror(stdout) != 0;
  if (!failed) return status;
  if (errno == 0) errno = EIO;
  std::perror("Nelze zapsat vystup");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    const bool named = argc > 0 && argv[0] != nullptr && argv[0][0] != '\0';
    print_usage(named ? argv[0] : DEFAULT_PROGRAM_NAME);
    return finish_output(0);
  }
  const int input_fd = ::open(argv[1], O_RDONLY | O_CLOEXEC);
  if (input_fd < 0) {
    std::perror("Nelze otevrit soubor");
    return 1;
  }
  const int status = mzfextract::convert_recording(input_fd, AT_FDCWD, stdout, stderr);
  ::close(input_fd);
  errno = 0;
  return finish_output(status);
}
