// The chunk reader, read ahead on its thread and in line: the same bytes from files and pipes
// of every size around a read and around the ring, read ahead in runs of chunks, a read that
// fails, and a reader given up before the end.
#include "app/chunk_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/test_support.h"

using namespace testing_support;
using mzfextract::Chunk;
using mzfextract::ChunkReader;
using mzfextract::ReadMode;

namespace {

constexpr std::size_t CHUNK = mzfextract::READ_CHUNK;
constexpr std::size_t RING = mzfextract::READ_AHEAD_CHUNKS * CHUNK;

// What a reader gave: the bytes of all chunks in order, their counts, and the last count and
// error.
struct Chunks {
  Bytes bytes;
  std::vector<ssize_t> counts;
  int error = 0;
};

// Takes every chunk up to the end, writing over the room in front of each one as a caller may.
// A slow caller waits after the first chunk until the thread has filled its ring.
Chunks read_all(int fd, ReadMode mode, bool* ahead = nullptr, bool slow = false) {
  ChunkReader reader(fd, mode);
  if (ahead != nullptr) *ahead = reader.ahead();
  Chunks result;
  for (;;) {
    const Chunk chunk = reader.next();
    if (slow && result.counts.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    result.counts.push_back(chunk.count);
    if (chunk.count <= 0) {
      result.error = chunk.error;
      return result;
    }
    std::memset(chunk.bytes - mzfextract::CHUNK_HEADROOM, 0xA5, mzfextract::CHUNK_HEADROOM);
    result.bytes.insert(result.bytes.end(), chunk.bytes, chunk.bytes + chunk.count);
  }
}

// The same bytes through a pipe, written in pieces that do not line up with the reads.
Chunks read_from_pipe(const Bytes& bytes, ReadMode mode) {
  int ends[2];
  if (::pipe(ends) != 0) return {};
  std::thread writer([&bytes, in = ends[1]] {
    for (std::size_t at = 0; at < bytes.size();) {
      const ssize_t n =
          ::write(in, bytes.data() + at, std::min<std::size_t>(1000, bytes.size() - at));
      if (n <= 0) break;
      at += static_cast<std::size_t>(n);
    }
    ::close(in);
  });
  Chunks result = read_all(ends[0], mode);
  writer.join();
  ::close(ends[0]);
  return result;
}

// Whether the calling thread may run on more than one core, as a reader ahead needs.
bool several_cores() {
  cpu_set_t allowed;
  return ::sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) >= 2;
}

}  // namespace

TEST(ChunkReader, GivesEveryByteInOrderAroundReadsAndTheRing) {
  TempDir dir;
  const std::string path = dir.file("input");
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, CHUNK - 1, CHUNK, CHUNK + 1,
                                 RING - 1, RING, RING + 1, 3 * RING + CHUNK / 2}) {
    const Bytes bytes = pattern(size, static_cast<std::uint32_t>(size));
    write_file(path, bytes);
    for (const ReadMode mode : {ReadMode::AHEAD, ReadMode::IN_LINE}) {
      for (const bool slow : {false, true}) {
        const int fd = ::open(path.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        bool ahead = false;
        const Chunks chunks = read_all(fd, mode, &ahead, slow);
        ::close(fd);
        EXPECT_EQ(ahead, mode == ReadMode::AHEAD && several_cores());
        EXPECT_TRUE(chunks.bytes == bytes) << size;
        EXPECT_EQ(chunks.counts.back(), 0) << size;
        EXPECT_EQ(chunks.error, 0);
        // In line, one chunk per read: whole ones from a file, then a short one if any bytes are
        // left. Ahead, runs of whole chunks, and of as many as fit once the ring is full.
        std::vector<ssize_t> one_by_one(size / CHUNK, static_cast<ssize_t>(CHUNK));
        if (size % CHUNK != 0) one_by_one.push_back(static_cast<ssize_t>(size % CHUNK));
        one_by_one.push_back(0);
        if (mode == ReadMode::IN_LINE) {
          EXPECT_EQ(chunks.counts, one_by_one) << size;
        }
        for (std::size_t i = 0; i + 2 < chunks.counts.size(); ++i) {
          EXPECT_EQ(chunks.counts[i] % static_cast<ssize_t>(CHUNK), 0) << size << " " << i;
          EXPECT_LE(chunks.counts[i], static_cast<ssize_t>(mzfextract::MOST_CHUNK_BYTES));
        }
        if (ahead && slow && size > 2 * RING) {
          EXPECT_EQ(*std::max_element(chunks.counts.begin(), chunks.counts.end()),
                    static_cast<ssize_t>(mzfextract::MOST_CHUNK_BYTES));
        }
      }
      const Chunks from_pipe = read_from_pipe(bytes, mode);
      EXPECT_TRUE(from_pipe.bytes == bytes) << size;
      EXPECT_EQ(from_pipe.counts.back(), 0) << size;
    }
  }
}

