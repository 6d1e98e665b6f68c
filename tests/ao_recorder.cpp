// SPDX-License-Identifier: GPL-2.0-or-later
// Copyright 2026 pcmtap maintainers
// A library preloaded into pcmtap by the tests. It logs every libao call with
// its arguments, one line each, appends the bytes played to a file, and then
// calls the real libao. Environment variables steer it:
//   AO_RECORDER_LOG         file that receives the call log
//   AO_RECORDER_PCM         file that receives the bytes given to ao_play
//   AO_RECORDER_FAIL_PLAY   N: the Nth ao_play and every later one return 0
//   AO_RECORDER_FAIL_CLOSE  set: ao_close returns 0
//   AO_RECORDER_DEFAULT_ID  N: ao_default_driver_id returns N
//   AO_RECORDER_DRIVER_NAME NAME: every driver's short name reads NAME, so
//                           that the null driver is played as the pulse or
//                           alsa driver
//   AO_RECORDER_FAIL_READ_AFTER  N: read(2) on standard input fails with EIO
//                           once N bytes have been delivered
//   AO_RECORDER_READ_MAX    N: read(2) on standard input returns N bytes at
//                           the most, so that every field and record is split
//   AO_RECORDER_READ_ERRNO  N: every read(2) of standard input first fails
//                           once with errno N (EINTR, EAGAIN), as a signal or
//                           an empty non-blocking pipe makes it; with EINTR,
//                           every poll(2) too
// pcmtap aborts where it would spin or hang: at a read of standard input after
// it ended, at a second read in a row that finds a non-blocking input empty,
// at a read of a socket that is not a byte stream, and at a wait for nothing
// or for standard input without input.
#include <ao/ao.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

template <typename Function>
Function real(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

void append_to(const char* variable, const void* data, std::size_t size) {
  const char* path = std::getenv(variable);
  if (path == nullptr) return;
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = write(fd, bytes, size);
    if (n <= 0) break;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  close(fd);
}

void log_line(const std::string& line) {
  const std::string text = line + "\n";
  append_to("AO_RECORDER_LOG", text.data(), text.size());
}

long env_number(const char* variable, long otherwise) {
  const char* value = std::getenv(variable);
  return value == nullptr ? otherwise : std::strtol(value, nullptr, 10);
}

long play_count = 0;
long stdin_delivered = 0;
bool read_failed_last = false;
bool input_ended = false;
bool poll_failed_last = false;
bool found_empty = false;

}  // namespace

extern "C" {

void ao_initialize(void) {
  log_line("ao_initialize");
  real<void (*)()>("ao_initialize")();
}

int ao_default_driver_id(void) {
  int id = real<int (*)()>("ao_default_driver_id")();
  if (std::getenv("AO_RECORDER_DEFAULT_ID") != nullptr)
    id = static_cast<int>(env_number("AO_RECORDER_DEFAULT_ID", id));
  log_line("ao_default_driver_id -> " + std::to_string(id));
  return id;
}

// Logs the options as key=value, comma-separated, and PULSE_LATENCY_MSEC,
// which libpulse reads as the stream connects, when it is set.
ao_device* ao_open_live(int driver_id, ao_sample_format* format,
                        ao_option* options) {
  ao_device* device = real<ao_device* (*)(int, ao_sample_format*, ao_option*)>(
      "ao_open_live")(driver_id, format, options);
  std::string listed;
  for (const ao_option* option = options; option; option = option->next) {
    if (!listed.empty()) listed += ',';
    listed.append(option->key).append("=").append(option->value);
  }
  const char* latency = std::getenv("PULSE_LATENCY_MSEC");
  log_line("ao_open_live driver=" + std::to_string(driver_id) +
           " bits=" + std::to_string(format->bits) +
           " rate=" + std::to_string(format->rate) +
           " channels=" + std::to_string(format->channels) +
           " byte_format=" + std::to_string(format->byte_format) +
           " matrix=" + (format->matrix ? format->matrix : "null") +
           " options=" + (options ? listed : "null") +
           (latency ? std::string(" PULSE_LATENCY_MSEC=") + latency : "") +
           " -> " + (device ? "device" : "null"));
  return device;
}

int ao_play(ao_device* device, char* samples, uint_32 size) {
  ++play_count;
  const long fail_from = env_number("AO_RECORDER_FAIL_PLAY", 0);
  int result = 0;
  if (fail_from == 0 || play_count < fail_from) {
    append_to("AO_RECORDER_PCM", samples, size);
    result = real<int (*)(ao_device*, char*, uint_32)>("ao_play")(
        device, samples, size);
  }
  log_line("ao_play " + std::to_string(size) + " -> " + std::to_string(result));
  return result;
}

int ao_close(ao_device* device) {
  int result = real<int (*)(ao_device*)>("ao_close")(device);
  if (std::getenv("AO_RECORDER_FAIL_CLOSE") != nullptr) result = 0;
  log_line("ao_close -> " + std::to_string(result));
  return result;
}

void ao_shutdown(void) {
  log_line("ao_shutdown");
  real<void (*)()>("ao_shutdown")();
}

ao_info* ao_driver_info(int driver_id) {
  ao_info* info = real<ao_info* (*)(int)>("ao_driver_info")(driver_id);
  char* name = std::getenv("AO_RECORDER_DRIVER_NAME");
  if (info == nullptr || name == nullptr) return info;
  static ao_info renamed;
  renamed = *info;
  renamed.short_name = name;
  return &renamed;
}

ssize_t read(int fd, void* buffer, size_t size) {
  const auto real_read = real<ssize_t (*)(int, void*, size_t)>("read");
  if (fd != STDIN_FILENO) return real_read(fd, buffer, size);
  const long fail_errno = env_number("AO_RECORDER_READ_ERRNO", 0);
  read_failed_last = fail_errno != 0 && !read_failed_last;
  if (read_failed_last) {
    errno = static_cast<int>(fail_errno);
    return -1;
  }
  const long fail_after = env_number("AO_RECORDER_FAIL_READ_AFTER", -1);
  if (fail_after >= 0) {
    if (stdin_delivered >= fail_after) {
      errno = EIO;
      return -1;
    }
    size = std::min<size_t>(size,
                            static_cast<size_t>(fail_after - stdin_delivered));
  }
  size = std::min<size_t>(
      size, static_cast<size_t>(env_number("AO_RECORDER_READ_MAX", 1L << 30)));
  int type = SOCK_STREAM;
  socklen_t length = sizeof type;
  const int saved = errno;  // a read that succeeds leaves errno alone
  getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length);
  errno = saved;
  if (input_ended || type != SOCK_STREAM) std::abort();
  const ssize_t n = real_read(fd, buffer, size);
  if (n > 0) stdin_delivered += n;
  input_ended = n == 0;
  const bool empty = n < 0 && errno == EAGAIN;
  if (empty && found_empty) std::abort();
  found_empty = empty;
  return n;
}

// glibc declares poll's entries write-only, though poll reads them, and so
// does this wrapper.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
int poll(pollfd* fds, nfds_t count, int timeout) {
  // libao's drivers poll their own descriptors; pcmtap polls standard input.
  const bool on_input = count > 0 && fds[0].fd == STDIN_FILENO;
  if (count < 1 || (on_input && (fds[0].events & POLLIN) == 0)) std::abort();
  if (on_input && env_number("AO_RECORDER_READ_ERRNO", 0) == EINTR &&
      (poll_failed_last = !poll_failed_last)) {
    errno = EINTR;
    return -1;
  }
  return real<int (*)(pollfd*, nfds_t, int)>("poll")(fds, count, timeout);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

}  // extern "C"
