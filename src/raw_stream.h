// SPDX-License-Identifier: GPL-2.0-or-later
// Copyright 2026 pcmtap maintainers
// The raw stdin data stream: a 24-byte header (magic, sample rate, aux control
// data; three little-endian 64-bit fields) followed by 6-byte sample records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

inline constexpr std::size_t header_field_size = 8;
inline constexpr std::size_t record_size = 6;
inline constexpr std::size_t frame_size = 4;  // two signed 16-bit LE samples

inline constexpr std::int64_t stream_magic = 0x23583579;  // "y5X#" + 4 zeros
inline constexpr std::int64_t min_rate = 44100;
inline constexpr std::int64_t max_rate = 193000;

using HeaderField = std::span<const std::uint8_t, header_field_size>;

std::int64_t decode_le64(HeaderField bytes);

// The checks of the two header fields that have rules.
bool is_stream_magic(HeaderField bytes);
bool is_supported_rate(std::int64_t rate);

// What reading the header found: the first field that could not be read in
// full or failed its check, or a valid header.
enum class HeaderStatus : std::uint8_t {
  valid,
  magic_unread,
  bad_magic,
  rate_unread,
  bad_rate,
  aux_unread,
};

struct Header {
  HeaderStatus status = HeaderStatus::magic_unread;  // nothing read yet
  std::int64_t rate = 0;                             // when valid or bad_rate
};

// Unpacks the whole records in `records` into `frames`: record bytes 1, 2, 4
// and 5 become one frame. A trailing partial record is left alone. Returns the
// number of frame bytes written; `frames` must hold that many. `frames` may be
// `records` itself: each frame is written no further on than its record.
std::size_t unpack_records(std::span<const std::uint8_t> records,
                           std::uint8_t* frames);

// Reads the stream from a file descriptor with read(2) in large pieces. A
// descriptor in non-blocking mode is waited on with poll(2).
class RawStreamReader {
 public:
  explicit RawStreamReader(int fd);

  // Reads the three header fields, 8 bytes each, checking each before the
  // next is read. Input that is not a byte stream (a directory, a datagram
  // socket) is not read at all and reads as empty.
  Header read_header();

  // Waits for the next piece of input and returns its whole records, unpacked.
  // A partial record is carried over to the next piece. Returns no frames at
  // the end of input (a trailing partial record is dropped) or after a read
  // error, which read_error() then gives. The frames stay valid until the
  // next call.
  std::span<const std::uint8_t> read_frames();

  [[nodiscard]] int read_error() const { return error_number; }

 private:
  static constexpr std::size_t piece_size = std::size_t{64} * 1024;

  int fd;
  int error_number = 0;  // errno of a failed read, 0 until then
  // Records are read into `input` and unpacked in place; a partial record's
  // bytes wait at `carried_at` until the next read.
  std::vector<std::uint8_t> input;
  std::size_t carried_at = 0;
  std::size_t carried = 0;
};
