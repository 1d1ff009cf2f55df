// Fuzz target: arbitrary bytes as a recording, through the whole run: reading, detector,
// decoder, naming and writing MZF files (into a private temporary directory), once with the
// recording read ahead on a second thread and once in line; the two must print and return the
// same.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/driver.h"

namespace {
char work_dir[] = "/tmp/mzfextract-fuzz-XXXXXX";

void remove_work_dir() {
  std::filesystem::remove_all(work_dir);
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (::mkdtemp(work_dir) == nullptr || ::chdir(work_dir) != 0) std::abort();
  std::atexit(remove_work_dir);
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
  std::string traces[2];
  int statuses[2] = {};
  const mzfextract::ReadMode modes[2] = {mzfextract::ReadMode::AHEAD,
                                         mzfextract::ReadMode::IN_LINE};
  for (int run = 0; run < 2; ++run) {
    ::lseek(fd, 0, SEEK_SET);
    char* text = nullptr;
    std::size_t length = 0;
    std::FILE* trace = ::open_memstream(&text, &length);
    if (trace == nullptr) std::abort();
    statuses[run] = mzfextract::convert_recording_along(modes[run], fd, trace);
    std::fclose(trace);
    traces[run].assign(text, length);
    std::free(text);
    for (const auto& entry : std::filesystem::directory_iterator(".")) {
      std::filesystem::remove(entry.path());
    }
  }
  ::close(fd);
  if (traces[0] != traces[1] || statuses[0] != statuses[1]) std::abort();
  return 0;
}
