// SPDX-License-Identifier: GPL-2.0-or-later
// A library preloaded into pcmtap by the tests. It logs every libao call with
// its arguments, one line each, appends the bytes played to a file, and then
// calls the real libao. Environment variables steer it:
//   AO_RECORDER_LOG         file that receives the call log
//   AO_RECORDER_PCM         file that receives the bytes given to ao_play
//   AO_RECORDER_FAIL_PLAY   N: the Nth ao_play and every later one return 0
//   AO_RECORDER_FAIL_CLOSE  set: ao_close returns 0
//   AO_RECORDER_DEFAULT_ID  N: ao_default_driver_id returns N
//   AO_RECORDER_FAIL_READ_AFTER  N: read(2) on standard input fails with EIO
//                           once N bytes have been delivered
#include <ao/ao.h>
#include <dlfcn.h>
#include <fcntl.h>
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

ao_device* ao_open_live(int driver_id, ao_sample_format* format,
                        ao_option* options) {
  ao_device* device = real<ao_device* (*)(int, ao_sample_format*, ao_option*)>(
      "ao_open_live")(driver_id, format, options);
  log_line("ao_open_live driver=" + std::to_string(driver_id) +
           " bits=" + std::to_string(format->bits) +
           " rate=" + std::to_string(format->rate) +
           " channels=" + std::to_string(format->channels) +
           " byte_format=" + std::to_string(format->byte_format) +
           " matrix=" + (format->matrix ? format->matrix : "null") +
           " options=" + (options ? "set" : "null") + " -> " +
           (device ? "device" : "null"));
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

ssize_t read(int fd, void* buffer, size_t size) {
  const long fail_after = env_number("AO_RECORDER_FAIL_READ_AFTER", -1);
  if (fd == STDIN_FILENO && fail_after >= 0) {
    if (stdin_delivered >= fail_after) {
      errno = EIO;
      return -1;
    }
    size = std::min<size_t>(size,
                            static_cast<size_t>(fail_after - stdin_delivered));
  }
  const ssize_t n =
      real<ssize_t (*)(int, void*, size_t)>("read")(fd, buffer, size);
  if (fd == STDIN_FILENO && n > 0) stdin_delivered += n;
  return n;
}

}  // extern "C"
