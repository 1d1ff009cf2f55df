// mzfscan's trust in what it saves: the decision between the two copies of a block, damage of
// every kind in either copy over many seeds (never a wrong file saved as verified), and the
// second reader, which reads what the first cannot whenever the prepared recording reads in
// the exact converter.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "rescue/mark_finder.h"
#include "rescue/pulse_chain.h"
#include "run/mzfscan_run.h"
#include "soft/soft_reading.h"
#include "tests/test_support.h"

using namespace testing_support;
using mzfscan::CopyView;

namespace {

// A copy of `bytes` for decide_block(), with the given bytes marked suspect or disturbed.
struct TestCopy {
  Bytes bytes;
  bool attempted = true, complete = true, verified = true;
  std::vector<std::uint32_t> suspect, disturbed;
  std::vector<std::uint64_t> suspect_bits, disturbed_bits;

  CopyView view() {
    suspect_bits.assign(mzfscan::SUSPECT_WORDS, 0);
    disturbed_bits.assign(mzfscan::SUSPECT_WORDS, 0);
    for (std::uint32_t i : suspect) suspect_bits[i / 64] |= std::uint64_t{1} << (i % 64);
    for (std::uint32_t i : disturbed) {
      disturbed_bits[i / 64] |= std::uint64_t{1} << (i % 64);
      suspect_bits[i / 64] |= std::uint64_t{1} << (i % 64);
    }
    return CopyView{bytes.data(),
                    static_cast<std::uint32_t>(bytes.size()),
                    attempted,
                    complete,
                    verified,
                    suspect_bits.data(),
                    disturbed_bits.data()};
  }
};

TEST(CopyDecision, ACopyCountsOnlyWhenTheOtherBearsItOut) {
  const Bytes good = with_checksum(pattern(40, 7));
  Bytes moved = good;  // a 1 bit moved by one place: the checksum still holds
  moved[10] = static_cast<std::uint8_t>(moved[10] ^ 0x03);
  Bytes twice = moved;
  twice[20] = static_cast<std::uint8_t>(twice[20] ^ 0x01);
  struct Case {
    const char* label;
    TestCopy first, second;
    int verdict, source;
  };
  const auto copy = [](Bytes bytes, bool verified, std::vector<std::uint32_t> suspect = {},
                       std::vector<std::uint32_t> disturbed = {}) {
    TestCopy c;
    c.bytes = std::move(bytes);
    c.verified = verified;
    c.suspect = std::move(suspect);
    c.disturbed = std::move(disturbed);
    return c;
  };
  TestCopy unread;
  unread.attempted = unread.complete = unread.verified = false;
  TestCopy broken = copy(Bytes(good.begin(), good.begin() + 12), false, {10, 11});
  broken.complete = false;
  Case cases[] = {
      {"both agree", copy(good, true), copy(good, true), mzfscan::VERDICT_OK, 0},
      {"second never read", copy(good, true), unread, mzfscan::VERDICT_OK, 0},
      {"first never read", unread, copy(good, true), mzfscan::VERDICT_COPY, 1},
      {"both pass, differ, no sign", copy(moved, true), copy(good, true), mzfscan::VERDICT_CONFLICT,
       -1},
      {"both pass, first disturbed there", copy(moved, true, {}, {10}), copy(good, true),
       mzfscan::VERDICT_COPY, 1},
      {"both pass, second disturbed there", copy(good, true), copy(moved, true, {}, {10}),
       mzfscan::VERDICT_OK, 0},
      {"first disturbed elsewhere", copy(moved, true, {}, {30}), copy(good, true),
       mzfscan::VERDICT_CONFLICT, -1},
      {"second fails, one byte differs", copy(good, true), copy(moved, false), mzfscan::VERDICT_OK,
       0},
      {"second fails, two bytes differ", copy(good, true), copy(twice, false),
       mzfscan::VERDICT_CONFLICT, -1},
      {"second fails, suspect where it differs", copy(good, true), copy(twice, false, {10, 20}),
       mzfscan::VERDICT_OK, 0},
      {"second broke before the difference", copy(moved, true), broken, mzfscan::VERDICT_OK, 0},
      {"neither passes", copy(moved, false), copy(twice, false), mzfscan::VERDICT_DAMAGED, -1},
      {"first broken, second unread", broken, unread, mzfscan::VERDICT_DAMAGED, -1},
      // A disturbance in a copy that passes counts only where the other copy read the same.
      {"first disturbed, second never read", copy(moved, true, {}, {10}), unread,
       mzfscan::VERDICT_DAMAGED, -1},
      {"first disturbed past where the second broke", copy(moved, true, {}, {12}), broken,
       mzfscan::VERDICT_DAMAGED, -1},
      {"first disturbed at the last byte the second read", copy(moved, true, {}, {11}), broken,
       mzfscan::VERDICT_OK, 0},
      {"both pass, both disturbed alike there", copy(good, true, {}, {10}),
       copy(good, true, {}, {10}), mzfscan::VERDICT_OK, 0},
      {"second disturbed, first never read", unread, copy(good, true, {}, {5}),
       mzfscan::VERDICT_DAMAGED, -1},
      {"nothing read", unread, unread, mzfscan::VERDICT_MISSING, -1},
  };
  for (Case& c : cases) {
    const mzfscan::BlockDecision d = mzfscan::decide_block(c.first.view(), c.second.view());
    EXPECT_EQ(d.verdict, c.verdict) << c.label;
    EXPECT_EQ(d.source, c.source) << c.label;
  }
}

// One run of mzfscan in this process over a recording made of `program` with `options`.
struct TrustRun {
  int status = -1;
  std::string report;
  Bytes saved;  // the verified file, empty when none
  bool damaged_saved = false;
};

// The same over several captures of one tape, each made with its own options, read as captures
// of one tape or not.
TrustRun scan_captures(const tapesynth::Program& program,
                       const std::vector<tapesynth::SynthOptions>& captures, bool same_tape,
                       bool keep_damaged = false) {
  TempDir dir;
  mzfscan::RunOptions run;
  for (std::size_t i = 0; i < captures.size(); ++i) {
    run.recordings.push_back(dir.file("tape" + std::to_string(i) + ".wav"));
    write_recording(run.recordings.back(), {program}, captures[i]);
  }
  run.same_tape = same_tape;
  run.output_directory = dir.file("out");
  run.keep_damaged = keep_damaged;
  std::FILE* out = std::tmpfile();
  std::FILE* errors = std::tmpfile();
  TrustRun result;
  result.status = mzfscan::run_scan(run, out, errors);
  std::rewind(out);
  char line[512];
  while (std::fgets(line, sizeof line, out) != nullptr) result.report += line;
  std::fclose(out);
  std::fclose(errors);
  for (const std::string& name : list_dir(run.output_directory)) {
    if (name.find(".DAMAGED.") != std::string::npos) {
      result.damaged_saved = true;
    } else {
      result.saved = read_file(run.output_directory + "/" + name);
    }
  }
  return result;
}

TrustRun scan_recording(const tapesynth::Program& program, const tapesynth::SynthOptions& options,
                        bool keep_damaged = false) {
  return scan_captures(program, {options}, false, keep_damaged);
}

tapesynth::SynthOptions tape(std::uint64_t seed) {
  tapesynth::SynthOptions o = quick_options(44100, 600, 400, 0.2);
  o.amplitude = 64;
  o.noise = 3;
  o.seed = seed;
  return o;
}

// Damage of every kind, in each copy, at several places and seeds: the file saved is the exact
// one, from the copy left intact, and nothing wrong is ever saved as verified.
TEST(Trust, DamageInOneCopyGivesTheExactFileFromTheOther) {
  const tapesynth::Program program = make_program("TRUST", pattern(300, 11));
  const Bytes expected = mzf_of(program);
  using tapesynth::CopyId;
  struct Kind {
    const char* label;
    void (*apply)(tapesynth::SynthOptions&, CopyId, double);
  };
  const Kind kinds[] = {
      {"0.4 ms mute",
       [](tapesynth::SynthOptions& o, CopyId c, double at) {
         o.damages.push_back({c, at, 0.4, 0});
       }},
      {"bit slip",
       [](tapesynth::SynthOptions& o, CopyId c, double at) {
         o.slips.push_back({c, at});
       }},
      {"3 ms dropout",
       [](tapesynth::SynthOptions& o, CopyId c, double at) {
         o.dropouts.push_back({c, at, 3});
       }},
  };
  int wrong = 0;
  for (const Kind& kind : kinds) {
    for (CopyId copy : {CopyId::HEADER1, CopyId::HEADER2, CopyId::BODY1, CopyId::BODY2}) {
      for (std::uint64_t seed = 1; seed <= 2; ++seed) {
        for (double at : {0.21, 0.64}) {
          tapesynth::SynthOptions o = tape(seed);
          kind.apply(o, copy, at);
          const TrustRun run = scan_recording(program, o);
          const std::string label = std::string(kind.label) + " in copy " +
                                    std::to_string(static_cast<int>(copy)) + " at " +
                                    std::to_string(at) + ", seed " + std::to_string(seed);
          if (!run.saved.empty() && run.saved != expected) ++wrong;
          EXPECT_EQ(run.saved, expected) << label << "\n" << run.report;
          EXPECT_EQ(run.status, mzfscan::STATUS_OK) << label;
        }
      }
    }
  }
  EXPECT_EQ(wrong, 0);
}

// Both copies lost at the same place (a near mute of 20 ms, in the header and in the body): no
// reading can know those bytes, so nothing is saved as verified, on any seed; the two bodies cut
// at different places are not joined either, and stay damaged.
TEST(Trust, CopiesLostAtTheSamePlaceStayDamaged) {
  const tapesynth::Program program = make_program("BOTH", pattern(400, 8));
  using tapesynth::CopyId;
  for (std::uint64_t seed = 1; seed <= 3; ++seed) {
    tapesynth::SynthOptions o = tape(seed);
    for (const CopyId copy : {CopyId::HEADER1, CopyId::HEADER2, CopyId::BODY1, CopyId::BODY2}) {
      o.damages.push_back({copy, 0.4, 20, 0.015});
    }
    o.damages.push_back({CopyId::BODY2, 0.8, 20, 0.015});
    const TrustRun run = scan_recording(program, o);
    EXPECT_TRUE(run.saved.empty()) << "seed " << seed << "\n" << run.report;
    EXPECT_EQ(run.status, mzfscan::STATUS_NOT_SAVED) << "seed " << seed;
  }
}

// Two copies that both pass their checksums but hold different bytes, with nothing in the signal
// to tell which is right: a conflict, not saved (unless asked), exit status as for damage.
TEST(Trust, CopiesThatBothPassButDisagreeConflict) {
  const tapesynth::Program program = make_program("CONFLICT", pattern(64, 3));
  const Bytes other = same_checksum_other(program.body);
  ASSERT_EQ(tapesynth::checksum_of(other), tapesynth::checksum_of(program.body));
  ASSERT_NE(other, program.body);
  for (const bool keep : {false, true}) {
    const tapesynth::Recorder recorder = record_conflicting_copies(program, tape(1));
    TempDir dir;
    const std::string wav = dir.file("tape.wav");
    ASSERT_TRUE(tapesynth::write_wav(wav, recorder, tape(1)));
    mzfscan::RunOptions run;
    run.recordings = {wav};
    run.output_directory = dir.file("out");
    run.keep_damaged = keep;
    run.json = true;
    std::FILE* out = std::tmpfile();
    std::FILE* errors = std::tmpfile();
    EXPECT_EQ(mzfscan::run_scan(run, out, errors), mzfscan::STATUS_NOT_SAVED) << keep;
    std::rewind(out);
    std::string report;
    char line[512];
    while (std::fgets(line, sizeof line, out) != nullptr) report += line;
    std::fclose(out);
    std::fclose(errors);
    EXPECT_NE(report.find("\"body\": \"conflict\""), std::string::npos) << report;
    const std::vector<std::string> files = list_dir(run.output_directory);
    ASSERT_EQ(files.size(), keep ? 1U : 0U) << keep;
    if (keep) {
      EXPECT_NE(files[0].find(".DAMAGED.MZF"), std::string::npos);
    }
  }
}

// What the first reader cannot read: the second reader (the exact converter over the prepared
// recording, then the pulse chain) saves it verified, exactly.
TEST(Trust, TheSecondReaderReadsLowPassHumAndSpeed) {
  const tapesynth::Program program = make_program("SECOND", pattern(200, 5));
  struct Case {
    const char* label;
    double lowpass1, lowpass2, hum, speed;
  };
  const Case cases[] = {
      {"one-pole low-pass 250 Hz", 250, 0, 0, 1},    {"2nd-order low-pass 900 Hz", 0, 900, 0, 1},
      {"hum as strong as the pulses", 0, 0, 1.0, 1}, {"2.2 times too fast", 0, 0, 0, 2.2},
      {"0.3 times the speed", 0, 0, 0, 0.3},
  };
  for (const Case& c : cases) {
    // Gaps of a real tape: under heavy filtering the first reader needs them to find the marks.
    tapesynth::SynthOptions o = tape(1);
    o.long_gap = tapesynth::LONG_GAP_PULSES;
    o.short_gap = tapesynth::SHORT_GAP_PULSES;
    o.lowpass1 = c.lowpass1;
    o.lowpass2 = c.lowpass2;
    o.hum_level = c.hum;
    o.speed = c.speed;
    const TrustRun run = scan_recording(program, o);
    EXPECT_EQ(run.saved, mzf_of(program)) << c.label << "\n" << run.report;
    EXPECT_EQ(run.status, mzfscan::STATUS_OK) << c.label;
  }
}

// The pulse-chain reader decodes one copy exactly, from gap pulses before it (and the long
// pulse after a tape mark) to a gap after it, where crossings would mislead: heavy low-pass
// filtering, hum stronger than the pulses, rates from 22050 to 96000 Hz, speed off nominal.
TEST(PulseChain, DecodesACopyByWholePulses) {
  const Bytes data = with_checksum(pattern(200, 21));
  struct Case {
    const char* label;
    int rate;
    double lowpass1, lowpass2, hum, speed;
    bool separated;
  };
  const Case cases[] = {
      {"clean, 44100 Hz", 44100, 0, 0, 0, 1, true},
      {"one-pole 200 Hz", 44100, 200, 0, 0, 1, true},
      {"2nd-order 800 Hz, no separator", 44100, 0, 800, 0, 1, false},
      {"hum 1.5 times the pulses, 22050 Hz", 22050, 0, 0, 1.5, 1, true},
      {"one-pole 300 Hz, 96000 Hz, 8 % fast", 96000, 300, 0, 0, 1.08, false},
      {"2nd-order 1000 Hz, 8 % slow", 48000, 0, 1000, 0, 0.92, true},
  };
  mzfscan::ChainWork work;
  for (const Case& c : cases) {
    tapesynth::SynthOptions o = quick_options(c.rate);
    o.amplitude = 64;
    o.noise = 2;
    o.lowpass1 = c.lowpass1;
    o.lowpass2 = c.lowpass2;
    o.hum_level = c.hum;
    o.speed = c.speed;
    tapesynth::Recorder recorder(o);
    recorder.silence(0.05);
    recorder.pulses(false, 60);
    if (c.separated) recorder.pulse(true);
    const auto start = static_cast<double>(recorder.samples().size());
    recorder.block(Bytes(data.begin(), data.end() - 2));
    recorder.pulse(true);
    recorder.pulses(false, 100);
    const Bytes& samples = recorder.samples();
    const mzfscan::ChainCopy copy{start, 504e-6 * c.rate / c.speed, 958e-6 * c.rate / c.speed,
                                  c.separated};
    Bytes bytes;
    mzfscan::decode_chain(samples.data(), samples.size(), copy, data.size(), work, &bytes, nullptr);
    EXPECT_EQ(bytes, data) << c.label;
  }
}

}  // namespace

