// What mzfscan's second reader decides: which of its readings of a block the first reading did
// not verify are taken. Every reading of a copy (the first reader's, the exact decoder's of the
// first copy, the pulse chain's of either) is compared with every reading of the other copy.
#pragma once

#include <vector>

#include "reader/tape_reader.h"
#include "rescue/chain_reading.h"
#include "rescue/exact_reading.h"

namespace mzfscan {

// Takes into `programs` (the first reading's, in tape order) each block that did not verify,
// from the first candidate whose checksum holds and which every reading of the other copy bears
// out: the exact decoder's reading of the first copy, then the pulse chain's of the first and of
// the second copy. A reading bears a candidate out when they agree wherever it was read cleanly
// (one byte may differ when it is complete and fails its checksum); where it passes its checksum
// too, any difference at a place where the candidate's own signal was disturbed (as the first
// reader or the pulse chain found it) counts against the candidate. A program of `exact` whose
// blocks verified and that the first reading did not find at all is added in its place, its
// blocks decided the same way (damaged when not borne out). Blocks no reading of a copy gives
// are decided from the copies' soft readings (see soft_decide()); a program found only by its
// header's tape mark is added when its header is taken that way.
void adopt_second_reading(std::vector<ScannedProgram>& programs,
                          const std::vector<ExactProgram>& exact, const ChainReading& chains);

}  // namespace mzfscan
