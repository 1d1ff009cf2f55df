// Feeds arbitrary bytes to mzfscan as a recording held in memory: the audio reader (libsndfile
// virtual I/O, resampling), the tape reader of every channel and polarity, the second reader,
// and every report.
#include <cstddef>
#include <cstdint>
#include <string>

#include "run/mzfscan_run.h"

namespace {

// Frames read per input at most: keeps every input quick whatever its header claims.
constexpr std::int64_t MAX_FRAMES = 1 << 18;
// Beyond this many channels the average is read, keeping memory small.
constexpr int MAX_AUTO_CHANNELS = 8;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  mzfscan::AudioInput input;
  std::string error;
  if (!input.open_memory(data, size, true, &error)) return 0;
  mzfscan::ScanSettings settings;
  settings.max_frames = MAX_FRAMES;
  if (input.info().channels > MAX_AUTO_CHANNELS) settings.channel = mzfscan::CHANNEL_MIX;
  mzfscan::ScanResult result;
  if (!mzfscan::scan_audio(input, settings, &result, &error)) return 0;
  if (mzfscan::second_reading_wanted(result)) {
    // The second reader reads the recording again from its start, as far as the first went.
    mzfscan::AudioInput again;
    if (again.open_memory(data, size, false, &error)) {
      mzfscan::read_again_exactly(again, &result, &error);
    }
  }
  std::vector<mzfscan::RecordingReport> reports{
      mzfscan::describe_recording("fuzz.wav", input, result)};
  const mzfscan::Summary summary = mzfscan::summarize(reports);
  std::string text = mzfscan::table_text(reports[0]) + mzfscan::summary_text(summary);
  text += mzfscan::report_json(reports, summary).dump(2);
  text += mzfscan::plot_svg(reports);
  text += mzfscan::diagnosis_message("fuzz.wav", result, reports[0].diagnosis);
  return text.empty() ? 1 : 0;
}
