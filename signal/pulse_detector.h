// Pulse period detector: turns the recording's 8-bit samples into pulse periods, the
// number of samples from one crossing of an adaptive mid-level threshold to the next.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mzfextract {

// A crossing closer than this many samples to the previous one is ignored (debounce).
inline constexpr std::int64_t DEBOUNCE_LIMIT = 5;
// After more than this many samples without a crossing the level trackers fall back to mid-scale.
inline constexpr std::int64_t SILENCE_LIMIT = 109;
inline constexpr std::uint8_t MID_LEVEL = 128;

// Caller-owned detector state. All values are complemented samples (255 minus the byte read).
// Counts are 64-bit so that recordings beyond 2 GiB cannot overflow them.
struct PulseDetector {
  std::uint8_t previous;  // the previous sample
  std::int64_t elapsed;   // samples since the last crossing, the current one included
  std::uint8_t cur_min;   // lowest level of the current cycle
  std::uint8_t cur_max;   // highest level of the current cycle
  std::uint8_t prev_min;  // lowest level of the previous cycle
  std::uint8_t prev_max;  // highest level of the previous cycle
};

// Puts the detector into its start state: no previous sample, trackers at mid-scale.
void pulse_detector_init(PulseDetector& detector);

// Reference detector: takes one complemented sample `u`. Returns true when the signal rose
// through the threshold, and then stores the samples since the previous crossing in `*period`
// (always at least 6).
bool feed(PulseDetector& detector, std::uint8_t u, std::int64_t* period);

// One crossing found by detect_chunk(): the index of the crossing sample within the chunk
// (0-based) and the samples since the previous crossing, as feed() reports them.
struct Crossing {
  std::int64_t period;
  std::uint32_t index;
};

// The most crossings `count` samples can hold: after the first, each needs DEBOUNCE_LIMIT + 1
// samples of its own.
constexpr std::size_t max_crossings(std::size_t count) {
  return count == 0 ? 0 : (count - 1) / (DEBOUNCE_LIMIT + 1) + 1;
}

// What detect_chunk() did: crossings stored and bytes consumed.
struct ChunkScan {
  std::size_t crossings;
  std::size_t consumed;
};

// Chunk detector, identical in effect to calling feed() on every sample in turn: takes raw bytes
// as read from the recording and stores every crossing among them in `out`, in order. It consumes
// all `count` bytes when `capacity` is at least max_crossings(count), otherwise the longest
// prefix whose crossings surely fit (6 * capacity bytes).
ChunkScan detect_chunk(PulseDetector& detector, const std::uint8_t* raw, std::size_t count,
                       Crossing* out, std::size_t capacity);

// The most bytes detect_stream() leaves unconsumed at the end, plus one.
inline constexpr std::size_t STREAM_LOOKAHEAD = 64;

// Stream detector, for a reader that keeps what is left over: like detect_chunk(), but it may
// stop short of the end, leaving fewer than STREAM_LOOKAHEAD bytes unconsumed, so that its
// windows never reach past `count`. The caller passes those bytes again in front of the next
// chunk, and the last of them to detect_chunk() at the end of the input.
ChunkScan detect_stream(PulseDetector& detector, const std::uint8_t* raw, std::size_t count,
                        Crossing* out, std::size_t capacity);

// The implementations detect_chunk() chooses from, for the tests and the benchmark.
enum class DetectorPath {
  REFERENCE,  // feed() on every sample
  AVX2,       // 64-sample windows, each searched with a guessed and the true threshold
};

// Whether this build and this processor can run `path`.
bool detector_path_available(DetectorPath path);

// The path detect_chunk() uses here.
DetectorPath detector_path_chosen();

// detect_chunk() along the given path, which must be available.
ChunkScan detect_chunk_along(DetectorPath path, PulseDetector& detector, const std::uint8_t* raw,
                             std::size_t count, Crossing* out, std::size_t capacity);

// detect_stream() along the given path, which must be available.
ChunkScan detect_stream_along(DetectorPath path, PulseDetector& detector, const std::uint8_t* raw,
                              std::size_t count, Crossing* out, std::size_t capacity);

}  // namespace mzfextract
