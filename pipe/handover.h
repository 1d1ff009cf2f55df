// Hands the chunks of a recording, in order, from the thread that reads them to a second thread
// that decodes them, through a fixed ring of slots, so that reading and decoding run on two
// cores at once. Where no thread can be started, each chunk is decoded as it is sent: the
// results are the same either way.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace mzfscan {

// Slots in the ring: enough that neither side waits on the other's short stalls.
inline constexpr std::size_t HANDOVER_SLOTS = 8;

// Chunks pass through slots of type `Slot`, which the producer fills (reusing their buffers) and
// `consume` takes, one at a time, in the order they were sent.
template <typename Slot>
class Handover {
 public:
  // Starts the consuming thread; with `threaded` false, or when no thread can be started,
  // send() consumes each slot itself.
  Handover(std::function<void(Slot&)> consume, bool threaded = true)
      : consume_(std::move(consume)), ring_(HANDOVER_SLOTS) {
    if (!threaded) return;
    try {
      worker_ = std::thread([this] { drain(); });
    } catch (const std::system_error&) {
      // Decoded as sent instead.
    }
  }
  ~Handover() { finish(); }
  Handover(const Handover&) = delete;
  Handover& operator=(const Handover&) = delete;

  // The next slot to fill: waits while every slot is still with the consumer.
  Slot& to_fill() {
    std::unique_lock<std::mutex> lock(mutex_);
    freed_.wait(lock, [this] { return sent_ < ring_.size(); });
    return ring_[(head_ + sent_) % ring_.size()];
  }

  // The slot to_fill() gave is ready: it goes to the consumer.
  void send() {
    if (!worker_.joinable()) {
      consume_(ring_[head_]);
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++sent_;
    }
    ready_.notify_one();
  }

  // No more slots follow: returns once every slot sent has been consumed.
  void finish() {
    if (!worker_.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closed_ = true;
    }
    ready_.notify_one();
    worker_.join();
  }

 private:
  void drain() {
    for (;;) {
      Slot* slot = nullptr;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return sent_ > 0 || closed_; });
        if (sent_ == 0) return;
        slot = &ring_[head_];
      }
      consume_(*slot);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        head_ = (head_ + 1) % ring_.size();
        --sent_;
      }
      freed_.notify_one();
    }
  }

  std::function<void(Slot&)> consume_;
  std::vector<Slot> ring_;
  std::size_t head_ = 0;  // the oldest slot sent and not yet consumed
  std::size_t sent_ = 0;  // slots sent and not yet consumed
  bool closed_ = false;
  std::mutex mutex_;
  std::condition_variable ready_, freed_;
  std::thread worker_;
};

}  // namespace mzfscan
