// Reading a recording in chunks of READ_CHUNK bytes, either as the caller asks for each one or
// ahead of it on a second thread, so that copying the bytes out of the kernel runs on another
// core while the caller works on the chunks before.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace mzfextract {

// Bytes per read() of the recording.
inline constexpr int READ_CHUNK = 2048;

// Writable bytes in front of every chunk, where the caller may put what it carries over from the
// chunk before.
inline constexpr std::size_t CHUNK_HEADROOM = 64;

// A chunk as read() gave it, or a run of whole chunks read one after the other: `count` bytes at
// `bytes` (CHUNK_HEADROOM more writable in front of them), 0 at the end of the input, or -1 when
// the read failed with `error`. Reads interrupted by a signal are retried.
struct Chunk {
  std::uint8_t* bytes;
  ssize_t count;
  int error;
};

// How the chunks are read. AHEAD reads on a second thread, up to READ_AHEAD_CHUNKS chunks ahead
// of the caller; where that thread or its ring cannot be had, or the process may run on one core
// only, it reads IN_LINE, in next() itself. Both give the same chunks.
enum class ReadMode { AHEAD, IN_LINE };

// Chunks a reader holds between its thread and the caller.
inline constexpr std::uint32_t READ_AHEAD_CHUNKS = 256;

// The most chunks that one next() gives at once, and their bytes.
inline constexpr std::size_t READ_AHEAD_RUN = 8;
inline constexpr std::size_t MOST_CHUNK_BYTES = READ_AHEAD_RUN * READ_CHUNK;

// Reads a file descriptor from where it stands to its end (or its first failed read), chunk by
// chunk, for one caller.
class ChunkReader {
 public:
  ChunkReader(int fd, ReadMode mode);
  // Stops the thread. A thread waiting for room in the ring stops at once; one in the middle of
  // a read() stops when it returns.
  ~ChunkReader();
  ChunkReader(const ChunkReader&) = delete;
  ChunkReader& operator=(const ChunkReader&) = delete;

  // The next chunk; read ahead, all the whole chunks that the thread has read by then, up to
  // READ_AHEAD_RUN, in one. The chunk before is given back: its bytes must no longer be used.
  // Must not be called again after a chunk whose count is 0 or -1.
  Chunk next();

  // Whether the chunks come from a second thread.
  bool ahead() const { return ring_ != nullptr; }

 private:
  struct Ring;

  // The thread: reads chunk after chunk into the ring (a Ring) until the end of the input.
  static void* read_slots(void* ring_of_reader);

  int fd_;
  std::unique_ptr<Ring> ring_;  // null when reading in line
  pthread_t thread_{};
  std::uint32_t next_ = 0;       // the number of the chunk next() gives next
  std::uint32_t filled_ = 0;     // chunks the thread is known to have read
  bool holding_ = false;         // whether the caller holds chunks of the ring
  std::uint32_t woken_for_ = 0;  // the thread's last target that the caller woke it for
  std::uint32_t polls_;          // how often the caller polls for a chunk before it sleeps
  std::uint8_t in_line_[CHUNK_HEADROOM + READ_CHUNK];  // the one slot of a reader in line
};

}  // namespace mzfextract
