// SPDX-License-Identifier: GPL-2.0-or-later
// Copyright 2026 pcmtap maintainers
// pcmtap: plays the raw stdin data stream on standard input through libao.
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "audio_sink.h"
#include "platform.h"
#include "raw_stream.h"

namespace {

std::string usage() {
  std::string text =
      "usage: pcmtap AUDIO_ID < STREAM\n"
      "       pcmtap -h | --help | --version\n"
      "\n"
      "Plays the raw stdin data stream on standard input through the libao\n"
      "live driver AUDIO_ID: a driver's name from the list below, or its\n"
      "number. Names are the same on every machine; numbers change with the\n"
      "drivers that load. -1 is libao's default driver.\n"
      "\n"
      "Live drivers on this machine (number, name, description):\n";
  for (const LiveDriver& driver : live_drivers()) {
    std::array<char, 160> line{};
    std::snprintf(line.data(), line.size(), "  %3d  %-8s %s%s\n", driver.id,
                  driver.short_name.c_str(), driver.name.c_str(),
                  driver.is_default ? "  (default)" : "");
    text += line.data();
  }
  return text;
}

// Writes `text` to standard output and closes it. A failed write is an error,
// as in any command whose output is its result; the reason is taken from the
// call that failed, before anything else can change errno.
int write_standard_output(const std::string& text) {
  int error = 0;
  if (std::fputs(text.c_str(), stdout) == EOF) error = errno;
  if (std::fclose(stdout) != 0 && error == 0) error = errno;
  if (error == 0) return 0;
  std::fprintf(stderr, "pcmtap: write error: %s\n", std::strerror(error));
  return 1;
}

// The message of a header that did not pass; empty for a valid one.
std::string header_error(const Header& header) {
  switch (header.status) {
    case HeaderStatus::valid:
      return {};
    case HeaderStatus::magic_unread:
      return "pcmtap: cannot read stdin data\n";
    case HeaderStatus::bad_magic:
      return "pcmtap: raw stdin data file not detected\n";
    case HeaderStatus::rate_unread:
      return "pcmtap: cannot read sample rate\n";
    case HeaderStatus::bad_rate:
      return "pcmtap: bad sample rate specified in input stream: " +
             std::to_string(header.rate) + "\n";
    case HeaderStatus::aux_unread:
      return "pcmtap: cannot read aux control data\n";
  }
  return {};
}

// Moves every record from the reader to the sink until the input ends, then
// releases the sink. Returns the exit status.
int stream(RawStreamReader& reader, AudioSink& sink) {
  bool played = true;
  while (played) {
    const auto frames = reader.read_frames();
    if (frames.empty()) {
      played = sink.release();
      break;
    }
    played = sink.append(frames);
  }
  if (!played) {
    std::fputs("pcmtap: error playing audio\n", stderr);
    return 1;
  }
  if (reader.read_error() != 0) {
    std::fprintf(stderr, "pcmtap: error reading stdin data: %s\n",
                 std::strerror(reader.read_error()));
    return 1;
  }
  return 0;
}

int run(int argc, char** argv) {
  platform::guard_standard_streams();

  if (argc < 2) {
    std::fputs(usage().c_str(), stderr);
    return 1;
  }
  const std::string audio_id = argv[1];
  if (audio_id == "-h" || audio_id == "--help")
    return write_standard_output(usage());
  if (audio_id == "--version")
    return write_standard_output(std::string("pcmtap ") + PCMTAP_VERSION +
                                 "\n");

  std::fprintf(stderr, "Opening audio id: %s\n", audio_id.c_str());

  platform::set_binary_input();
  RawStreamReader reader(STDIN_FILENO);
  const Header header = reader.read_header();
  if (header.status != HeaderStatus::valid) {
    std::fputs(header_error(header).c_str(), stderr);
    return 1;
  }

  AudioSink sink(static_cast<std::int32_t>(header.rate), audio_id);
  if (!sink.is_open()) {
    std::fputs("Error opening device.\n", stderr);
    return 1;
  }
  return stream(reader, sink);
}

}  // namespace

int main(int argc, char** argv) { return run(argc, argv); }
