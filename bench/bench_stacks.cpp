// SPDX-License-Identifier: GPL-2.0-or-later
// Copyright 2026 pcmtap maintainers
// Benchmark of live playback, run by scripts/bench-stacks. On a private
// PulseAudio server and on PipeWire with its PulseAudio server, at each rate
// the stream allows, a producer writes frames in real time, 256 at a time
// with no lead, once its player's stream exists on the server; parec records
// the sink's monitor with 1 ms latency. Each path beside its anchor, with the
// same buffer: pcmtap on libao's pulse driver beside pacat (and on PipeWire
// pw-cat), pcmtap -1 on libao's alsa driver beside aplay on ALSA's default
// device, which plays into the server as on a desktop (PipeWire's ALSA
// plugins from PCMTAP_PIPEWIRE_ALSA, alsa-lib's pulse plugin). Prints one row
// per run: bit-exactness, the underruns' gaps, the silence they inserted and
// the frames they skipped, the frames at the end that never played, when the
// first frame was heard, end-to-end latency (a frame every half second: its
// arrival in the recording minus the return of the write that carried it),
// the time from the end of input to the player's exit, and the load average.
// Usage: bench_stacks [SECONDS [RUNS [SERVER [RATE]]]]
// BUFFERS lists the buffers in ms, separated by commas (default
// "1,80,2000,300000"); PLAYERS the players to run, by name ("pcmtap -1,aplay").
// PCMTAP names another pcmtap binary to measure; PCMTAP_EXE, a pcmtap.exe to
// measure beside it under wine (WINEPREFIX and the like from the
// environment).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "audio_sink.h"
#include "capture.h"
#include "process.h"
#include "sound_server.h"
#include "stream_data.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t frame = 4;
constexpr std::size_t piece_frames = 256;

double milliseconds_since(Clock::time_point start, Clock::time_point end) {
  return std::chrono::duration<double, std::milli>(end - start).count();
}

