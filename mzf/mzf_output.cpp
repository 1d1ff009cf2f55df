#include "mzf/mzf_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace mzf {

namespace {

constexpr char NUMBER_MARK = '#';
constexpr char NAME_FILLER = '_';
constexpr int NUMBER_WIDTH = 3;

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

// Writes all of `data`; returns 0 or the error number of the write that failed.
int write_all(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

bool is_kept_file(const MzfWriter& writer, const struct stat& status) {
  return writer.keep_known && status.st_dev == writer.keep.device &&
         status.st_ino == writer.keep.inode;
}

// Opens the output without truncating it, so that the file to keep can be recognised first;
// O_NONBLOCK keeps a FIFO of the same name from hanging the run. Returns the descriptor, or
// -1 with the reason in `*error`.
int create_output(const MzfWriter& writer, const char* name, int* error) {
  const int exclusive = writer.replace_existing ? 0 : O_EXCL;
  const int fd = ::openat(writer.directory_fd, name,
                          O_WRONLY | O_CREAT | exclusive | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) {
    *error = errno;
    return -1;
  }
  struct stat status {};
  *error = ::fstat(fd, &status) == 0 ? 0 : errno;
  if (*error == 0 && is_kept_file(writer, status)) *error = EBUSY;
  if (*error == 0 && S_ISREG(status.st_mode) && ::ftruncate(fd, 0) != 0) *error = errno;
  if (*error == 0) return fd;
  ::close(fd);
  return -1;
}

}  // namespace

MzfName mzf_file_name(const std::uint8_t* header, std::int32_t number, const char* extension) {
  MzfName name{};
  std::memset(name.text, NAME_FILLER, NAME_LENGTH);
  for (std::size_t i = 0; i < NAME_LENGTH; ++i) {
    const std::uint8_t code = header[NAME_OFFSET + i];
    if (code == NAME_END) break;
    if (const char c = name_character(code)) name.text[i] = c;
  }
  std::snprintf(name.text + NAME_LENGTH, MZF_NAME_SIZE - NAME_LENGTH, "%c%0*d%.*s", NUMBER_MARK,
                NUMBER_WIDTH, number, static_cast<int>(EXTENSION_MAX), extension);
  return name;
}

void mzf_writer_init(MzfWriter& writer, int directory_fd, bool replace_existing) {
  writer = MzfWriter{directory_fd, replace_existing, 0, false, FileIdentity{}, false, nullptr, 0};
}

void mzf_writer_whole_files(MzfWriter& writer, const FileIdentity* keep, std::size_t count) {
  writer.whole_files = true;
  writer.keep_all = keep;
  writer.keep_count = count;
}

void mzf_writer_keep(MzfWriter& writer, const FileIdentity* keep) {
  writer.keep_known = keep != nullptr;
  writer.keep = keep != nullptr ? *keep : FileIdentity{};
}

std::int32_t mzf_take_number(MzfWriter& writer) {
  return ++writer.file_counter;
}

namespace {

// Writes the file under a temporary name, then renames it into place.
MzfWriteResult write_whole(const MzfWriter& writer, const MzfName& name, const std::uint8_t* header,
                           const std::uint8_t* body, std::uint32_t body_length) {
  MzfWriteResult result{MZF_WRITTEN, 0, name};
  char temporary[wholefile::TEMPORARY_NAME_SIZE];
  const int fd = wholefile::create(writer.directory_fd, name.text, temporary, &result.error);
  if (fd < 0) {
    result.status = MZF_CREATE_FAILED;
    return result;
  }
  result.error = write_all(fd, header, HEADER_SIZE);
  if (result.error == 0) result.error = write_all(fd, body, body_length);
  if (::close(fd) != 0 && result.error == 0) result.error = errno;
  if (result.error != 0) {
    wholefile::discard(writer.directory_fd, temporary);
    result.status = MZF_WRITE_FAILED;
    return result;
  }
  result.error =
      wholefile::place(writer.directory_fd, temporary, name.text, writer.replace_existing,
                       writer.keep_all, writer.keep_count, nullptr);
  if (result.error != 0) {
    result.status = result.error == EEXIST ? MZF_EXISTS : MZF_CREATE_FAILED;
  }
  return result;
}

}  // namespace

MzfWriteResult mzf_write_named(const MzfWriter& writer, const MzfName& name,
                               const std::uint8_t* header, const std::uint8_t* body,
                               std::uint32_t body_length) {
  if (writer.whole_files) return write_whole(writer, name, header, body, body_length);
  MzfWriteResult result{MZF_WRITTEN, 0, name};
  const int fd = create_output(writer, name.text, &result.error);
  if (fd < 0) {
    result.status =
        result.error == EEXIST && !writer.replace_existing ? MZF_EXISTS : MZF_CREATE_FAILED;
    return result;
  }
  result.error = write_all(fd, header, HEADER_SIZE);
  if (result.error == 0) result.error = write_all(fd, body, body_length);
  if (::close(fd) != 0 && result.error == 0) result.error = errno;
  if (result.error == 0) return result;
  ::unlinkat(writer.directory_fd, name.text, 0);
  result.status = MZF_WRITE_FAILED;
  return result;
}

MzfWriteResult mzf_write(MzfWriter& writer, const std::uint8_t* header, const std::uint8_t* body,
                         std::uint32_t body_length) {
  const MzfName name = mzf_file_name(header, mzf_take_number(writer));
  return mzf_write_named(writer, name, header, body, body_length);
}

}  // namespace mzf
