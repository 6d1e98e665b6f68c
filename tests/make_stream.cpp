// SPDX-License-Identifier: GPL-2.0-or-later
// Writes a raw stdin data stream to standard output, for the demo, the
// benchmark and the long-stream tests.
//   make_stream [--rate HZ] [--tone HZ] [--seconds S] [--silence S]
//               [--records N]
// --tone writes a sine tone (half of full scale, first channel in phase,
// second channel a quarter period later) for --seconds, after --silence
// seconds of silence; --records writes N records of a repeating pattern.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <string>
#include <vector>

namespace {

void append_le(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i)
    out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void append_record(std::vector<std::uint8_t>& out, std::int16_t left,
                   std::int16_t right, std::uint8_t filler) {
  out.push_back(filler);
  append_le(out, static_cast<std::uint16_t>(left), 2);
  out.push_back(static_cast<std::uint8_t>(~filler));
  append_le(out, static_cast<std::uint16_t>(right), 2);
}

bool write_all(const std::vector<std::uint8_t>& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n =
        write(STDOUT_FILENO, data.data() + done, data.size() - done);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  long long rate = 44100;
  double tone = 0;
  double seconds = 3;
  double silence = 0;
  long long records = -1;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    const char* value = argv[i + 1];
    if (option == "--rate")
      rate = std::atoll(value);
    else if (option == "--tone")
      tone = std::atof(value);
    else if (option == "--seconds")
      seconds = std::atof(value);
    else if (option == "--silence")
      silence = std::atof(value);
    else if (option == "--records")
      records = std::atoll(value);
    else {
      std::fprintf(stderr, "make_stream: unknown option %s\n", option.c_str());
      return 2;
    }
  }

  std::vector<std::uint8_t> out;
  append_le(out, 0x23583579, 8);
  append_le(out, static_cast<std::uint64_t>(rate), 8);
  append_le(out, 0, 8);
  if (!write_all(out)) return 1;
  out.clear();

  constexpr std::size_t records_per_write = 64 * 1024;
  if (records >= 0) {
    // One pattern block, written again and again: fast enough for gigabytes.
    for (std::size_t i = 0; i < records_per_write; ++i)
      append_record(out, static_cast<std::int16_t>(i * 7),
                    static_cast<std::int16_t>(-static_cast<int>(i) * 13),
                    static_cast<std::uint8_t>(i));
    for (long long left = records; left > 0;) {
      const long long count = std::min<long long>(left, records_per_write);
      if (count < static_cast<long long>(records_per_write))
        out.resize(count * 6);
      if (!write_all(out)) return 1;
      left -= count;
    }
    return 0;
  }

  const auto silent = static_cast<long long>(silence * rate);
  const auto total = silent + static_cast<long long>(seconds * rate);
  for (long long frame = 0; frame < total; ++frame) {
    std::int16_t left = 0;
    std::int16_t right = 0;
    if (frame >= silent && tone > 0) {
      const double phase = 2 * std::numbers::pi * tone *
                           static_cast<double>(frame - silent) / rate;
      left = static_cast<std::int16_t>(std::lround(16383 * std::sin(phase)));
      right = static_cast<std::int16_t>(std::lround(16383 * std::cos(phase)));
    }
    append_record(out, left, right, static_cast<std::uint8_t>(frame));
    if (out.size() >= records_per_write * 6) {
      if (!write_all(out)) return 1;
      out.clear();
    }
  }
  return write_all(out) ? 0 : 1;
}
