// Fuzz target: arbitrary bytes as a recording, through the whole run: detector, decoder,
// naming and writing MZF files (into a private temporary directory).
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "app/driver.h"

namespace {
std::FILE* trace = nullptr;
char work_dir[] = "/tmp/mzfextract-fuzz-XXXXXX";

void remove_work_dir() {
  std::filesystem::remove_all(work_dir);
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (::mkdtemp(work_dir) == nullptr || ::chdir(work_dir) != 0) std::abort();
  std::atexit(remove_work_dir);
  trace = std::fopen("/dev/null", "w");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int fd = ::memfd_create("recording", MFD_CLOEXEC);
  if (fd < 0) std::abort();
  for (std::size_t done = 0; done < size;) {
    const ssize_t written = ::write(fd, data + done, size - done);
    if (written <= 0) std::abort();
    done += static_cast<std::size_t>(written);
  }
  ::lseek(fd, 0, SEEK_SET);
  mzfextract::convert_recording(fd, trace);
  ::close(fd);
  for (const auto& entry : std::filesystem::directory_iterator(".")) {
    std::filesystem::remove(entry.path());
  }
  return 0;
}