// Noise past what one copy alone survives, on a tape with the standard gaps: the soft reading
// finds the blocks by their marks and sums both copies' evidence. Up to 1.1 of the pulse
// amplitude every seed gives the exact file (one copy alone fails half the time at about 1.14);
// at every level nothing wrong is ever saved as verified.
TEST(Trust, SoftReadingJoinsBothCopiesUnderNoise) {
  // A program of random bytes; one of zero bytes, whose copies are much like a gap (where the
  // first reading verifies nothing); and that one in 16-bit stereo beside a channel of noise
  // alone, which must not be the one read.
  struct Tape {
    const char* label;
    tapesynth::Program program;
    int channels;
  };
  const Tape tapes[] = {
      {"random bytes", make_program("NOISY", pattern(300, 5)), 1},
      {"zero bytes", make_program("Z", Bytes(300, 0)), 1},
      {"beside a channel of noise", make_program("Z", Bytes(300, 0)), 2},
  };
  struct Level {
    double sigma;  // of the pulse amplitude
    bool exact;    // every seed must give the file
  };
  for (const Tape& t : tapes) {
    const Bytes expected = mzf_of(t.program);
    for (const Level level : {Level{0.7, true}, Level{1.1, true}, Level{1.4, false}}) {
      for (std::uint64_t seed = 1; seed <= 3; ++seed) {
        tapesynth::SynthOptions o = tape(seed);
        o.long_gap = tapesynth::LONG_GAP_PULSES;
        o.short_gap = tapesynth::SHORT_GAP_PULSES;
        o.noise = level.sigma * o.amplitude;
        if (t.channels == 2) {
          o.format = tapesynth::SampleFormat::S16;
          o.channels = 2;
          o.signal_channel = 2;
        }
        const TrustRun run = scan_recording(t.program, o);
        const std::string label = std::string(t.label) + ", noise " + std::to_string(level.sigma) +
                                  ", seed " + std::to_string(seed) + "\n" + run.report;
        if (!run.saved.empty() || level.exact) {
          EXPECT_EQ(run.saved, expected) << label;
        }
      }
    }
  }
}

