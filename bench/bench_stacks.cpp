// SPDX-License-Identifier: GPL-2.0-or-later
// Benchmark of the sound stacks, run by scripts/bench-stacks. For each stack
// (PulseAudio, PipeWire's PulseAudio server, ALSA into PulseAudio), idle and
// with both cores busy, a live producer feeds pcmtap, and pacat as the
// yardstick, the same frames in real time, 1024 frames at a time, while parec
// records the sink with 1 ms latency. Prints one table: bit-exactness, the
// underruns' gaps, wall time against audio time, and end-to-end latency (the
// last frame of a block every half second: its arrival in the recording
// minus the return of the write that carried it).
// Usage: bench_stacks [SECONDS [STACK]]   (STACK: only the stack of that name)
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture.h"
#include "process.h"
#include "sound_server.h"
#include "stream_data.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int rate = 48000;
constexpr std::size_t frame = 4;

// Records the sink's monitor through a pipe and notes when each piece of the
// recording arrived.
class TimedRecorder {
 public:
  explicit TimedRecorder(const SoundServer& server) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) std::abort();
    parec = std::make_unique<Process>(
        std::vector<std::string>{
            "parec", "--raw", "--latency-msec=1",
            "--device=" + std::string(SoundServer::sink) + ".monitor",
            "--rate=" + std::to_string(rate), "--format=s16le", "--channels=2"},
        server.client_env(), Process::closed_stdin, false, fds[1]);
    close(fds[1]);
    reader = std::thread([this, fd = fds[0]] {
      std::vector<char> piece(1 << 16);
      for (ssize_t n; (n = read(fd, piece.data(), piece.size())) > 0;) {
        const std::scoped_lock lock(mutex);
        data.append(piece.data(), static_cast<std::size_t>(n));
        arrivals.emplace_back(data.size(), Clock::now());
      }
      close(fd);
    });
    wait_for([&] { return size() > 0; });
  }

  // Stops once `frames` more frames have arrived.
  void stop_after(std::size_t frames) {
    const std::size_t until = size() + frames * frame;
    wait_for([&] { return size() >= until; });
    parec->stop();
    reader.join();
  }

  std::size_t size() {
    const std::scoped_lock lock(mutex);
    return data.size();
  }

  // When the recording first held `bytes` bytes.
  Clock::time_point arrival(std::size_t bytes) const {
    return std::lower_bound(
               arrivals.begin(), arrivals.end(), bytes,
               [](const auto& entry, std::size_t b) { return entry.first < b; })
        ->second;
  }

  std::string data;

 private:
  std::unique_ptr<Process> parec;
  std::thread reader;
  std::mutex mutex;
  std::vector<std::pair<std::size_t, Clock::time_point>> arrivals;
};

struct Player {
  std::string name;
  std::vector<std::string> argv;
  bool takes_records;  // pcmtap's stream, or plain frames for pacat
  std::string home;    // a HOME with a .libao of its own, if not empty
};

struct Row {
  std::string stack, load, player;
  CaptureVerdict verdict;
  double wall = 0, audio = 0, latency_median = 0, latency_max = 0;
};

Row measure(const std::string& stack, const SoundServer& server,
            std::map<std::string, std::string> env, const Player& player,
            double seconds) {
  if (!player.home.empty()) env["HOME"] = player.home;
  // The producer writes whole blocks of pcmtap's, 1024 frames (21 ms),
  // starting with 107 ms of silence: a null sink's monitor misses the first
  // milliseconds of a new stream, whatever the player.
  const std::size_t piece_frames = 1024;
  const std::size_t lead = 5 * piece_frames;
  const std::size_t frames_total =
      lead + static_cast<std::size_t>(seconds * rate);
  const std::string records =
      std::string(lead * 6, '\0') + stream_records(frames_total - lead, 7);
  const std::string frames = reference_frames(records);
  const std::size_t unit = player.takes_records ? 6 : frame;

  TimedRecorder recorder(server);
  const auto start = Clock::now();
  Process process(player.argv, env);
  if (player.takes_records && !process.write(stream_header(rate))) std::abort();
  std::vector<Clock::time_point> written;
  const std::string& input = player.takes_records ? records : frames;
  for (std::size_t piece = 0; piece * piece_frames < frames_total; ++piece) {
    std::this_thread::sleep_until(
        start +
        std::chrono::microseconds(piece * piece_frames * 1000000 / rate));
    const std::size_t first = piece * piece_frames;
    const std::size_t count = std::min(piece_frames, frames_total - first);
    if (!process.write(input.substr(first * unit, count * unit))) break;
    written.push_back(Clock::now());
  }
  process.wait();
  Row row{stack, "", player.name, {}, 0, seconds, 0, 0};
  row.wall = std::chrono::duration<double>(Clock::now() - start).count();
  recorder.stop_after(rate / 4);
  row.verdict = compare_capture(frames.substr(lead * frame), recorder.data);

  // The last frame of every 24th piece (about 0.5 s), found by the 16 frames
  // it ends.
  std::vector<double> latencies;
  for (std::size_t piece = lead / piece_frames + 23; piece < written.size();
       piece += 24) {
    const std::size_t end = (piece + 1) * piece_frames * frame;
    const std::size_t found =
        recorder.data.find(frames.substr(end - 16 * frame, 16 * frame));
    if (found == std::string::npos) continue;
    latencies.push_back(
        std::chrono::duration<double, std::milli>(
            recorder.arrival(found + 16 * frame) - written[piece])
            .count());
  }
  std::sort(latencies.begin(), latencies.end());
  if (!latencies.empty()) {
    row.latency_median = latencies[latencies.size() / 2];
    row.latency_max = latencies.back();
  }
  return row;
}

