// A private PulseAudio server for the tests: its own runtime folder, HOME and
// socket, one null sink at a chosen rate, stopped by its process id.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>

#include "process.h"

class PulseServer {
 public:
  static constexpr const char* sink = "pcmtap_test";

  // Starts the server and waits until it answers on its socket.
  explicit PulseServer(int rate);
  ~PulseServer();
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;

  bool running() const { return server.has_value(); }
  // Kills the server at once, as a crash would.
  void kill_now();

  // The environment that sends a client to this server.
  std::map<std::string, std::string> client_env() const;
  static bool installed();

 private:
  ScratchDir dir;
  std::optional<Process> server;
};