TEST(ChunkReader, ReadsInLineWhereItMayRunOnOneCoreOnly) {
  // Two cores allowed and one: the thread is started only where it can run beside the caller.
  cpu_set_t allowed;
  ASSERT_EQ(::sched_getaffinity(0, sizeof allowed, &allowed), 0);
  if (CPU_COUNT(&allowed) < 2) GTEST_SKIP() << "this test needs two cores";
  TempDir dir;
  const std::string path = dir.file("input");
  const Bytes bytes = pattern(2 * RING + 5, 7);
  write_file(path, bytes);
  for (const int cores : {2, 1}) {
    cpu_set_t some;
    CPU_ZERO(&some);
    for (int cpu = 0, chosen = 0; cpu < CPU_SETSIZE && chosen < cores; ++cpu) {
      if (CPU_ISSET(cpu, &allowed)) {
        CPU_SET(cpu, &some);
        ++chosen;
      }
    }
    const int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::sched_setaffinity(0, sizeof some, &some), 0);
    bool ahead = false;
    const Chunks chunks = read_all(fd, ReadMode::AHEAD, &ahead);
    ::close(fd);
    ASSERT_EQ(::sched_setaffinity(0, sizeof allowed, &allowed), 0);
    EXPECT_EQ(ahead, cores == 2);
    EXPECT_TRUE(chunks.bytes == bytes) << cores;
  }
}

TEST(ChunkReader, AFailedReadEndsTheChunks) {
  // Reading a directory fails with EISDIR, at once.
  TempDir dir;
  for (const ReadMode mode : {ReadMode::AHEAD, ReadMode::IN_LINE}) {
    const int fd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    const Chunks chunks = read_all(fd, mode);
    ::close(fd);
    EXPECT_EQ(chunks.counts, std::vector<ssize_t>{-1});
    EXPECT_EQ(chunks.error, EISDIR);
  }
}

TEST(ChunkReader, CanBeGivenUpBeforeTheEnd) {
  // The thread fills the ring and waits for room; the reader is given up after none, one and
  // some of the chunks, and its thread must stop. Then the file is read on from where the
  // thread stopped: it has read no further than a ring ahead of the chunks given back.
  TempDir dir;
  const std::string path = dir.file("input");
  const Bytes bytes = pattern(4 * RING, 3);
  write_file(path, bytes);
  for (const int calls : {0, 1, 5}) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::size_t given = 0;
    {
      ChunkReader reader(fd, ReadMode::AHEAD);
      for (int i = 0; i < calls; ++i) {
        const Chunk chunk = reader.next();
        ASSERT_GT(chunk.count, 0);
        const auto count = static_cast<std::size_t>(chunk.count);
        EXPECT_EQ(std::memcmp(chunk.bytes, bytes.data() + given, count), 0) << i;
        given += count;
      }
      // Gives the thread time to fill the ring, so that it waits for room when it is stopped.
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const off_t at = ::lseek(fd, 0, SEEK_CUR);
    ::close(fd);
    EXPECT_LE(static_cast<std::size_t>(at), given + RING) << calls;
    EXPECT_EQ(static_cast<std::size_t>(at) % CHUNK, 0u) << calls;
  }
}

TEST(ChunkReader, NoWakeUpIsLostWhenTheCallerOutrunsTheThread) {
  // A caller that does nothing with its chunks keeps catching up with the thread and sleeping
  // until the next chunk is read: half a million times over a sparse gigabyte, read from the page
  // cache. A wake-up lost once would leave both asleep; a watchdog turns that into a failure.
  TempDir dir;
  const std::string path = dir.file("sparse");
  const int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(out, 0);
  constexpr off_t SIZE = off_t{1} << 30;
  ASSERT_EQ(::ftruncate(out, SIZE), 0);
  ::close(out);
  const int fd = ::open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  std::atomic<bool> done{false};
  std::atomic<off_t> total{0};
  std::thread caller([&] {
    ChunkReader reader(fd, ReadMode::AHEAD);
    off_t bytes = 0;
    for (Chunk chunk = reader.next(); chunk.count > 0; chunk = reader.next()) bytes += chunk.count;
    total = bytes;
    done = true;
  });
  for (int waited = 0; !done && waited < 120000; waited += 10)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (!done) {
    ADD_FAILURE() << "the reader and its thread both wait after " << ::lseek(fd, 0, SEEK_CUR)
                  << " bytes";
    std::abort();
  }
  caller.join();
  ::close(fd);
  EXPECT_EQ(total.load(), SIZE);
}
