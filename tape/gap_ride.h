// The decoder's gap search riding on the detector: most periods of a tape are gap periods, and the
// gap search waits on its running average from one period to the next. Taking each crossing into
// the search while the detector looks for the next one lets the processor do both at once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "signal/pulse_detector.h"
#include "tape/tape_decoder.h"

namespace mzfextract {

// Whether the gap search rides on the detector here: on the wide detector paths only.
bool gap_ride_available();

// For a decoder seeking a gap (seeking_gap() true): like detect_stream(), but where
// gap_ride_available() the decoder's gap search takes each crossing as it is found, until one
// ends the gap, and only the crossings after that one are stored in `out`. Together with
// on_crossings() on the stored ones, the decoder takes every crossing exactly as on_crossings()
// on all of them would.
ChunkScan detect_seeking_gap(PulseDetector& detector, TapeDecoder& decoder, const std::uint8_t* raw,
                             std::size_t count, Crossing* out, std::size_t capacity);

}  // namespace mzfextract
