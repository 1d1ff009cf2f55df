// Runs jobs on worker threads, each worker with a scratch space of its own, and waits for any
// one of them, so that pieces of work that do not depend on each other use every core. Where no
// thread can be started, start() runs the job itself: the results are the same either way.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace mzfscan {

// `Job` has a `bool finished`, which the pool sets (under its lock) once `run` has returned.
template <typename Job, typename Scratch>
class JobPool {
 public:
  // Starts `workers` threads (none: start() runs each job itself).
  JobPool(std::function<void(Job&, Scratch&)> run, unsigned workers) : run_(std::move(run)) {
    for (unsigned i = 0; i < workers; ++i) {
      try {
        threads_.emplace_back([this] { work(); });
      } catch (const std::system_error&) {
        break;
      }
    }
    if (threads_.empty()) own_ = std::make_unique<Scratch>();
  }
  // Runs the jobs started and not yet taken, then stops.
  ~JobPool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    queued_.notify_all();
    for (std::thread& thread : threads_) thread.join();
  }
  JobPool(const JobPool&) = delete;
  JobPool& operator=(const JobPool&) = delete;

  // Begins `job`, which must outlive its wait().
  void start(Job& job) {
    if (threads_.empty()) {
      run_(job, *own_);
      job.finished = true;
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      job.finished = false;
      queue_.push_back(&job);
    }
    queued_.notify_one();
  }

  // Returns once `job`, started before, has run.
  void wait(Job& job) {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return job.finished; });
  }

 private:
  void work() {
    Scratch scratch;
    for (;;) {
      Job* job = nullptr;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        queued_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;
        job = queue_.front();
        queue_.pop_front();
      }
      run_(*job, scratch);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        job->finished = true;
      }
      done_.notify_all();
    }
  }

  std::function<void(Job&, Scratch&)> run_;
  std::unique_ptr<Scratch> own_;  // the scratch of jobs run by start() itself
  std::vector<std::thread> threads_;
  std::deque<Job*> queue_;
  bool stopping_ = false;
  std::mutex mutex_;
  std::condition_variable queued_, done_;
};

}  // namespace mzfscan
