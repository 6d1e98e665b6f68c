// The raw stdin data stream: a 24-byte header (magic, sample rate, aux control
// data; three little-endian 64-bit fields) followed by 6-byte sample records.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

inline constexpr std::size_t header_field_size = 8;
inline constexpr std::size_t header_size = 3 * header_field_size;
inline constexpr std::size_t record_size = 6;
inline constexpr std::size_t frame_size = 4;  // two signed 16-bit LE samples

inline constexpr std::int64_t stream_magic = 0x23583579;  // "y5X#" + 4 zeros
inline constexpr std::int64_t min_rate = 44100;
inline constexpr std::int64_t max_rate = 193000;

std::int64_t decode_le64(std::span<const std::uint8_t, 8> bytes);

// The header check, field by field, over the bytes received so far.
struct HeaderCheck {
  enum class Status { incomplete, valid, invalid };
  Status status = Status::incomplete;
  std::int32_t rate = 0;  // when valid
  std::string message;    // when invalid: the whole line, newline included
};

// Checks every complete field in `received` in stream order and stops at the
// first that fails. `input_ended` says no more bytes will come: a header cut
// short then fails with the message of the field it ends in.
HeaderCheck check_header(std::span<const std::uint8_t> received,
                         bool input_ended);

// Unpacks the whole records in `records` into `frames`: record bytes 1, 2, 4
// and 5 become one frame. A trailing partial record is left alone. Returns the
// number of frame bytes written; `frames` must hold that many.
std::size_t unpack_records(std::span<const std::uint8_t> records,
                           std::uint8_t* frames);

// Reads the stream from a file descriptor with read(2) in large pieces.
class RawStreamReader {
 public:
  explicit RawStreamReader(int fd) : fd(fd) {}

  // Reads and checks the header one field at a time, so a bad field is
  // reported without waiting for the next one.
  HeaderCheck read_header();

  // Waits for the next piece of input and returns its whole records, unpacked.
  // A partial record is carried over to the next piece. Returns no frames at
  // the end of input (a trailing partial record is dropped) or after a read
  // error, which read_error() then gives.
  std::span<const std::uint8_t> read_frames();

  [[nodiscard]] int read_error() const { return error_number; }

 private:
  static constexpr std::size_t piece_size = std::size_t{64} * 1024;

  int fd;
  int error_number = 0;     // errno of a failed read, 0 until then
  std::size_t carried = 0;  // bytes of a partial record at the start of input
  std::array<std::uint8_t, piece_size + record_size> input{};
  std::array<std::uint8_t,
             (piece_size + record_size) / record_size * frame_size>
      frames{};
};
