// Outputs that appear under their name only when complete: each is written under a temporary
// name in its own directory and renamed into place once written and closed. Without leave to
// replace, the rename never replaces a name that exists (not even one made while the file was
// written); with it, it replaces the name itself (a symbolic link, not its target), but never a
// file to keep. An interrupt removes the temporary file. POSIX only.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace wholefile {

// A file known by device and inode.
struct Identity {
  dev_t device;
  ino_t inode;
};

// Room for a temporary name: a dot, the name, a dot and a unique suffix.
inline constexpr std::size_t TEMPORARY_NAME_SIZE = 256 + 32;

// Creates an empty temporary file for `name` (a plain file name, no directory) in the directory
// `directory_fd` and writes its name to `temporary` (TEMPORARY_NAME_SIZE bytes). Returns its
// descriptor, open for writing, or -1 with the reason in `*error`. Until place() or discard(), an
// interrupt of the process removes it.
int create(int directory_fd, const char* name, char* temporary, int* error);

// Renames the written and closed `temporary` to `name` in `directory_fd`. Returns 0, or EEXIST
// when `name` exists and `replace` is false, or EBUSY when `name` is one of the `keep_count`
// files of `keep` (whatever `replace` says), or another error number; on any error the
// temporary file is removed. `*placed`, when given, gets the placed file's identity.
int place(int directory_fd, const char* temporary, const char* name, bool replace,
          const Identity* keep, std::size_t keep_count, Identity* placed);

// Removes the temporary file after a failure.
void discard(int directory_fd, const char* temporary);

// Makes an interrupt (SIGINT, SIGTERM, SIGHUP) remove the temporary file in progress, then end the
// process as the signal would. Call once, early.
void remove_on_interrupt();

}  // namespace wholefile
