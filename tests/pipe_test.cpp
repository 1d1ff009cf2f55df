// The hand-over of chunks between the reading and the decoding thread: every chunk reaches the
// consumer once, whole and in order, whether a thread takes them or send() does, and however far
// the producer runs ahead of a slow consumer. The job pool: every job runs once, on a scratch
// space no other job uses at the same time, and is finished when wait() returns.
#include <atomic>

#include "pipe/handover.h"
#include "pipe/job_pool.h"

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

struct Job {
  int input = 0;
  int output = 0;
  bool finished = false;
};

struct Scratch {
  std::atomic<bool> busy{false};
};

TEST(JobPool, EveryJobRunsOnceAloneOnItsScratch) {
  struct Case {
    unsigned workers;  // 0: start() runs each job itself
    int jobs;
    bool wait_newest_first;
  };
  const Case cases[] = {{0, 0, false},  {0, 9, false}, {1, 9, false}, {2, 1, false},
                        {2, 33, false}, {2, 33, true}, {4, 33, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "workers " << c.workers << ", jobs " << c.jobs
                                    << ", newest first " << c.wait_newest_first);
    std::vector<Job> jobs(static_cast<std::size_t>(c.jobs));
    std::atomic<int> runs{0}, shared{0};
    {
      mzfscan::JobPool<Job, Scratch> pool(
          [&](Job& job, Scratch& scratch) {
            if (scratch.busy.exchange(true)) ++shared;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            job.output = job.input * job.input;
            ++runs;
            scratch.busy = false;
          },
          c.workers);
      for (int i = 0; i < c.jobs; ++i) {
        jobs[static_cast<std::size_t>(i)].input = i;
        pool.start(jobs[static_cast<std::size_t>(i)]);
      }
      for (int k = 0; k < c.jobs; ++k) {
        const int i = c.wait_newest_first ? c.jobs - 1 - k : k;
        Job& job = jobs[static_cast<std::size_t>(i)];
        pool.wait(job);
        EXPECT_TRUE(job.finished);
        EXPECT_EQ(job.output, i * i);
      }
    }
    EXPECT_EQ(runs.load(), c.jobs);
    EXPECT_EQ(shared.load(), 0);
  }
}

}  // namespace
