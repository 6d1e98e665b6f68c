// SPDX-License-Identifier: GPL-2.0-or-later
// Copyright 2026 pcmtap maintainers
// Runs the built pcmtap binary as a child process for the tests.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

struct ProcessResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// A scratch folder, removed with everything in it when the object goes, or
// when the test process ends, whatever ends it.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return dir; }
  std::string file(const std::string& name) const { return dir + "/" + name; }

 private:
  std::string dir;
};

// Waits until `condition` holds, looking again every few milliseconds. Gives
// up after two minutes, which only a hung process takes; returns whether it
// held.
bool wait_for(const std::function<bool()>& condition);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);

class Process;
// Reads `size` bytes from `fd`, which `writer` writes; returns fewer as soon
// as the writer has ended without writing them.
std::string read_exactly(int fd, std::size_t size, const Process& writer);

// A child process whose standard output goes to a file, or to `stdout_fd`,
// whose standard error goes to a file (or is closed, with `stderr_closed`),
// and whose standard input is `stdin_fd`, or a pipe the test writes into when
// it is -1, or closed when it is `closed_stdin`.
class Process {
 public:
  static constexpr int closed_stdin = -2;

  Process(const std::vector<std::string>& argv,
          const std::map<std::string, std::string>& env, int stdin_fd = -1,
          bool stderr_closed = false, int stdout_fd = -1);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Writes to the child's standard input pipe; false once the child has gone.
  bool write(const std::string& data);
  void close_stdin();
  // Closes stdin and waits for the child to end; kills one that hangs.
  ProcessResult wait();
  // Asks the child to end (SIGTERM) and waits for it.
  ProcessResult stop();
  pid_t pid() const { return child; }
  int pidfd() const { return process_fd; }
  bool exited() const;
  // Bytes the child has written to its standard output so far.
  std::size_t output_size() const;

 private:
  // What a child may write into one file: a run that never stops must fail,
  // not fill the disk.
  static constexpr rlim_t max_file_size = rlim_t{256} << 20;

  ScratchDir output;
  pid_t child = -1;
  int process_fd = -1;  // readable once the child has ended
  int stdin_pipe = -1;
};

// Runs to the end with `input` as standard input (from a file).
ProcessResult run_process(const std::vector<std::string>& argv,
                          const std::map<std::string, std::string>& env,
                          const std::string& input);
