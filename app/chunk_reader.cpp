#include "app/chunk_reader.h"

#include <sched.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

namespace mzfextract {

namespace {

// Reads up to one chunk, retrying reads interrupted by a signal. Returns what read() returned.
ssize_t read_chunk(int fd, std::uint8_t* chunk) {
  ssize_t count = 0;
  do {
    count = ::read(fd, chunk, READ_CHUNK);
  } while (count < 0 && errno == EINTR);
  return count;
}

constexpr std::uint32_t SLOTS = READ_AHEAD_CHUNKS;
static_assert((SLOTS & (SLOTS - 1)) == 0, "chunks are counted modulo 2^32");

// A thread that finds the ring full naps in short timed sleeps until NAP_BATCH slots are free
// again, rather than sleeping until the caller wakes it. A wake-up costs the caller a system call
// (in a virtual machine, an interrupt sent to the other core besides), and the scheduler tends to
// move a thread that another one wakes onto the waker's core, where the two then take turns
// instead of working side by side; a timer wakes the thread on its own core and costs the caller
// nothing. The caller takes a slot in about a microsecond, so a few naps cover a batch.
constexpr std::uint32_t NAP_BATCH = SLOTS / 4;
constexpr long NAP_NANOSECONDS = 20000;
// The timer slack the thread asks for, so that a nap is not stretched to the default 50 us.
constexpr unsigned long NAP_SLACK_NANOSECONDS = 1000;
// After this many naps (about a millisecond) the caller is taken to have stopped for a while (on
// a slow output, say), and the thread sleeps until it is woken, so as not to keep waking for
// nothing. It is woken once WAKE_BATCH slots are free, once per batch, not once per chunk.
constexpr int NAPS_BEFORE_SLEEP = 50;
constexpr std::uint32_t WAKE_BATCH = SLOTS / 2;

// Before it sleeps, a caller that has caught up with the thread polls for the next chunk, since
// a sleep would end in a wake-up from the thread, with the move onto its core described above.
// Where the file is in memory the next chunk comes within microseconds, so the caller polls long
// enough for that (up to MOST_POLLS, a millisecond or so); where it comes slowly (from a pipe,
// say) polling would only burn time, so every wait that ends asleep halves the polls of the next
// one, down to FEWEST_POLLS, and every wait that polling ends doubles them again.
constexpr std::uint32_t MOST_POLLS = 32768;
constexpr std::uint32_t FEWEST_POLLS = 256;

// Polls `counter` while it equals `seen`, at most `polls` times. Returns its last value.
std::uint32_t poll_while_unchanged(const std::atomic<std::uint32_t>& counter, std::uint32_t seen,
                                   std::uint32_t polls) {
  std::uint32_t now = seen;
  for (std::uint32_t i = 0; i < polls && now == seen; ++i) {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();  // a polling loop: spare the core's other hyperthread
#endif
    now = counter.load(std::memory_order_acquire);
  }
  return now;
}

}  // namespace

// Chunk k (counting from 0) is read into slot k % SLOTS; the slots lie one after the other, so
// that whole chunks read one after the other are one stretch of bytes, and the last bytes of a
// slot are the room in front of the next one (the first has room of its own). Ownership moves with
// two counters: chunks [taken, filled) belong to the caller, the other slots to the thread. The
// caller keeps the last chunk it was given until it has the next, because it puts the bytes it
// carries over in front of the next one, in that chunk's last bytes. A store of a
// counter hands the slots it covers over with everything written into them, and a load on the
// other side sees all of that, so no slot is touched by both at once. The counters are 32 bits
// and wrap harmlessly: SLOTS divides 2^32 and only their differences are used.
//
// A side that sleeps names the count it waits for (its target), sets its flag and then looks at
// the other's counter once more; the other side stores its counter and then looks at the flag
// and, if it is set, at the target (the flag and the counters sequentially consistent). In the
// single order of those either the sleeper sees the count it waits for and does not sleep, or the
// other side sees the flag and the target, and wakes it when its store reaches the target;
// wait() itself returns at once if the count has changed since it was read. So no wake-up is
// lost, and one is made only for a sleeper whose count has come. (Waking on any store while the
// flag is set, but only once, would lose a wake-up: the store that finds the flag may be the one
// of the very count that the sleeper then finds and sleeps on.)
struct ChunkReader::Ring {
  explicit Ring(int descriptor) : fd(descriptor) {}

