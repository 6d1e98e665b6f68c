#include "pulse_server.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>
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

bool PulseServer::installed() {
  return system("command -v pulseaudio >/dev/null") == 0;
}

PulseServer::PulseServer(int rate) {
  const std::string socket_path = dir.file("native");
  // No autospawn of another server by any client that runs with this HOME.
  std::filesystem::create_directories(dir.file(".config/pulse"));
  write_file(dir.file(".config/pulse/client.conf"), "autospawn = no\n");
  const std::vector<std::string> argv = {
      "pulseaudio",
      "-n",
      "--daemonize=no",
      "--exit-idle-time=-1",
      "--use-pid-file=no",
      "--system=no",
      "--disallow-module-loading=no",
      "--disable-shm=yes",
      "--log-target=stderr",
      "--log-level=error",
      "-L",
      "module-native-protocol-unix auth-anonymous=1 socket=" + socket_path,
      "-L",
      std::string("module-null-sink sink_name=") + sink +
          " rate=" + std::to_string(rate) + " channels=2 format=s16le",
  };
  // The server's own environment: the client's, less the way to a server.
  auto env = client_env();
  env.erase("PULSE_SERVER");
  server.emplace(argv, env);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!accepts_connections(socket_path)) {
    if (server->exited() || std::chrono::steady_clock::now() > deadline) {
      kill_now();
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

PulseServer::~PulseServer() {
  if (server) server->stop();
}

void PulseServer::kill_now() { server.reset(); }

std::map<std::string, std::string> PulseServer::client_env() const {
  return {{"HOME", dir.path()},
          {"XDG_RUNTIME_DIR", dir.path()},
          {"XDG_CONFIG_HOME", dir.file(".config")},
          {"PULSE_SERVER", "unix:" + dir.file("native")},
          {"PULSE_SINK", sink}};
}
