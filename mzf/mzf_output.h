// MZF file output: names a completely read program after the file name in its tape header
// and a running number, and writes it as an MZF file (128 header bytes, then the body).
#pragma once

#include <sys/types.h>

#include "tape/tape_decoder.h"

namespace mzfextract {

// Results of write_mzf().
enum MzfWriteResult : int {
  MZF_WRITTEN = 0,
  MZF_CREATE_FAILED = 1,  // the file could not be created; errno says why
  MZF_WRITE_FAILED = 2,   // writing or closing failed; errno says why; the file was removed
};

// A file that must never be overwritten, known by device and inode: the recording being read.
struct FileIdentity {
  dev_t device;
  ino_t inode;
};

// Fills `buffers.name` from the held header: "_________________#000.MZF" with the name's
// digits, capitals and lower-case tape codes in the first 17 positions, up to a 0x0D.
void make_mzf_name(TapeBuffers& buffers);

// Counts the file, puts its number into the name ("#001.MZF", "#1000.MZF") and writes the
// header record and `body_length` body bytes under that name in the current directory,
// replacing any file of that name. A file that is `keep` (if given) is left untouched and
// reported as not created (EBUSY). Returns an MzfWriteResult.
int write_mzf(TapeBuffers& buffers, const FileIdentity* keep);

}  // namespace mzfextract
