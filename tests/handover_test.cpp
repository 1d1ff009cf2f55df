// The hand-over of chunks between the reading and the decoding thread: every chunk reaches the
// consumer once, whole and in order, whether a thread takes them or send() does, and however far
// the producer runs ahead of a slow consumer.
#include "pipe/handover.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <thread>
#include <vector>

namespace {

struct Chunk {
  std::vector<std::size_t> values;  // chunk i holds i, i + 1 times
};

TEST(Handover, EveryChunkArrivesWholeAndInOrder) {
  struct Case {
    bool threaded;
    std::size_t chunks;
    bool slow_consumer;  // the producer fills every slot and waits
  };
  const std::size_t ring = mzfscan::HANDOVER_SLOTS;
  const Case cases[] = {
      {true, 0, false},
      {true, 1, false},
      {true, ring, false},
      {true, 3 * ring + 1, false},
      {true, 3 * ring + 1, true},
      {false, 0, false},
      {false, 3 * ring + 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "threaded " << c.threaded << ", chunks " << c.chunks
                                    << ", slow " << c.slow_consumer);
    std::vector<std::size_t> seen;
    bool whole = true;
    {
      mzfscan::Handover<Chunk> handover(
          [&](Chunk& chunk) {
            if (c.slow_consumer) std::this_thread::sleep_for(std::chrono::milliseconds(2));
            const std::size_t i = chunk.values.empty() ? 0 : chunk.values.front();
            whole = whole && chunk.values == std::vector<std::size_t>(i + 1, i);
            seen.push_back(i);
          },
          c.threaded);
      for (std::size_t i = 0; i < c.chunks; ++i) {
        Chunk& chunk = handover.to_fill();
        chunk.values.assign(i + 1, i);
        handover.send();
      }
      handover.finish();
      // Everything sent was consumed when finish() returned.
      EXPECT_EQ(seen.size(), c.chunks);
    }
    EXPECT_TRUE(whole);
    for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], i);
  }
}

}  // namespace
