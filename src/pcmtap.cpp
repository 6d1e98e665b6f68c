// pcmtap: plays the raw stdin data stream on standard input through libao.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#if defined(__CYGWIN__) || defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

#include "audio_sink.h"
#include "raw_stream.h"

namespace {

void print_usage(std::FILE* out) {
  std::fputs(
      "usage: pcmtap AUDIO_ID < STREAM\n"
      "       pcmtap --help | --version\n"
      "\n"
      "Plays the raw stdin data stream on standard input through the libao\n"
      "live driver AUDIO_ID. -1 is libao's default driver.\n"
      "\n"
      "Live drivers on this machine:\n",
      out);
  for (const LiveDriver& driver : live_drivers()) {
    std::fprintf(out, "  %3d  %-8s %s%s\n", driver.id,
                 driver.short_name.c_str(), driver.name.c_str(),
                 driver.is_default ? "  (default)" : "");
  }
}

// Text mode would turn the samples' CR LF pairs into LF.
void set_binary_input() {
#if defined(__CYGWIN__) || defined(_WIN32)
  setmode(STDIN_FILENO, O_BINARY);
#endif
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
  if (argc < 2) {
    print_usage(stderr);
    return 1;
  }
  const std::string audio_id = argv[1];
  if (audio_id == "-h" || audio_id == "--help") {
    print_usage(stdout);
    return 0;
  }
  if (audio_id == "--version") {
    std::printf("pcmtap %s\n", PCMTAP_VERSION);
    return 0;
  }

  std::fprintf(stderr, "Opening audio id: %s\n", audio_id.c_str());

  set_binary_input();
  RawStreamReader reader(STDIN_FILENO);
  const HeaderCheck header = reader.read_header();
  if (header.status != HeaderCheck::Status::valid) {
    std::fputs(header.message.c_str(), stderr);
    return 1;
  }

  AudioSink sink(header.rate, audio_id);
  if (!sink.is_open()) {
    std::fputs("Error opening device.\n", stderr);
    return 1;
  }
  return stream(reader, sink);
}

}  // namespace

int main(int argc, char** argv) { return run(argc, argv); }