void print(const Row& row) {
  const char* exact = row.verdict.kind == CaptureVerdict::Kind::exact ? "yes"
                      : row.verdict.kind == CaptureVerdict::Kind::disturbed
                          ? "gaps"
                          : "NO";
  std::printf("%-18s %-5s %-14s %-9s %5zu %8.1f %6zu %7.2f %7.2f %8.1f %8.1f\n",
              row.stack.c_str(), row.load.c_str(), row.player.c_str(), exact,
              row.verdict.gaps, 1000.0 * row.verdict.silent_frames / rate,
              row.verdict.lost_frames, row.wall, row.audio, row.latency_median,
              row.latency_max);
  if (row.verdict.kind == CaptureVerdict::Kind::mismatch)
    std::printf("  %s\n", row.verdict.detail.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 20;
  const std::string only = argc > 2 ? argv[2] : "";
  const std::string pulse_id = "pulse";
  // ALSA's default device, which Debian's alsa-lib plugins route to a
  // running PulseAudio.
  ScratchDir alsa_home;
  write_file(alsa_home.file(".libao"), "default_driver=alsa\ndev=default\n");
  // The largest buffer_time that libao's pulse driver computes correctly
  // at 48 kHz: floor(2^31 / (rate * 1000)) ms.
  ScratchDir buffered_home;
  write_file(buffered_home.file(".libao"), "buffer_time=44\n");

  std::printf("%-18s %-5s %-14s %-9s %5s %8s %6s %7s %7s %8s %8s\n", "stack",
              "load", "player", "bit-exact", "gaps", "gap ms", "lost", "wall s",
              "audio s", "lat med", "lat max");
  struct Stack {
    std::string name, server;
    bool through_alsa;
  };
  for (const Stack& stack : {Stack{"pulseaudio", "pulseaudio", false},
                             Stack{"pipewire", "pipewire", false},
                             Stack{"alsa > pulseaudio", "pulseaudio", true}}) {
    if (!only.empty() && stack.name != only) continue;
    if (!SoundServer::installed(stack.server)) {
      std::printf("%-18s not installed\n", stack.name.c_str());
      continue;
    }
    for (const std::string load : {"idle", "busy"}) {
      SoundServer server(stack.server, rate);
      if (!server.running()) {
        std::printf("%-18s did not start\n", stack.name.c_str());
        break;
      }
      std::vector<std::unique_ptr<Process>> hogs;
      if (load == "busy")
        for (int i = 0; i < 2; ++i)
          hogs.push_back(std::make_unique<Process>(
              std::vector<std::string>{"sh", "-c", "while :; do :; done"},
              std::map<std::string, std::string>{}));
      const std::string id = stack.through_alsa ? "-1" : pulse_id;
      const std::string home = stack.through_alsa ? alsa_home.path() : "";
      std::vector<Player> players = {
          {"pcmtap", {PCMTAP_BINARY, id}, true, home},
          {"pacat",
           {"pacat", "--raw", "--latency-msec=20",
            "--rate=" + std::to_string(rate), "--format=s16le", "--channels=2"},
           false,
           ""},
      };
      // What may help under load.
      if (load == "busy" && !stack.through_alsa) {
        players.push_back({"pcmtap nice-10",
                           {"nice", "-n", "-10", PCMTAP_BINARY, id},
                           true,
                           ""});
        players.push_back({"pcmtap chrt-f10",
                           {"chrt", "-f", "10", PCMTAP_BINARY, id},
                           true,
                           ""});
        players.push_back(
            {"pcmtap bt=44", {PCMTAP_BINARY, id}, true, buffered_home.path()});
      }
      for (const Player& player : players) {
        Row row =
            measure(stack.name, server, server.client_env(), player, seconds);
        row.load = load;
        print(row);
      }
    }
  }
}
