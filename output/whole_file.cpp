#include "output/whole_file.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace wholefile {

namespace {

// The temporary file in progress, for the interrupt handler: written before the file is created,
// cleared after it is placed or removed.
char in_progress[TEMPORARY_NAME_SIZE];
std::atomic<int> in_progress_directory{-1};
std::atomic<bool> in_progress_set{false};
unsigned next_suffix = 0;

void on_interrupt(int signal_number) {
  if (in_progress_set.load()) ::unlinkat(in_progress_directory.load(), in_progress, 0);
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

bool same(const struct stat& status, const Identity& file) {
  return status.st_dev == file.device && status.st_ino == file.inode;
}

void forget() {
  in_progress_set.store(false);
}

}  // namespace

int create(int directory_fd, const char* name, char* temporary, int* error) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int written = std::snprintf(temporary, TEMPORARY_NAME_SIZE, ".%s.%ld-%u.part", name,
                                      static_cast<long>(::getpid()), next_suffix++);
    if (written < 0 || static_cast<std::size_t>(written) >= TEMPORARY_NAME_SIZE) {
      *error = ENAMETOOLONG;
      return -1;
    }
    in_progress_set.store(false);
    std::memcpy(in_progress, temporary, static_cast<std::size_t>(written) + 1);
    in_progress_directory.store(directory_fd);
    in_progress_set.store(true);
    const int fd = ::openat(directory_fd, temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) return fd;
    *error = errno;
    forget();
    if (*error != EEXIST) return -1;
  }
  return -1;
}

int place(int directory_fd, const char* temporary, const char* name, bool replace,
          const Identity* keep, std::size_t keep_count, Identity* placed) {
  int error = 0;
  struct stat existing {};
  if (::fstatat(directory_fd, name, &existing, AT_SYMLINK_NOFOLLOW) == 0) {
    for (std::size_t i = 0; i < keep_count && error == 0; ++i) {
      if (same(existing, keep[i])) error = EBUSY;
    }
    if (error == 0 && !replace) error = EEXIST;
  }
  if (error == 0 && placed != nullptr) {
    struct stat status {};
    if (::fstatat(directory_fd, temporary, &status, AT_SYMLINK_NOFOLLOW) == 0) {
      *placed = Identity{status.st_dev, status.st_ino};
    }
  }
  bool linked = false;
  if (error == 0 && replace) {
    if (::renameat(directory_fd, temporary, directory_fd, name) != 0) error = errno;
  } else if (error == 0) {
    // Never onto a name, even one made since the check above; where the file system cannot
    // rename that way, a new link does the same.
    if (::renameat2(directory_fd, temporary, directory_fd, name, RENAME_NOREPLACE) != 0) {
      error = errno;
      if (error == EINVAL || error == ENOSYS) {
        error = ::linkat(directory_fd, temporary, directory_fd, name, 0) == 0 ? 0 : errno;
        linked = true;
      }
    }
  }
  if (error != 0 || linked) ::unlinkat(directory_fd, temporary, 0);
  forget();
  return error;
}

void discard(int directory_fd, const char* temporary) {
  ::unlinkat(directory_fd, temporary, 0);
  forget();
}

void remove_on_interrupt() {
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) ::signal(signal_number, on_interrupt);
}

}  // namespace wholefile
