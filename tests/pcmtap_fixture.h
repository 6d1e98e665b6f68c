// SPDX-License-Identifier: GPL-2.0-or-later
// Copyright 2026 pcmtap maintainers
// Runs the built pcmtap with a private HOME whose libao configuration makes
// the null driver the default, and with the recording library preloaded.
#pragma once

#include <ao/ao.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "process.h"

// A driver's id as libao numbers it on this machine.
inline int driver_id(const char* short_name) {
  ao_initialize();
  const int id = ao_driver_id(short_name);
  ao_shutdown();
  return id;
}

class PcmtapTest : public ::testing::Test {
 protected:
  using Env = std::map<std::string, std::string>;

  PcmtapTest() { write_file(scratch.file(".libao"), "default_driver=null\n"); }

  Env env(const Env& extra = {}) const {
    Env variables = {
        {"HOME", scratch.path()},
        {"AO_RECORDER_LOG", scratch.file("calls")},
        {"AO_RECORDER_PCM", scratch.file("played")},
        // A sanitized binary must accept a library preloaded before it.
        {"ASAN_OPTIONS", "verify_asan_link_order=0"},
        // Keep the pulse driver, tried by some ids, off any real server.
        {"PULSE_SERVER", "unix:" + scratch.file("no-server")},
    };
    for (const auto& [name, value] : extra) variables[name] = value;
    return variables;
  }

  ProcessResult run(const std::vector<std::string>& args,
                    const std::string& input, const Env& extra = {}) const {
    return run_process(command(args), env(extra), input);
  }

  // Runs `script` with sh, in which "$0" is the built pcmtap.
  ProcessResult run_shell(const std::string& script, const std::string& input,
                          const Env& extra = {}) const {
    return run_process({"sh", "-c", "ulimit -t 2; " + script, binary()},
                       env(extra), input);
  }

  // The built pcmtap with the recording library preloaded into it alone.
  static std::string binary() { return PCMTAP_WITH_RECORDER; }

  // A pcmtap that spins is ended by two seconds of processor time, far more
  // than any run here takes: a fault fails the test at once, not by a
  // timeout.
  // PCMTAP_UNDER_TEST, when set, is the command that runs another pcmtap
  // instead, its words split at spaces: "wine build-windows/.../pcmtap.exe".
  static std::vector<std::string> command(
      const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"prlimit", "--cpu=2", binary()};
    if (const char* other = std::getenv("PCMTAP_UNDER_TEST")) {
      argv.clear();
      std::istringstream words(other);
      for (std::string word; words >> word;) argv.push_back(word);
    }
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  }

  // The libao calls the recorder logged, one line each.
  std::vector<std::string> calls() const {
    std::vector<std::string> lines;
    std::istringstream log(read_file(scratch.file("calls")));
    for (std::string line; std::getline(log, line);) lines.push_back(line);
    return lines;
  }

  // The calls that start with `prefix`.
  std::vector<std::string> calls(const std::string& prefix) const {
    std::vector<std::string> matching;
    for (const std::string& line : calls())
      if (line.rfind(prefix, 0) == 0) matching.push_back(line);
    return matching;
  }

  std::string played() const { return read_file(scratch.file("played")); }

  // Forgets the calls and bytes of earlier runs.
  void reset_recording() const {
    std::remove(scratch.file("calls").c_str());
    std::remove(scratch.file("played").c_str());
  }

  // Makes the recorder's file of played bytes a FIFO, so that a test can
  // wait for each block as it is played. Opened for reading and writing, it
  // never reads as ended while pcmtap opens and closes its side.
  int played_fifo() const {
    mkfifo(scratch.file("played").c_str(), 0600);
    return open(scratch.file("played").c_str(), O_RDWR | O_CLOEXEC);
  }

  ScratchDir scratch;
};
