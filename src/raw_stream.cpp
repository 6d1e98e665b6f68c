#include "raw_stream.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

// One read(2), retried when a signal interrupts it. Returns what read(2) does.
ssize_t read_some(int fd, std::uint8_t* data, std::size_t size) {
  for (;;) {
    const ssize_t n = read(fd, data, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

// Reads until `size` bytes arrived, the input ended or a read failed.
// Returns the number of bytes read.
std::size_t read_full(int fd, std::uint8_t* data, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = read_some(fd, data + got, size - got);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

HeaderCheck invalid(std::string message) {
  return {HeaderCheck::Status::invalid, 0, std::move(message)};
}

}  // namespace

std::int64_t decode_le64(std::span<const std::uint8_t, 8> bytes) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i)
    value |= std::uint64_t{bytes[i]} << (8 * i);
  return static_cast<std::int64_t>(value);
}

HeaderCheck check_header(std::span<const std::uint8_t> received,
                         bool input_ended) {
  const auto field = [&](std::size_t index) {
    return received.subspan(index * header_field_size)
        .first<header_field_size>();
  };
  const auto cut_short = [&](const char* message) {
    return input_ended ? invalid(message) : HeaderCheck{};
  };

  if (received.size() < header_field_size)
    return cut_short("pcmtap: cannot read stdin data\n");
  if (decode_le64(field(0)) != stream_magic)
    return invalid("pcmtap: raw stdin data file not detected\n");

  if (received.size() < 2 * header_field_size)
    return cut_short("pcmtap: cannot read sample rate\n");
  const std::int64_t rate = decode_le64(field(1));
  // One unsigned comparison: rates below the minimum wrap to huge values.
  if (static_cast<std::uint64_t>(rate) - std::uint64_t{min_rate} >
      std::uint64_t{max_rate - min_rate})
    return invalid("pcmtap: bad sample rate specified in input stream: " +
                   std::to_string(rate) + "\n");

  if (received.size() < header_size)
    return cut_short("pcmtap: cannot read aux control data\n");
  // The aux control data is accepted whatever it holds.
  return {HeaderCheck::Status::valid, static_cast<std::int32_t>(rate), {}};
}

std::size_t unpack_records(std::span<const std::uint8_t> records,
                           std::uint8_t* frames) {
  const std::size_t count = records.size() / record_size;
  const std::uint8_t* record = records.data();
  for (std::size_t i = 0; i < count; ++i) {
    frames[0] = record[1];
    frames[1] = record[2];
    frames[2] = record[4];
    frames[3] = record[5];
    record += record_size;
    frames += frame_size;
  }
  return count * frame_size;
}

// Not const, though it changes no member: it consumes the input.
// NOLINTNEXTLINE(readability-make-member-function-const)
HeaderCheck RawStreamReader::read_header() {
  std::array<std::uint8_t, header_size> header{};
  std::size_t received = 0;
  for (;;) {
    const std::size_t got =
        read_full(fd, header.data() + received, header_field_size);
    received += got;
    HeaderCheck check = check_header(std::span(header.data(), received),
                                     got < header_field_size);
    if (check.status != HeaderCheck::Status::incomplete) return check;
  }
}

std::span<const std::uint8_t> RawStreamReader::read_frames() {
  for (;;) {
    const ssize_t n = read_some(fd, input.data() + carried, piece_size);
    if (n <= 0) {
      if (n < 0) error_number = errno;
      carried = 0;
      return {};
    }
    const std::size_t available = carried + static_cast<std::size_t>(n);
    const std::size_t whole = available - available % record_size;
    const std::size_t frame_bytes =
        unpack_records(std::span(input.data(), whole), frames.data());
    carried = available - whole;
    std::memmove(input.data(), input.data() + whole, carried);
    if (frame_bytes > 0) return std::span(frames.data(), frame_bytes);
  }
}
