// SPDX-License-Identifier: GPL-2.0-or-later
// Copyright 2026 pcmtap maintainers
// A private sound server for the tests, PulseAudio or PipeWire with its
// PulseAudio server: its own HOME, runtime and configuration folders, one null
// sink "pcmtap_test" at the stream's rate, started and stopped by process id.
#pragma once

#include <list>
#include <map>
#include <string>

#include "process.h"

class SoundServer {
 public:
  static constexpr const char* sink = "pcmtap_test";

  // Starts `kind` ("pulseaudio" or "pipewire") and waits until its sink
  // answers; running() is false when it did not come up.
  SoundServer(const std::string& kind, int rate);
  ~SoundServer() = default;
  SoundServer(const SoundServer&) = delete;
  SoundServer& operator=(const SoundServer&) = delete;

  bool running() const { return !processes.empty(); }
  // Kills every process of the server at once, as a crash would.
  void kill_now() { processes.clear(); }

  // Adds a second null sink and makes it the server's default, so that only
  // a stream that goes where PULSE_SINK or its options say is recorded.
  // Returns whether the server took it as its default.
  bool move_default_elsewhere() const;

  // The environment that sends a client, and its recordings, to this server.
  std::map<std::string, std::string> client_env() const;
  // Whether this machine has the server's programs.
  static bool installed(const std::string& kind);

  // An ~/.asoundrc whose default device plays into a server of `kind` as on
  // a desktop: on PipeWire its own ALSA plugin where PCMTAP_PIPEWIRE_ALSA
  // names their folder, else alsa-lib's pulse plugin.
  static std::string alsa_config(const std::string& kind);

 private:
  ScratchDir dir;
  std::list<Process> processes;  // killed and reaped when destroyed
};

// A recording of the null sink's monitor with parec, as signed 16-bit stereo.
class SinkRecorder {
 public:
  // Starts recording and waits until the sink delivers to it: an idle sink
  // can take a while to wake for a new low-latency client. When it never
  // does, `failure` says why and the recorder is stopped.
  SinkRecorder(const SoundServer& server, int rate);
  // Waits until `frames` more frames have been recorded, then stops and
  // returns the whole recording.
  std::string stop_after(std::size_t frames);

  std::string failure;

 private:
  Process parec;
};