// Read on the main thread alone and with threads (the first reading's channels split, the chains
// decoded behind the exact reading, body copies read apart), a recording gives the same report
// and the same files: tapes of three programs whose bodies are read softly (noise past one copy,
// a copy cut in noise, a body found only by its header's mark), in 16-bit stereo.
TEST(Trust, ThreadsChangeNothing) {
  struct Case {
    const char* label;
    double sigma;  // of the pulse amplitude
    bool cut;      // the first body copy cut by 40 ms at its middle
    // The second body copy's first 40 ms muted: the first reading places it late, so its own
    // reading is dropped for the one its first copy's gives, begun apart before that is back.
    bool late;
    std::uint64_t seed;
  };
  const Case cases[] = {{"noise", 1.0, false, false, 4},
                        {"cut in noise", 0.5, true, false, 4},
                        {"second copy begun late in noise", 0.9, false, true, 5}};
  const std::vector<tapesynth::Program> programs = {make_program("FIRST", pattern(700, 1)),
                                                    make_program("SECOND", pattern(300, 2)),
                                                    make_program("THIRD", pattern(500, 3))};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir dir;
    tapesynth::SynthOptions o = tape(c.seed);
    o.long_gap = tapesynth::LONG_GAP_PULSES;
    o.short_gap = tapesynth::SHORT_GAP_PULSES;
    o.noise = c.sigma * o.amplitude;
    o.format = tapesynth::SampleFormat::S16;
    o.channels = 2;
    o.signal_channel = 2;
    if (c.cut) o.dropouts.push_back({tapesynth::CopyId::BODY1, 0.5, 40});
    if (c.late) o.damages.push_back({tapesynth::CopyId::BODY2, 0.0, 40, 0});
    const std::string wav = dir.file("tape.wav");
    write_recording(wav, programs, o);
    std::string reports[2];
    std::vector<std::string> files[2];
    for (int k = 0; k < 2; ++k) {
      mzfscan::RunOptions run;
      run.recordings = {wav};
      run.json = true;
      run.threads = k == 0 ? 1 : 3;
      run.output_directory = dir.file("out" + std::to_string(k));
      std::FILE* out = std::tmpfile();
      std::FILE* errors = std::tmpfile();
      mzfscan::run_scan(run, out, errors);
      std::rewind(out);
      char line[512];
      while (std::fgets(line, sizeof line, out) != nullptr) reports[k] += line;
      std::fclose(out);
      std::fclose(errors);
      for (const std::string& name : list_dir(run.output_directory)) {
        const Bytes bytes = read_file(run.output_directory + "/" + name);
        files[k].push_back(name + ":" + std::string(bytes.begin(), bytes.end()));
      }
      std::sort(files[k].begin(), files[k].end());
    }
    EXPECT_EQ(reports[1], reports[0]);
    EXPECT_EQ(files[1], files[0]);
    EXPECT_FALSE(files[0].empty()) << reports[0];
  }
}

