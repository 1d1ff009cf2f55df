#include "mzf/mzf_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace mzfextract {

namespace {

constexpr char NAME_TEMPLATE[] = "_________________#000.MZF";
constexpr std::size_t NUMBER_POSITION = NAME_LENGTH + 1;

struct LowercaseCode {
  std::uint8_t code;
  char letter;
};

// The tape character set's lower-case letters.
constexpr LowercaseCode lowercase_map[] = {
    {0xA1, 'a'}, {0x9A, 'b'}, {0x9F, 'c'}, {0x9C, 'd'}, {0x92, 'e'}, {0xAA, 'f'}, {0x97, 'g'},
    {0x98, 'h'}, {0xA6, 'i'}, {0xAF, 'j'}, {0xA9, 'k'}, {0xB8, 'l'}, {0xB3, 'm'}, {0xB0, 'n'},
    {0xB7, 'o'}, {0x9E, 'p'}, {0xA0, 'q'}, {0x9D, 'r'}, {0xA4, 's'}, {0x96, 't'}, {0xA5, 'u'},
    {0xAB, 'v'}, {0xA3, 'w'}, {0x9B, 'x'}, {0xBD, 'y'}, {0xA2, 'z'},
};

// The character a tape code stands for in a file name, or 0 when it has none.
char name_character(std::uint8_t code) {
  if ((code >= '0' && code <= '9') || (code >= 'A' && code <= 'Z')) return static_cast<char>(code);
  for (const LowercaseCode& entry : lowercase_map) {
    if (entry.code == code) return entry.letter;
  }
  return 0;
}

bool write_all(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

bool is_same_file(const struct stat& status, const FileIdentity* keep) {
  return keep != nullptr && status.st_dev == keep->device && status.st_ino == keep->inode;
}

// Opens the output without truncating it, so that a file that must be kept can be recognised
// first; O_NONBLOCK keeps a FIFO of the same name from hanging the run.
int create_output(const char* name, const FileIdentity* keep) {
  const int fd = ::open(name, O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  struct stat status {};
  int error = ::fstat(fd, &status) == 0 ? 0 : errno;
  if (error == 0 && is_same_file(status, keep)) error = EBUSY;
  if (error == 0 && S_ISREG(status.st_mode) && ::ftruncate(fd, 0) != 0) error = errno;
  if (error == 0) return fd;
  ::close(fd);
  errno = error;
  return -1;
}

}  // namespace

void make_mzf_name(TapeBuffers& b) {
  static_assert(sizeof NAME_TEMPLATE <= MZF_NAME_SIZE);
  std::memcpy(b.name, NAME_TEMPLATE, sizeof NAME_TEMPLATE);
  for (std::size_t i = 0; i < NAME_LENGTH; ++i) {
    const std::uint8_t code = b.header[NAME_OFFSET + i];
    if (code == NAME_END) break;
    if (const char c = name_character(code)) b.name[i] = c;
  }
}

int write_mzf(TapeBuffers& b, const FileIdentity* keep) {
  ++b.file_counter;
  std::snprintf(b.name + NUMBER_POSITION, MZF_NAME_SIZE - NUMBER_POSITION, "%03d.MZF",
                b.file_counter);
  const int fd = create_output(b.name, keep);
  if (fd < 0) return MZF_CREATE_FAILED;
  const bool written = write_all(fd, b.header, HEADER_SIZE) && write_all(fd, b.body, b.body_length);
  int error = written ? 0 : errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0) return MZF_WRITTEN;
  ::unlink(b.name);
  errno = error;
  return MZF_WRITE_FAILED;
}

}  // namespace mzfextract
