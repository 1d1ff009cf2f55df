// Fuzz target: arbitrary bytes as a recording, through the whole run: reading, detector,
// decoder, naming and writing MZF files (into a private temporary directory). The same bytes fed
// to the converter in pieces of another size must print the same and complete the same programs.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "app/driver.h"
#include "converter/converter.h"

namespace {

char work_dir[] = "/tmp/mzfextract-fuzz-XXXXXX";
int work_fd = -1;

void remove_work_dir() {
  std::filesystem::remove_all(work_dir);
}

// Pieces of a size that is no divisor of the run's reads.
constexpr std::size_t PIECE = 61;

// Closes a memory stream and gives what it holds.
std::string text_of(std::FILE* stream, char** text, const std::size_t* size) {
  std::fclose(stream);
  std::string result(*text, *size);
  std::free(*text);
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (::mkdtemp(work_dir) == nullptr) std::abort();
  work_fd = ::open(work_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (work_fd < 0) std::abort();
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
  ::lseek(fd, 0, SEEK_SET);
  char* text = nullptr;
  std::size_t length = 0;
  std::FILE* trace = ::open_memstream(&text, &length);
  std::FILE* errors = std::fopen("/dev/null", "w");
  if (trace == nullptr || errors == nullptr) std::abort();
  mzfextract::convert_recording(fd, work_fd, trace, errors);
  std::fclose(errors);
  const std::string whole = text_of(trace, &text, &length);
  ::close(fd);
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(work_dir)) {
    std::filesystem::remove(entry.path());
    ++files;
  }

  text = nullptr;
  length = 0;
  trace = ::open_memstream(&text, &length);
  if (trace == nullptr) std::abort();
  const auto converter = std::make_unique<mzfextract::Converter>();
  mzfextract::converter_init(*converter, trace);
  int programs = 0;
  const mzfextract::ProgramSink count{[](void* n, const mzfextract::ProgramView&) {
                                        ++*static_cast<int*>(n);
                                        return 0;
                                      },
                                      &programs};
  for (std::size_t at = 0; at < size; at += PIECE) {
    mzfextract::converter_feed(*converter, data + at, std::min(PIECE, size - at), count);
  }
  mzfextract::converter_finish(*converter, count);
  const std::string pieces = text_of(trace, &text, &length);
  // A program may share its file name with one before it: it replaces that file.
  if (whole != pieces || files > programs) std::abort();
  return 0;
}