// The decision from soft readings: a checksum that holds is not enough when the bits are
// uncertain, and a copy that read a byte confidently otherwise vetoes the block.
TEST(SoftDecision, TakesABlockOnlyWhenAWrongOneCouldHardlyPass) {
  const Bytes data = {0x12, 0x34, 0xFF, 0x00, 0x5A};
  Bytes block = data;
  const std::uint16_t sum = mzf::ones_checksum(data.data(), data.size());
  block.push_back(static_cast<std::uint8_t>(sum >> 8));
  block.push_back(static_cast<std::uint8_t>(sum & 0xFF));
  const auto ratios = [&](const Bytes& bytes, float level) {
    std::vector<float> l;
    for (const std::uint8_t b : bytes) {
      for (int k = 7; k >= 0; --k) l.push_back((b >> k & 1) != 0 ? level : -level);
    }
    return l;
  };
  struct Case {
    const char* label;
    std::vector<std::vector<float>> copies;
    int source;  // -1: not taken
  };
  Bytes other = block;
  other[0] ^= 0x01;  // one more 1 bit in the data, one less in the checksum's low byte
  other[6] ^= 0x01;
  std::vector<float> halves = ratios(block, 12);
  for (std::size_t i = 0; i < 20; ++i) halves[i] = 0;  // the first copy lost its start
  std::vector<float> rest = ratios(block, 12);
  for (std::size_t i = 20; i < rest.size(); ++i) rest[i] = 0;  // the second lost the rest
  const Case cases[] = {
      {"confident copy", {ratios(block, 30), {}}, 0},
      {"uncertain copy whose checksum holds", {ratios(block, 2), {}}, -1},
      {"both copies, each half lost", {halves, rest}, mzfscan::JOINED_COPIES},
      {"contradicted by a confident other copy", {ratios(block, 30), ratios(other, 30)}, -1},
  };
  for (const Case& c : cases) {
    mzfscan::SoftDecision decision;
    const bool taken = mzfscan::soft_decide(c.copies, block.size(), &decision);
    EXPECT_EQ(taken, c.source != -1) << c.label;
    EXPECT_EQ(decision.source, c.source) << c.label;
    if (taken) {
      EXPECT_EQ(decision.bytes, block) << c.label;
    }
  }
}

