// SPDX-License-Identifier: GPL-2.0-or-later
// Copyright 2026 pcmtap maintainers
#include "raw_stream.h"

#include <array>
#include <cerrno>
#include <cstring>

#include "platform.h"

namespace {

// One read(2) that returns data, the end of input or a real error: it is
// retried when a signal interrupts it, and waits for input when the
// descriptor is non-blocking. The descriptor's mode is left alone, since
// other processes share it.
ssize_t read_some(int fd, std::uint8_t* data, std::size_t size) {
  for (;;) {
    const ssize_t n = read(fd, data, size);
    if (n >= 0) return n;
    if (errno == EAGAIN || errno == EWOULDBLOCK)
      platform::wait_for_input(fd);
    else if (errno != EINTR)
      return n;
  }
}

// Reads until `data` is full; false when the input ended or failed first.
bool read_exact(int fd, std::span<std::uint8_t> data) {
  std::size_t got = 0;
  while (got < data.size()) {
    const ssize_t n = read_some(fd, data.data() + got, data.size() - got);
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

std::int64_t decode_le64(HeaderField bytes) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i)
    value |= std::uint64_t{bytes[i]} << (8 * i);
  return static_cast<std::int64_t>(value);
}

bool is_stream_magic(HeaderField bytes) {
  return decode_le64(bytes) == stream_magic;
}

bool is_supported_rate(std::int64_t rate) {
  // One unsigned comparison: rates below the minimum wrap to huge values.
  return static_cast<std::uint64_t>(rate) - std::uint64_t{min_rate} <=
         std::uint64_t{max_rate - min_rate};
}

std::size_t unpack_records(std::span<const std::uint8_t> records,
                           std::uint8_t* frames) {
  const std::size_t count = records.size() / record_size;
  const std::uint8_t* record = records.data();
  for (std::size_t i = 0; i < count; ++i) {
    // Read the whole record first: in place, the frame overlaps it.
    const std::uint8_t b1 = record[1];
    const std::uint8_t b2 = record[2];
    const std::uint8_t b4 = record[4];
    const std::uint8_t b5 = record[5];
    frames[0] = b1;
    frames[1] = b2;
    frames[2] = b4;
    frames[3] = b5;
    record += record_size;
    frames += frame_size;
  }
  return count * frame_size;
}

RawStreamReader::RawStreamReader(int fd)
    : fd(fd), input(piece_size + record_size) {}

// Not const, though it changes no member: it consumes the input.
// NOLINTNEXTLINE(readability-make-member-function-const)
Header RawStreamReader::read_header() {
  std::array<std::uint8_t, header_field_size> field{};
  if (!platform::is_byte_stream(fd) || !read_exact(fd, field))
    return {.status = HeaderStatus::magic_unread};
  if (!is_stream_magic(field)) return {.status = HeaderStatus::bad_magic};
  if (!read_exact(fd, field)) return {.status = HeaderStatus::rate_unread};
  const std::int64_t rate = decode_le64(field);
  if (!is_supported_rate(rate))
    return {.status = HeaderStatus::bad_rate, .rate = rate};
  // The aux control data is accepted whatever it holds.
  if (!read_exact(fd, field)) return {.status = HeaderStatus::aux_unread};
  return {.status = HeaderStatus::valid, .rate = rate};
}

std::span<const std::uint8_t> RawStreamReader::read_frames() {
  std::memmove(input.data(), input.data() + carried_at, carried);
  for (;;) {
    const ssize_t n = read_some(fd, input.data() + carried, piece_size);
    if (n <= 0) {
      if (n < 0) error_number = errno;
      carried_at = carried = 0;
      return {};
    }
    const std::size_t available = carried + static_cast<std::size_t>(n);
    const std::size_t whole = available - (available % record_size);
    const std::size_t frame_bytes =
        unpack_records(std::span(input.data(), whole), input.data());
    carried_at = whole;
    carried = available - whole;
    if (frame_bytes > 0) return std::span(input.data(), frame_bytes);
    // Less than one record so far: it is already at the start.
  }
}