// Records the sink's monitor through a pipe and notes when each piece of the
// recording arrived.
class TimedRecorder {
 public:
  TimedRecorder(const SoundServer& server, int rate) {
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

enum class Input { records, frames };

struct Player {
  std::string name;
  std::vector<std::string> argv;
  Input input;
  std::map<std::string, std::string> env = {};  // beside the server's
};

struct Row {
  CaptureVerdict verdict{CaptureVerdict::Kind::mismatch, "nothing arrived"};
  std::size_t unheard = 0;   // frames at the start the recording missed
  std::size_t end_lost = 0;  // frames at the end the recording never held
  double first = 0;          // ms from the first write to its first frame
  double latency_median = 0, latency_max = 0, exit = 0, load = 0;
};

bool stream_exists(const SoundServer& server) {
  return !run_process({"pactl", "list", "short", "sink-inputs"},
                      server.client_env(), "")
              .out.empty();
}

double load_average() {
  double load = 0;
  std::ifstream("/proc/loadavg") >> load;
  return load;
}

Row measure(const SoundServer& server, int rate, const Player& player,
            double seconds) {
  const auto frames_total = static_cast<std::size_t>(seconds * rate);
  const std::string records = stream_records(frames_total, 7);
  const std::string frames = reference_frames(records);
  const std::size_t unit = player.input == Input::records ? 6 : frame;
  const std::string& input = player.input == Input::records ? records : frames;

  TimedRecorder recorder(server, rate);
  auto env = server.client_env();
  for (const auto& [name, value] : player.env) env[name] = value;
  Process process(player.argv, env);
  if (player.input == Input::records) process.write(stream_header(rate));
  wait_for([&] { return process.exited() || stream_exists(server); });

  const auto start = Clock::now();
  std::vector<Clock::time_point> written;
  for (std::size_t first = 0; first < frames_total; first += piece_frames) {
    std::this_thread::sleep_until(
        start + std::chrono::microseconds(first * 1000000 /
                                          static_cast<std::size_t>(rate)));
    const std::size_t count = std::min(piece_frames, frames_total - first);
    if (!process.write(input.substr(first * unit, count * unit))) break;
    written.push_back(Clock::now());
  }
  const auto input_end = Clock::now();
  process.wait();
  Row row;
  row.exit = milliseconds_since(input_end, Clock::now()) / 1000;
  row.load = load_average();
  recorder.stop_after(static_cast<std::size_t>(rate) / 4);
  // A null sink's monitor misses the first milliseconds of a new stream,
  // whatever the player: the comparison starts at the first piece recorded.
  // The first frame is heard as many frames before the first one recorded.
  for (std::size_t first = 0; first < frames_total; first += piece_frames) {
    const std::size_t found =
        recorder.data.find(frames.substr(first * frame, 16 * frame));
    if (found == std::string::npos) continue;
    row.unheard = first;
    row.first =
        milliseconds_since(start, recorder.arrival(found + 16 * frame)) -
        1000.0 * static_cast<double>(first + 16) / rate;
    row.verdict = compare_capture(frames.substr(first * frame), recorder.data);
    break;
  }

  // The frames at the end that never played: back from the end until 16
  // frames are found, then forward frame by frame.
  const auto heard = [&](std::size_t end) {
    return end >= 16 &&
           recorder.data.find(frames.substr((end - 16) * frame, 16 * frame)) !=
               std::string::npos;
  };
  std::size_t last = frames_total;
  while (last > frames_total / 2 && !heard(last))
    last -= std::min(last, std::size_t{64});
  while (last < frames_total && heard(last + 1)) ++last;
  row.end_lost = frames_total - last;

  // The last frame of a piece every half second, found by the 16 frames it
  // ends.
  std::vector<double> latencies;
  const std::size_t every = static_cast<std::size_t>(rate) / 2 / piece_frames;
  for (std::size_t piece = every; piece < written.size(); piece += every) {
    const std::size_t end =
        std::min((piece + 1) * piece_frames * frame, frames.size());
    const std::size_t found =
        recorder.data.find(frames.substr(end - 16 * frame, 16 * frame));
    if (found == std::string::npos) continue;
    latencies.push_back(milliseconds_since(
        written[piece], recorder.arrival(found + 16 * frame)));
  }
  std::sort(latencies.begin(), latencies.end());
  if (!latencies.empty()) {
    row.latency_median = latencies[latencies.size() / 2];
    row.latency_max = latencies.back();
  }
  return row;
}

void print(const std::string& server, int rate, int run, int buffer,
           const std::string& player, const Row& row) {
  const auto kind = row.verdict.kind;
  // "cut": the start or the end never arrived (pw-cat 0.3 ends without
  // playing its last milliseconds).
  const char* result = kind == CaptureVerdict::Kind::exact        ? "exact"
                       : kind == CaptureVerdict::Kind::disturbed  ? "gaps"
                       : kind == CaptureVerdict::Kind::incomplete ? "cut"
                                                                  : "WRONG";
  std::printf(
      "%-10s %6d %3d %6d  %-12s %-6s %4zu %7.1f %6zu %6zu %7.1f %7.1f %7.1f "
      "%6.3f %5.2f %6.1f\n",
      server.c_str(), rate, run, buffer, player.c_str(), result,
      row.verdict.gaps, 1000.0 * row.verdict.silent_frames / rate,
      row.verdict.lost_frames, row.end_lost, row.first, row.latency_median,
      row.latency_max, row.exit, row.load, 1000.0 * row.unheard / rate);
  if (kind != CaptureVerdict::Kind::exact)
    std::printf("  %.200s\n", row.verdict.detail.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 10;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
  const std::string only_server = argc > 3 ? argv[3] : "";
  const int only_rate = argc > 4 ? std::atoi(argv[4]) : 0;

  const char* only_players = std::getenv("PLAYERS");
  const auto wanted = [&](const std::string& player) {
    return only_players == nullptr ||
           ("," + std::string(only_players) + ",").find("," + player + ",") !=
               std::string::npos;
  };
  std::vector<int> buffers;
  {
    const char* chosen = std::getenv("BUFFERS");
    std::istringstream list(chosen != nullptr ? chosen : "1,80,2000,300000");
    for (std::string item; std::getline(list, item, ',');)
      buffers.push_back(std::atoi(item.c_str()));
  }
  std::printf(
      "%-10s %6s %3s %6s  %-12s %-6s %4s %7s %6s %6s %7s %7s %7s %6s %5s "
      "%6s\n",
      "server", "rate", "run", "buf ms", "player", "result", "gaps", "gap ms",
      "lost", "at end", "first", "lat med", "lat max", "exit", "load",
      "unheard ms");
  for (const std::string server_kind : {"pulseaudio", "pipewire"}) {
    if (!only_server.empty() && server_kind != only_server) continue;
    if (!SoundServer::installed(server_kind)) {
      std::printf("%-10s not installed\n", server_kind.c_str());
      continue;
    }
    for (const int rate : {44100, 48000, 96000, 192000, 193000}) {
      if (only_rate != 0 && rate != only_rate) continue;
      const SoundServer server(server_kind, rate);
      if (!server.running()) {
        std::printf("%-10s did not start\n", server_kind.c_str());
        break;
      }
      // The alsa players' HOME, where ALSA's default device is the server.
      const ScratchDir alsa_home;
      write_file(alsa_home.file(".asoundrc"),
                 SoundServer::alsa_config(server_kind));
      const char* pcmtap_path = std::getenv("PCMTAP");
      const std::string pcmtap =
          pcmtap_path != nullptr ? pcmtap_path : PCMTAP_BINARY;
      // Each buffer asked of each path, pcmtap beside its anchor: pulse
      // beside pacat and pw-cat, -1 (ALSA's default device) beside aplay.
      // At pcmtap's own buffer it is given no setting at all.
      for (const int buffer : buffers) {
        const std::string ms = std::to_string(buffer);
        const bool own = buffer == live_buffer_time;
        write_file(alsa_home.file(".libao"),
                   "default_driver=alsa\n" +
                       (own ? std::string() : "buffer_time=" + ms + "\n"));
        std::map<std::string, std::string> latency;
        if (!own) latency["PULSE_LATENCY_MSEC"] = ms;
        std::vector<Player> players = {
            {"pcmtap pulse", {pcmtap, "pulse"}, Input::records, latency},
            {"pacat",
             {"pacat", "--raw", "--latency-msec=" + ms,
              "--rate=" + std::to_string(rate), "--format=s16le",
              "--channels=2"},
             Input::frames},
            {"pcmtap -1",
             {pcmtap, "-1"},
             Input::records,
             {{"HOME", alsa_home.path()}}},
            {"aplay",
             {"aplay", "-q", "-D", "default",
              "--buffer-time=" + std::to_string(std::int64_t{buffer} * 1000),
              "-t", "raw", "-f", "S16_LE", "-c", "2", "-r",
              std::to_string(rate), "-"},
             Input::frames,
             {{"HOME", alsa_home.path()}}}};
        // pcmtap.exe under wine, whose own PulseAudio client needs a longer
        // buffer, on libao's wmm driver.
        const char* windows = std::getenv("PCMTAP_EXE");
        if (windows != nullptr && own)
          players.push_back({"pcmtap.exe",
                             {"wine", windows, "wmm"},
                             Input::records,
                             {{"PULSE_LATENCY_MSEC", "200"}}});
        if (server_kind == "pipewire")
          players.push_back({"pw-cat",
                             {"pw-cat", "--playback", "--latency=" + ms + "ms",
                              "--rate=" + std::to_string(rate), "--format=s16",
                              "--channels=2", "-"},
                             Input::frames});
        std::erase_if(players, [&](const Player& player) {
          return !wanted(player.name);
        });
        for (int run = 1; run <= runs; ++run)
          for (const Player& player : players)
            print(server_kind, rate, run, buffer, player.name,
                  measure(server, rate, player, seconds));
      }
    }
  }
}