// Both copies of a block damaged, at different places or at the same place, by a dropout or a
// mute: at different places every byte survives in one copy and the block is joined, exactly;
// at the same place nothing is saved as verified. The same for two captures of one tape, each
// with both its copies damaged at one place: joined when the captures' places differ.
TEST(Trust, CopiesDamagedAtDifferentPlacesJoin) {
  const tapesynth::Program program = make_program("JOIN", pattern(600, 7));
  const Bytes expected = mzf_of(program);
  using tapesynth::CopyId;
  struct Case {
    const char* label;
    double first, second;  // where each copy (or each capture) is damaged
    bool mute;             // a mute of the signal instead of a dropout of whole half pulses
    bool joined;
    double ms = 25;  // the damage's length
  };
  const Case cases[] = {
      {"dropouts apart", 0.25, 0.7, false, true},
      {"dropouts apart, reversed", 0.8, 0.15, false, true},
      {"mutes apart", 0.3, 0.6, true, true},
      // Some 20 bytes lost in each: more alignments of the rest than a band of 8 bytes holds.
      {"long dropouts apart", 0.2, 0.75, false, true, 150},
      {"dropouts at one place", 0.5, 0.5, false, false},
      {"mutes overlapping", 0.4, 0.403, true, false},
  };
  const auto damage = [](tapesynth::SynthOptions& o, CopyId copy, double at, const Case& c) {
    if (c.mute) {
      o.damages.push_back({copy, at, c.ms, 0});
    } else {
      o.dropouts.push_back({copy, at, c.ms});
    }
  };
  for (const Case& c : cases) {
    for (std::uint64_t seed = 1; seed <= 2; ++seed) {
      const std::string label = std::string(c.label) + ", seed " + std::to_string(seed);
      // One capture, its two body copies damaged.
      tapesynth::SynthOptions one = tape(seed);
      damage(one, CopyId::BODY1, c.first, c);
      damage(one, CopyId::BODY2, c.second, c);
      const TrustRun alone = scan_recording(program, one);
      EXPECT_EQ(alone.saved, c.joined ? expected : Bytes{}) << label << "\n" << alone.report;
      if (c.joined) {
        EXPECT_NE(alone.report.find("body joined: copy 1 gave 0-"), std::string::npos)
            << label << "\n"
            << alone.report;
      }
      // Two captures, each with both copies damaged at one place.
      std::vector<tapesynth::SynthOptions> captures = {tape(seed), tape(seed + 10)};
      captures[1].sample_rate = 48000;
      for (const CopyId copy : {CopyId::BODY1, CopyId::BODY2}) {
        damage(captures[0], copy, c.first, c);
        damage(captures[1], copy, c.second, c);
      }
      const TrustRun apart = scan_captures(program, captures, false);
      EXPECT_TRUE(apart.saved.empty()) << label << "\n" << apart.report;
      const TrustRun together = scan_captures(program, captures, true);
      EXPECT_EQ(together.saved, c.joined ? expected : Bytes{}) << label << "\n" << together.report;
      EXPECT_EQ(together.status, c.joined ? mzfscan::STATUS_OK : mzfscan::STATUS_NOT_SAVED)
          << label;
    }
  }
}

