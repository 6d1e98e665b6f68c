// SPDX-License-Identifier: GPL-2.0-or-later
// Copyright 2026 pcmtap maintainers
#include "sound_server.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <vector>

namespace {

bool accepts_connections(const std::string& socket_path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_path.c_str(),
               sizeof address.sun_path - 1);
  const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&address),
                          sizeof address) == 0;
  close(fd);
  return ok;
}

}  // namespace

bool SoundServer::installed(const std::string& kind) {
  const std::string programs =
      kind == "pipewire" ? "pipewire wireplumber pipewire-pulse" : kind;
  return std::system(
             ("command -v " + programs + " pactl parec >/dev/null").c_str()) ==
         0;
}

SoundServer::SoundServer(const std::string& kind, int rate) {
  if (std::system((std::string(PCMTAP_TESTS_DIR) + "/sound_server_config.sh " +
                   kind + " " + std::to_string(rate) + " " + dir.path())
                      .c_str()) != 0)
    return;
  auto env = client_env();
  env.erase("PULSE_SERVER");
  const auto start = [&](const std::vector<std::string>& command) {
    processes.emplace_back(command, env);
  };
  if (kind == "pipewire") {
    // WirePlumber and the PulseAudio server are clients of PipeWire's
    // socket, and give up when it is not there yet.
    start({"pipewire"});
    wait_for([&] {
      return processes.front().exited() ||
             accepts_connections(dir.file("pipewire-0"));
    });
    start({"wireplumber"});
    start({"pipewire-pulse"});
  } else {
    start({"pulseaudio", "-n", "--daemonize=no", "--use-pid-file=no",
           "--system=no", "--disable-shm=yes", "--log-target=stderr",
           "--log-level=error", "-F", dir.file("pulse/default.pa")});
  }

  const auto ready = [&] {
    for (const Process& process : processes)
      if (process.exited()) return true;  // failed: stop waiting
    if (!accepts_connections(dir.file("native"))) return false;
    return run_process({"pactl", "list", "short", "sinks"}, client_env(), "")
               .out.find(sink) != std::string::npos;
  };
  const bool answered = wait_for(ready);
  for (Process& process : processes) {
    if (process.exited()) {
      std::cerr << kind << " ended at start:\n" << process.wait().err;
      processes.clear();
      return;
    }
  }
  if (!answered) {
    std::cerr << kind << " did not answer within two minutes\n";
    processes.clear();
  }
}

std::string SoundServer::alsa_config(const std::string& kind) {
  // pipewire-alsa conflicts with pulseaudio, which the tests run too:
  // scripts/pipewire-alsa finds or unpacks its plugins and names their
  // folder.
  const char* plugins = std::getenv("PCMTAP_PIPEWIRE_ALSA");
  const std::string type =
      kind == "pipewire" && plugins != nullptr ? "pipewire" : "pulse";
  std::string config;
  for (const std::string device : {"pcm", "ctl"}) {
    if (type == "pipewire")
      config += device + "_type.pipewire { lib \"" + plugins +
                "/libasound_module_" + device + "_pipewire.so\" }\n";
    config += device + ".!default { type " + type + " }\n";
  }
  return config;
}

bool SoundServer::move_default_elsewhere() const {
  const auto pactl = [&](const std::string& args) {
    return run_process({"sh", "-c", "pactl " + args}, client_env(), "");
  };
  return pactl("load-module module-null-sink sink_name=pcmtap_other").status ==
             0 &&
         pactl("set-default-sink pcmtap_other").status == 0 && wait_for([&] {
           return pactl("info").out.find("Default Sink: pcmtap_other\n") !=
                  std::string::npos;
         });
}

std::map<std::string, std::string> SoundServer::client_env() const {
  return {{"HOME", dir.path()},
          {"XDG_RUNTIME_DIR", dir.path()},
          {"XDG_CONFIG_HOME", dir.path()},
          {"PULSE_SERVER", "unix:" + dir.file("native")},
          {"PULSE_SINK", sink},
          // Keep WirePlumber off a desktop session's bus.
          {"DBUS_SESSION_BUS_ADDRESS", "disabled:"}};
}

SinkRecorder::SinkRecorder(const SoundServer& server, int rate)
    : parec(
          {"parec", "--raw", "--latency-msec=10",
           "--device=" + std::string(SoundServer::sink) + ".monitor",
           "--rate=" + std::to_string(rate), "--format=s16le", "--channels=2"},
          server.client_env()) {
  wait_for([&] { return parec.output_size() > 0 || parec.exited(); });
  if (parec.output_size() == 0)
    failure = "parec recorded nothing: " + parec.stop().err;
}

std::string SinkRecorder::stop_after(std::size_t frames) {
  const std::size_t until = parec.output_size() + frames * 4;
  wait_for([&] { return parec.output_size() >= until || parec.exited(); });
  return parec.stop().out;
}
