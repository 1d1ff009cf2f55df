// MZF file output: names a program after the file name in its tape header and a running
// number, and writes it as an MZF file (the 128-byte header record, then the body) into a
// directory the caller chose. Shared by every program that saves MZF files.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "format/tape_format.h"
#include "output/whole_file.h"

namespace mzf {

// Room for the number: every digit of a 32-bit counter and its sign.
inline constexpr std::size_t NUMBER_DIGITS_MAX = 11;
// The longest extension a name may end in, such as ".MZF", without a terminating zero.
inline constexpr std::size_t EXTENSION_MAX = 15;
// Name positions, "#", the number, the extension and the terminating zero.
inline constexpr std::size_t MZF_NAME_SIZE =
    NAME_LENGTH + 1 + NUMBER_DIGITS_MAX + EXTENSION_MAX + 1;

// The extension of every file saved as it was read and verified.
inline constexpr char MZF_EXTENSION[] = ".MZF";

struct MzfName {
  char text[MZF_NAME_SIZE];
};

// The name of the `number`th program of a run whose header record is `header` (128 bytes):
// the 17 name positions (digits, capitals and the tape's lower-case codes kept, up to a 0x0D,
// everything else "_"), "#", the number with at least three digits, then `extension` (at most
// EXTENSION_MAX characters; longer ones are cut). "HELLO" gives "HELLO____________#001.MZF".
MzfName mzf_file_name(const std::uint8_t* header, std::int32_t number,
                      const char* extension = MZF_EXTENSION);

// A file that must never be overwritten, known by device and inode: the recording being read.
using FileIdentity = wholefile::Identity;

// What became of one file.
enum MzfWriteStatus : int {
  MZF_WRITTEN = 0,
  MZF_CREATE_FAILED = 1,  // the file could not be created (or is the file to keep: EBUSY)
  MZF_WRITE_FAILED = 2,   // writing or closing failed; the incomplete file was removed
  MZF_EXISTS = 3,         // a file of that name exists and the writer does not replace files
};

struct MzfWriteResult {
  int status;    // an MzfWriteStatus
  int error;     // the system error number behind a failure, 0 when written
  MzfName name;  // the name the file was (or would have been) written under
};

// Caller-owned writer: numbers the programs of a run and writes them into one directory.
struct MzfWriter {
  int directory_fd;           // where files go: a directory descriptor, or AT_FDCWD
  bool replace_existing;      // overwrite a file of the same name, or leave it and report it
  std::int32_t file_counter;  // numbers handed out so far
  bool keep_known;            // whether `keep` holds a file
  FileIdentity keep;          // never written to, whatever its name
  // Whole files: each written under a temporary name and renamed into place when complete
  // (see output/whole_file.h), never onto one of the `keep_count` files of `keep_all`.
  bool whole_files;
  const FileIdentity* keep_all;
  std::size_t keep_count;
};

// Starts a run writing into `directory_fd` with numbering from 1. The descriptor stays the
// caller's.
void mzf_writer_init(MzfWriter& writer, int directory_fd, bool replace_existing);

// Makes the writer refuse to write into the file `keep` (pass nullptr to forget it).
void mzf_writer_keep(MzfWriter& writer, const FileIdentity* keep);

// Makes the writer write whole files, never onto one of the `count` files of `keep` (which must
// outlive the writer's use): each appears under its name only when complete, and replaces an
// existing name (the name itself, never a link's target) only when the writer replaces files.
void mzf_writer_whole_files(MzfWriter& writer, const FileIdentity* keep, std::size_t count);

// Hands out the next number of the run.
std::int32_t mzf_take_number(MzfWriter& writer);

// Writes `header` (128 bytes) and `body_length` body bytes under `name` in the writer's
// directory. Never follows the name into the file to keep; a FIFO of the name does not block.
MzfWriteResult mzf_write_named(const MzfWriter& writer, const MzfName& name,
                               const std::uint8_t* header, const std::uint8_t* body,
                               std::uint32_t body_length);

// Takes the next number and writes the program under its ordinary name.
MzfWriteResult mzf_write(MzfWriter& writer, const std::uint8_t* header, const std::uint8_t* body,
                         std::uint32_t body_length);

}  // namespace mzf
