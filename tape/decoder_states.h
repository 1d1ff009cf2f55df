// The tape decoder's inner parts, private to tape/: its gap search's state for the ride on the
// detector, the block reader that serves the DecoderState::READ_HEADER and DecoderState::READ_BODY
// states, and the loader relay it calls when a block is complete.
#pragma once

#include <cstdint>

#include "tape/gap_search.h"
#include "tape/tape_decoder.h"

namespace mzfextract {

// Whether the decoder is looking for the gap before a block.
bool seeking_gap(const TapeDecoder& decoder);

// The gap search as the decoder holds it; meaningful while seeking_gap().
GapSearch gap_search_of(const TapeDecoder& decoder);

// Takes back a gap search run on the decoder's behalf, on periods that it has not taken itself;
// `gap_ended` when the last of them ended the gap (the decoder then counts the tape mark). By
// value: a search whose address is handed out stays in memory while it runs, and its running
// average would make a round trip through memory for every period.
void resume_after_gap_search(TapeDecoder& decoder, GapSearch gap, bool gap_ended);

// Reads one period of the block in progress (header or body, after the decoder's state);
// returns TapeEvent::PROGRAM_COMPLETE when a body other than a loader's is complete.
TapeEvent read_block(TapeDecoder& decoder, std::int64_t period, std::int64_t sample_number);

// Reads the periods of `count` crossings into the block in progress, as read_block() would one
// by one, while the decoder stays in DecoderState::READ_HEADER or DecoderState::READ_BODY;
// `samples_before` as for on_crossings(). Returns the number taken; `*event` tells whether the last
// completed a program.
std::size_t read_block_run(TapeDecoder& decoder, const Crossing* crossings, std::size_t count,
                           std::int64_t samples_before, TapeEvent* event);

// Loader relay. A loader is a 90-byte body loaded and started at 0xD400 whose bytes 77 to 89
// carry the length and addresses of the program that follows it on tape.
// Sets `loader_pending` when the header just read announces a loader, clears it otherwise.
void examine_header(TapeBuffers& buffers);
// Copies the loader's parameters over header bytes 18 to 30 and takes the new body length.
void relay_loader_body(TapeBuffers& buffers);

}  // namespace mzfextract