// One copy read softly, round trip through tapesynth, one row per stress, three noise seeds each:
// the bits decided by the ratios are the bits recorded wherever the signal is there, and a
// silenced stretch leaves its bits near zero without moving the bytes after it (they are placed
// by the closing long and the gap, also when noise fills the silence and the chains that place
// them a byte apart fit it differently). A row with `silent_from` < 0 has no dropout.
TEST(SoftRead, EachBitOfACopyUnderStress) {
  const Bytes data = with_checksum(pattern(600, 13));
  struct Case {
    const char* label;
    double noise;        // of the pulse amplitude
    double flutter;      // percent, at 10 Hz
    double silent_from;  // a 30 ms dropout from this fraction of the copy
    bool separated;
  };
  const Case cases[] = {
      {"clean", 0.03, 0, -1, true},
      {"noise 0.9", 0.9, 0, -1, true},
      {"dropout at 0.2, after a gap", 0.03, 0, 0.2, false},
      {"dropout at 0.8 in noise 0.5", 0.5, 0, 0.8, true},
      // Read again following the speed. (Not every seed of 20 % or more holds yet: this row
      // keeps the path that follows the speed working, on one that does.)
      {"flutter 25 %", 0.03, 25, -1, true},
  };
  for (const Case& c : cases) {
    for (const std::uint64_t seed : {2, 4, 11}) {
      const std::string label = std::string(c.label) + ", seed " + std::to_string(seed);
      tapesynth::SynthOptions o = quick_options(44100);
      o.amplitude = 64;
      o.noise = c.noise * 64;
      o.flutter = c.flutter;
      o.seed = seed;
      tapesynth::Recorder recorder(o);
      recorder.pulses(false, 300);
      if (c.separated) {
        recorder.pulses(true, 40);
        recorder.pulses(false, 40);
        recorder.pulse(true);
      }
      const auto start = static_cast<double>(recorder.samples().size());
      if (c.silent_from >= 0) recorder.drop_next_block(c.silent_from, 30);
      recorder.block(Bytes(data.begin(), data.end() - 2));
      recorder.pulse(true);
      recorder.pulses(false, 300);
      const Bytes& samples = recorder.samples();
      mzfscan::ChainWork chain;
      const mzfscan::ChainCopy copy{start, 504e-6 * 44100, 958e-6 * 44100, c.separated};
      Bytes bytes;
      mzfscan::decode_chain(samples.data(), samples.size(), copy, data.size(), chain, &bytes,
                            nullptr);
      mzfscan::SoftStats stats;
      ASSERT_TRUE(mzfscan::soft_measure(chain, &stats)) << label;
      mzfscan::SoftWork work;
      std::vector<float> llr;
      ASSERT_TRUE(mzfscan::soft_read_copy(chain.chain_samples, chain.chain_count, stats, start,
                                          c.separated, data.size(), work, &llr))
          << label;
      ASSERT_EQ(llr.size(), 8 * data.size()) << label;
      // The bytes a 30 ms dropout can reach, with a byte's margin either side.
      const auto first_silent =
          c.silent_from < 0 ? data.size() : static_cast<std::size_t>(c.silent_from * data.size());
      const std::size_t silent_bytes = 30e-3 / (9 * 731e-6) + 2;
      int wrong = 0, weak_in_silence = 0;
      for (std::size_t i = 0; i < data.size(); ++i) {
        const bool silent = i + 1 >= first_silent && i < first_silent + silent_bytes;
        for (int k = 0; k < 8; ++k) {
          const float l = llr[8 * i + static_cast<std::size_t>(k)];
          if (silent) {
            weak_in_silence += std::fabs(l) < 4.6f ? 1 : 0;
          } else if ((l > 0) != ((data[i] >> (7 - k) & 1) != 0)) {
            ++wrong;
          }
        }
      }
      EXPECT_EQ(wrong, 0) << label;
      if (c.silent_from >= 0) {
        EXPECT_GE(weak_in_silence, 8 * 3) << label;
      }
    }
  }
}

