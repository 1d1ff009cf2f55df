#include "combine/same_tape.h"

#include <algorithm>
#include <cstring>

#include "format/tape_format.h"

namespace mzfscan {

namespace {

// The header bytes that name a program: type, name, size, load and start addresses.
constexpr std::size_t IDENTITY_BYTES = mzf::EXEC_ADDRESS_OFFSET + 2;

bool same_program(const ScannedProgram& a, const ScannedProgram& b) {
  return std::memcmp(a.header, b.header, IDENTITY_BYTES) == 0;
}

// Decides the body of `tape` from its sources in `captures`.
void decide_body(TapeProgram& tape, const std::vector<std::vector<ScannedProgram>>& captures) {
  ScannedProgram& p = tape.program;
  const auto source = [&](std::size_t i) -> const ScannedProgram& {
    return captures[tape.sources[i][0]][tape.sources[i][1]];
  };
  // A body some capture verified; every other that verified one must agree.
  const ScannedProgram* verified = nullptr;
  for (std::size_t i = 0; i < tape.sources.size(); ++i) {
    const ScannedProgram& s = source(i);
    if (!verdict_verified(s.body_verdict)) continue;
    if (verified == nullptr) {
      verified = &s;
    } else if (s.body != verified->body) {
      p.body_verdict = VERDICT_CONFLICT;
      return;
    }
  }
  if (verified != nullptr) {
    p.body = verified->body;
    p.body_verdict = verified->body_verdict;
    std::copy(&verified->copies[1][0], &verified->copies[1][0] + 2, &p.copies[1][0]);
    return;
  }
  // Joined from every copy of every capture.
  std::vector<std::vector<float>> copies;
  for (std::size_t i = 0; i < tape.sources.size(); ++i) {
    for (int k = 0; k < 2; ++k) copies.push_back(source(i).soft[1][k]);
  }
  const std::size_t size = mzf::header_word(p.header, mzf::BODY_LENGTH_OFFSET) + mzf::CHECKSUM_SIZE;
  SoftDecision decision;
  if (!soft_decide(copies, size, &decision)) return;
  p.body.assign(decision.bytes.begin(),
                decision.bytes.end() - static_cast<std::ptrdiff_t>(mzf::CHECKSUM_SIZE));
  p.body_verdict = VERDICT_JOINED;
  tape.gave.resize(tape.sources.size());
  for (std::size_t i = 0; i < tape.sources.size(); ++i) {
    for (std::size_t k = 0; k < 2; ++k) tape.gave[i][k] = decision.gave[2 * i + k];
  }
}

}  // namespace

std::vector<TapeProgram> combine_captures(
    const std::vector<std::vector<ScannedProgram>>& captures) {
  std::vector<TapeProgram> tape;
  for (std::size_t c = 0; c < captures.size(); ++c) {
    for (std::size_t i = 0; i < captures[c].size(); ++i) {
      const ScannedProgram& p = captures[c][i];
      if (!verdict_verified(p.header_verdict)) continue;
      const auto at = std::find_if(tape.begin(), tape.end(), [&](const TapeProgram& t) {
        return same_program(t.program, p);
      });
      if (at != tape.end()) {
        at->sources.push_back({c, i});
        continue;
      }
      TapeProgram t;
      t.program = p;
      t.program.body_verdict = VERDICT_DAMAGED;
      t.sources.push_back({c, i});
      tape.push_back(std::move(t));
    }
  }
  for (TapeProgram& t : tape) decide_body(t, captures);
  return tape;
}

}  // namespace mzfscan
