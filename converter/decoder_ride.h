// The decoder riding on the detector: most periods of a tape reach the decoder while it seeks a
// gap (the gaps and the second copies of the blocks) or reads a block, and the gap search waits
// on its running average from one period to the next. Taking each crossing into the decoder while
// the detector looks for the next one lets the processor do both at once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "signal/pulse_detector.h"
#include "tape/tape_decoder.h"

namespace mzfextract {

// Whether the decoder rides on the detector here: on the wide detector paths only.
bool decoder_ride_available();

// Whether the decoder can ride in its present state: while it seeks a gap or reads a block.
bool decoder_can_ride(const TapeDecoder& decoder);

// For a decoder that can ride: like detect_stream(), but where decoder_ride_available() the
// decoder takes each crossing as it is found, until one ends the gap or completes the block, and
// only the crossings after that one are stored in `out`. `samples_before` is the number of
// samples before the buffer, as for on_crossings(). `*event` is TapeEvent::PROGRAM_COMPLETE when
// the decoder completed a program (see finished_program()), which must be saved before the stored
// crossings go to on_crossings(). Together with on_crossings() on the stored ones, the decoder
// takes every crossing exactly as on_crossings() on all of them would.
ChunkScan detect_with_decoder(PulseDetector& detector, TapeDecoder& decoder,
                              const std::uint8_t* raw, std::size_t count, Crossing* out,
                              std::size_t capacity, std::int64_t samples_before, TapeEvent* event);

}  // namespace mzfextract