// The mark finder: a header's tape mark is found within a few milliseconds in noise that hides
// its pulses from a reader that decides them one by one, and nothing is found in a gap alone or
// in data.
TEST(MarkFinder, FindsAHeaderMarkAndNothingElse) {
  struct Case {
    const char* label;
    double noise;  // of the pulse amplitude
    bool mark;
  };
  const Case cases[] = {
      {"clean mark", 0.03, true},
      {"mark in noise 1.2", 1.2, true},
      {"gap and data, no mark", 0.03, false},
      {"gap and data in noise 1.2", 1.2, false},
  };
  const Bytes data = pattern(400, 9);
  for (const Case& c : cases) {
    tapesynth::SynthOptions o = quick_options(44100);
    o.amplitude = 64;
    o.noise = c.noise * 64;
    tapesynth::Recorder recorder(o);
    recorder.pulses(false, 2000);
    std::size_t mark_end = 0;
    if (c.mark) {
      recorder.pulses(true, 40);
      recorder.pulses(false, 40);
      mark_end = recorder.samples().size();
      recorder.pulse(true);
    }
    recorder.block(data);
    recorder.pulse(true);
    recorder.pulses(false, 2000);
    mzfscan::MarkFinder finder;
    mzfscan::mark_finder_init(finder, 44100, 504e-6 * 44100, 958e-6 * 44100, 44100);
    const Bytes& samples = recorder.samples();
    for (std::size_t at = 0; at < samples.size(); at += 4096) {
      mzfscan::mark_finder_feed(finder, samples.data() + at,
                                std::min<std::size_t>(4096, samples.size() - at));
    }
    if (!c.mark) {
      EXPECT_TRUE(finder.found.empty()) << c.label;
      continue;
    }
    ASSERT_EQ(finder.found.size(), 1U) << c.label;
    EXPECT_NEAR(static_cast<double>(finder.found[0]), static_cast<double>(mark_end), 0.005 * 44100)
        << c.label;
  }
}
