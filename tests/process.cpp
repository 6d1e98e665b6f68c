// SPDX-License-Identifier: GPL-2.0-or-later
// Copyright 2026 pcmtap maintainers
#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

std::string make_temporary_dir(const std::string& pattern) {
  std::string path = pattern + "XXXXXX";
  if (mkdtemp(path.data()) == nullptr)
    throw std::runtime_error("mkdtemp failed");
  return path;
}

// The folder that holds every scratch folder of this test process. A reaper
// in a session of its own, out of reach of a test runner's timeout, which
// kills the test's process tree or group, removes it once this process has
// gone, however it ended: it waits for the end of a pipe whose only writer is
// this process.
const std::string& scratch_root() {
  static const std::string root = [] {
    const std::string path = make_temporary_dir(
        (std::filesystem::temp_directory_path() / "pcmtap-test-").string());
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 3);
    const char* script = "(cat <&3 >/dev/null; rm -rf -- \"$1\") &";
    const char* argv[] = {"sh", "-c", script, "sh", path.c_str(), nullptr};
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t starter = -1;
    if (posix_spawnp(&starter, "sh", &actions, &attributes,
                     const_cast<char* const*>(argv), environ) != 0)
      throw std::runtime_error("posix_spawn");
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    waitpid(starter, nullptr, 0);  // it leaves the reaper running alone
    close(fds[0]);                 // fds[1] stays open until the process ends
    return path;
  }();
  return root;
}

}  // namespace

ScratchDir::ScratchDir() : dir(make_temporary_dir(scratch_root() + "/")) {}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool wait_for(const std::function<bool()>& condition) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::minutes(2);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::string read_exactly(int fd, std::size_t size, const Process& writer) {
  std::string data(size, '\0');
  std::size_t got = 0;
  while (got < size) {
    std::array<pollfd, 2> entries{
        {{fd, POLLIN, 0}, {writer.pidfd(), POLLIN, 0}}};
    if (poll(entries.data(), entries.size(), 2 * 60 * 1000) <= 0) break;
    if ((entries[0].revents & POLLIN) == 0) break;  // the writer has ended
    const ssize_t n = read(fd, data.data() + got, size - got);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  data.resize(got);
  return data;
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

Process::Process(const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& env, int stdin_fd,
                 bool stderr_closed, int stdout_fd) {
  int pipe_fds[2] = {-1, -1};
  if (stdin_fd == -1) {
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    stdin_pipe = pipe_fds[1];
  }
  const std::string out_path = output.file("stdout");
  const std::string err_path = output.file("stderr");
  child = fork();
  if (child < 0) throw std::runtime_error("fork");
  if (child == 0) {
    const int in = stdin_fd == -1 ? pipe_fds[0] : stdin_fd;
    const int out = stdout_fd >= 0 ? stdout_fd
                                   : open(out_path.c_str(),
                                          O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
    if (stderr_closed) close(2);
    if (in == closed_stdin ? close(0) != 0 : dup2(in, 0) < 0) _exit(126);
    syscall(SYS_close_range, 3, ~0U, 0);  // the child inherits nothing else
    signal(SIGPIPE, SIG_DFL);
    // No child may outlive a test process that dies, nor fill the disk.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const rlimit file_size{max_file_size, max_file_size};
    setrlimit(RLIMIT_FSIZE, &file_size);
    for (const auto& [name, value] : env)
      setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> args;
    for (const std::string& arg : argv)
      args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  if (stdin_fd == -1) close(pipe_fds[0]);
  process_fd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
}

Process::~Process() {
  close_stdin();
  if (child > 0) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  }
  if (process_fd >= 0) close(process_fd);
}

bool Process::write(const std::string& data) {
  // The child may have gone: a write to its pipe must fail, not kill the test.
  signal(SIGPIPE, SIG_IGN);
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n =
        ::write(stdin_pipe, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void Process::close_stdin() {
  if (stdin_pipe >= 0) close(stdin_pipe);
  stdin_pipe = -1;
}

ProcessResult Process::wait() {
  close_stdin();
  ProcessResult result;
  int raw = 0;
  // Two minutes only a hung child takes.
  pollfd entry{process_fd, POLLIN, 0};
  if (poll(&entry, 1, 2 * 60 * 1000) <= 0) kill(child, SIGKILL);
  waitpid(child, &raw, 0);
  child = -1;
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  result.out = read_file(output.file("stdout"));
  result.err = read_file(output.file("stderr"));
  return result;
}

bool Process::exited() const {
  if (child <= 0) return true;
  pollfd entry{process_fd, POLLIN, 0};
  return poll(&entry, 1, 0) > 0;
}

std::size_t Process::output_size() const {
  std::error_code error;
  const auto size = std::filesystem::file_size(output.file("stdout"), error);
  return error ? 0 : size;
}

ProcessResult Process::stop() {
  if (child > 0) kill(child, SIGTERM);
  return wait();
}

ProcessResult run_process(const std::vector<std::string>& argv,
                          const std::map<std::string, std::string>& env,
                          const std::string& input) {
  ScratchDir scratch;
  write_file(scratch.file("stdin"), input);
  const int fd = open(scratch.file("stdin").c_str(), O_RDONLY | O_CLOEXEC);
  Process process(argv, env, fd);
  close(fd);
  return process.wait();
}