  std::uint8_t* slot(std::uint32_t k) {
    return bytes + CHUNK_HEADROOM + std::size_t{k % SLOTS} * READ_CHUNK;
  }

  const int fd;
  std::uint8_t bytes[CHUNK_HEADROOM + std::size_t{SLOTS} * READ_CHUNK];
  ssize_t counts[SLOTS];
  int errors[SLOTS];
  alignas(64) std::atomic<std::uint32_t> filled{0};  // chunks read, stored by the thread
  alignas(64) std::atomic<std::uint32_t> taken{0};   // chunks given back, stored by the caller
  // Set while the thread sleeps until `taken` reaches `thread_target`.
  alignas(64) std::atomic<bool> thread_waiting{false};
  std::atomic<std::uint32_t> thread_target{0};
  std::atomic<bool> stopping{false};
  // Set while the caller sleeps until `filled` reaches `caller_target`.
  alignas(64) std::atomic<bool> caller_waiting{false};
  std::atomic<std::uint32_t> caller_target{0};
  // Whether the thread was started away from the caller's core, and the cores it may then use.
  bool started_elsewhere = false;
  cpu_set_t allowed;
};

ChunkReader::ChunkReader(int fd, ReadMode mode) : fd_(fd), polls_(MOST_POLLS) {
  if (mode != ReadMode::AHEAD) return;
  // On one core a thread reading ahead could only take turns with the caller.
  cpu_set_t allowed;
  const bool known = ::sched_getaffinity(0, sizeof allowed, &allowed) == 0;
  if (known && CPU_COUNT(&allowed) < 2) return;
  ring_.reset(new (std::nothrow) Ring(fd));
  if (!ring_) return;
  // The thread starts on another core than the caller's: a new thread is otherwise often queued
  // on its creator's core, and the two take turns there until the scheduler moves one of them, a
  // millisecond or more later. Once it runs, the thread gives itself back every core the process
  // may use, so this only chooses where it starts.
  pthread_attr_t attributes;
  pthread_attr_t* chosen = nullptr;
  if (::pthread_attr_init(&attributes) == 0) {
    chosen = &attributes;
    const int here = ::sched_getcpu();
    if (known && here >= 0 && here < CPU_SETSIZE) {
      cpu_set_t others = allowed;
      CPU_CLR(here, &others);
      ring_->allowed = allowed;
      ring_->started_elsewhere =
          ::pthread_attr_setaffinity_np(&attributes, sizeof others, &others) == 0;
    }
  }
  if (::pthread_create(&thread_, chosen, read_slots, ring_.get()) != 0) ring_.reset();
  if (chosen != nullptr) ::pthread_attr_destroy(chosen);
}

ChunkReader::~ChunkReader() {
  if (!ring_) return;
  // Every slot is handed back at once, so that a thread waiting for room wakes and sees that it
  // must stop.
  ring_->stopping.store(true);
  ring_->taken.store(next_ + SLOTS);
  ring_->taken.notify_one();
  ::pthread_join(thread_, nullptr);
}

void* ChunkReader::read_slots(void* ring_of_reader) {
  Ring& ring = *static_cast<Ring*>(ring_of_reader);
  if (ring.started_elsewhere)
    ::pthread_setaffinity_np(::pthread_self(), sizeof ring.allowed, &ring.allowed);
#if defined(PR_SET_TIMERSLACK)
  ::prctl(PR_SET_TIMERSLACK, NAP_SLACK_NANOSECONDS, 0, 0, 0);  // this thread's alone
#endif
  std::uint32_t taken = 0;
  for (std::uint32_t k = 0;; ++k) {
    if (k - taken == SLOTS) {
      // The ring is full: nap until a quarter of it is free; failing that, sleep until half of
      // it is, or until the reader stops (which hands every slot back).
      const std::uint32_t oldest = k - SLOTS;
      int naps = 0;
      while ((taken = ring.taken.load(std::memory_order_acquire)) - oldest < NAP_BATCH &&
             naps++ < NAPS_BEFORE_SLEEP) {
        const timespec nap{0, NAP_NANOSECONDS};
        ::nanosleep(&nap, nullptr);
      }
      if (taken - oldest < NAP_BATCH) {
        ring.thread_target.store(oldest + WAKE_BATCH, std::memory_order_relaxed);
        ring.thread_waiting.store(true);
        while ((taken = ring.taken.load()) - oldest < WAKE_BATCH)
          ring.taken.wait(taken, std::memory_order_acquire);
        ring.thread_waiting.store(false, std::memory_order_relaxed);
      }
    }
    if (ring.stopping.load(std::memory_order_relaxed)) return nullptr;
    const ssize_t count = read_chunk(ring.fd, ring.slot(k));
    ring.counts[k % SLOTS] = count;
    ring.errors[k % SLOTS] = count < 0 ? errno : 0;
    ring.filled.store(k + 1);
    // Only the chunk the caller waits for wakes it: the count moves on by one at a time, so it
    // meets the target once.
    if (ring.caller_waiting.load() && ring.caller_target.load(std::memory_order_relaxed) == k + 1) {
      ring.filled.notify_one();
    }
    if (count <= 0) return nullptr;
  }
}

Chunk ChunkReader::next() {
  if (!ring_) {
    const ssize_t count = read_chunk(fd_, in_line_ + CHUNK_HEADROOM);
    return {in_line_ + CHUNK_HEADROOM, count, count < 0 ? errno : 0};
  }
  Ring& ring = *ring_;
  if (holding_) {
    // The chunks before the last one given go back to the thread, which is woken if it waits
    // for them. Runs move the count on by more than one: the target may be passed, not met.
    const std::uint32_t taken = next_ - 1;
    ring.taken.store(taken);
    if (ring.thread_waiting.load()) {
      const std::uint32_t target = ring.thread_target.load(std::memory_order_relaxed);
      if (target != woken_for_ && static_cast<std::int32_t>(taken - target) >= 0) {
        woken_for_ = target;
        ring.taken.notify_one();
      }
    }
  }
  if (filled_ == next_) {
    filled_ = ring.filled.load(std::memory_order_acquire);
    if (filled_ == next_) {
      filled_ = poll_while_unchanged(ring.filled, next_, polls_);
      polls_ =
          filled_ != next_ ? std::min(polls_ * 2, MOST_POLLS) : std::max(polls_ / 2, FEWEST_POLLS);
    }
    if (filled_ == next_) {
      ring.caller_target.store(next_ + 1, std::memory_order_relaxed);
      ring.caller_waiting.store(true);
      while ((filled_ = ring.filled.load()) == next_)
        ring.filled.wait(next_, std::memory_order_acquire);
      ring.caller_waiting.store(false, std::memory_order_relaxed);
    }
  }
  // The run: the chunks read by now that follow whole ones in the same stretch of slots, short
  // of the end of the input.
  const std::uint32_t first = next_;
  const Chunk chunk{ring.slot(first), ring.counts[first % SLOTS], ring.errors[first % SLOTS]};
  ssize_t count = chunk.count;
  ++next_;
  while (next_ - first < READ_AHEAD_RUN && next_ != filled_ && next_ % SLOTS != 0 &&
         ring.counts[(next_ - 1) % SLOTS] == READ_CHUNK && ring.counts[next_ % SLOTS] > 0) {
    count += ring.counts[next_ % SLOTS];
    ++next_;
  }
  holding_ = true;
  return {chunk.bytes, count, chunk.error};
}

}  // namespace mzfextract
