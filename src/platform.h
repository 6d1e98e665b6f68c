// SPDX-License-Identifier: GPL-2.0-or-later
// Copyright 2026 pcmtap maintainers
// What pcmtap needs of the system beyond standard C++, in one place: POSIX
// (Linux, Cygwin) and native Windows (MinGW-w64). The rest of the code calls
// these and never tests the platform itself.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#ifdef _WIN32
#include <io.h>
#else
#include <dlfcn.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <csignal>
#ifdef __CYGWIN__
#include <io.h>
#endif
#endif

namespace platform {

#ifdef _WIN32

// Windows hands a process its standard handles; a missing one reads as
// ended and swallows writes, so there is nothing to reopen.
inline void guard_standard_streams() {}

// Text mode would turn the samples' CR LF pairs into LF and stop at 0x1A.
inline void set_binary_input() { _setmode(STDIN_FILENO, _O_BINARY); }

// Reads of a pipe or file block; no descriptor here is non-blocking.
inline void wait_for_input(int /*fd*/) {}

// Sockets are not descriptors on Windows: every input is a byte stream.
inline bool is_byte_stream(int /*fd*/) { return true; }

inline void set_environment(const char* name, const char* value) {
  _putenv_s(name, value);
}

// There is no ALSA on Windows.
inline bool alsa_config_loads() { return true; }

#else

// Gives each closed standard descriptor /dev/null, so that no file the run or
// libao's drivers open takes its number and receives what is meant for it;
// open(2) returns the lowest free descriptor: the closed one at hand. A
// reader of standard error that has gone costs a message, not the stream.
inline void guard_standard_streams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) open("/dev/null", O_RDWR);
  std::signal(SIGPIPE, SIG_IGN);
}

// Cygwin's text mode would turn the samples' CR LF pairs into LF.
inline void set_binary_input() {
#ifdef __CYGWIN__
  setmode(STDIN_FILENO, O_BINARY);
#endif
}

// Waits until `fd` can be read (or has ended or failed, which the next read
// then tells).
inline void wait_for_input(int fd) {
  pollfd entry{.fd = fd, .events = POLLIN, .revents = 0};
  while (poll(&entry, 1, -1) < 0 && errno == EINTR) {
  }
}

// A datagram or sequenced-packet socket cuts the stream at its message
// boundaries and never ends: it cannot be read as a byte stream.
inline bool is_byte_stream(int fd) {
  struct stat status = {};
  if (fstat(fd, &status) != 0 || !S_ISSOCK(status.st_mode)) return true;
  int type = 0;
  socklen_t length = sizeof type;
  return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0 &&
         type == SOCK_STREAM;
}

inline void set_environment(const char* name, const char* value) {
  setenv(name, value, 1);
}

// Whether alsa-lib can load its configuration, as ALSA programs load it
// before they open a device; where there is no alsa-lib, nothing fails. The
// configuration is freed again: libao's alsa driver loads it itself, and a
// copy left here would outlive the library once libao unloads it.
inline bool alsa_config_loads() {
  void* alsa = dlopen("libasound.so.2", RTLD_NOW);
  if (alsa == nullptr) return true;
  using Call = int (*)();
  const auto update = reinterpret_cast<Call>(dlsym(alsa, "snd_config_update"));
  const auto free_global =
      reinterpret_cast<Call>(dlsym(alsa, "snd_config_update_free_global"));
  const bool loaded = update == nullptr || update() >= 0;
  if (free_global != nullptr) free_global();
  dlclose(alsa);
  return loaded;
}

#endif

}  // namespace platform
