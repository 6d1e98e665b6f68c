#include "pulse_server.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
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
  const auto env = client_env();
  pid = fork();
  if (pid == 0) {
    // The server must not outlive a test process that dies.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (const auto& [name, value] : env)
      setenv(name.c_str(), value.c_str(), 1);
    unsetenv("PULSE_SERVER");
    std::vector<char*> args;
    for (const std::string& arg : argv)
      args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!accepts_connections(socket_path)) {
    if (waitpid(pid, nullptr, WNOHANG) != 0) {
      pid = -1;  // it exited on its own: nothing to stop
      return;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      kill_now();
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

PulseServer::~PulseServer() {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  for (int i = 0; i < 200; ++i) {
    if (waitpid(pid, nullptr, WNOHANG) != 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill_now();
}

void PulseServer::kill_now() {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  pid = -1;
}

std::map<std::string, std::string> PulseServer::client_env() const {
  return {{"HOME", dir.path()},
          {"XDG_RUNTIME_DIR", dir.path()},
          {"XDG_CONFIG_HOME", dir.file(".config")},
          {"PULSE_SERVER", "unix:" + dir.file("native")},
          {"PULSE_SINK", sink}};
}
