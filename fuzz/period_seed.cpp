// Writes the pulse periods of a recording as 32-bit little-endian values: seeds for fuzz_decoder.
#include <cstdint>
#include <cstdio>

#include "signal/pulse_detector.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: period_seed RECORDING.wav PERIODS\n");
    return 2;
  }
  std::FILE* in = std::fopen(argv[1], "rb");
  std::FILE* out = std::fopen(argv[2], "wb");
  if (in == nullptr || out == nullptr) return 1;
  mzfextract::PulseDetector detector;
  mzfextract::pulse_detector_init(detector);
  int c = 0;
  while ((c = std::fgetc(in)) != EOF) {
    std::int64_t period = 0;
    if (!mzfextract::feed(detector, static_cast<std::uint8_t>(~c), &period)) continue;
    const auto value = static_cast<std::uint32_t>(period);
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
        static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    std::fwrite(bytes, 1, sizeof bytes, out);
  }
  std::fclose(in);
  return std::fclose(out) == 0 ? 0 : 1;
}
