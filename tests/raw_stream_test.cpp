// SPDX-License-Identifier: GPL-2.0-or-later
// Copyright 2026 pcmtap maintainers
#include "raw_stream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "stream_data.h"

namespace {

using namespace std::string_literals;

std::span<const std::uint8_t> bytes_of(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

HeaderField field_of(const std::string& eight_bytes) {
  return HeaderField(reinterpret_cast<const std::uint8_t*>(eight_bytes.data()),
                     header_field_size);
}

TEST(HeaderFields, MagicAndRateChecks) {
  const std::vector<std::pair<std::string, bool>> magics = {
      {le64(0x23583579), true},
      {std::string("y5X#\x01\0\0\0", 8), false},  // upper byte set
      {std::string("\0\0\0\0#X5y", 8), false},    // most significant first
      {"RIFF\0\0\0\0"s, false},
  };
  for (const auto& [bytes, valid] : magics)
    EXPECT_EQ(is_stream_magic(field_of(bytes)), valid) << bytes;

  const std::vector<std::pair<std::int64_t, bool>> rates = {
      {44100, true},      {48000, true},
      {192000, true},     {193000, true},
      {44099, false},     {193001, false},
      {0, false},         {-1, false},
      {INT64_MIN, false}, {(std::int64_t{1} << 32) + 44100, false},
  };
  for (const auto& [rate, valid] : rates)
    EXPECT_EQ(is_supported_rate(rate), valid) << rate;
}

TEST(DecodeLe64, ReadsLeastSignificantByteFirst) {
  const std::uint8_t bytes[8] = {0x79, 0x35, 0x58, 0x23, 0, 0, 0, 0x80};
  EXPECT_EQ(decode_le64(HeaderField(bytes)),
            static_cast<std::int64_t>(0x8000000023583579ull));
}

TEST(UnpackRecords, KeepsBytesOneTwoFourAndFiveUnchanged) {
  struct Case {
    std::string records;
    std::string frames;
  };
  const std::vector<Case> cases = {
      {"", ""},
      {"\x00\x34\x12\xFF\x78\x56"s, "\x34\x12\x78\x56"s},
      {"\xFF\xFF\x7F\x01\x00\x80"s, "\xFF\x7F\x00\x80"s},
      {"\x00\x34\x12\xFF\x78\x56\xAA\xBB"s, "\x34\x12\x78\x56"s},  // partial
      {std::string("\1\2\3\4\5\6\0\0\0\0\0\0", 12),
       std::string("\2\3\5\6\0\0\0\0", 8)},
  };
  for (const Case& c : cases) {
    std::string frames(c.records.size(), '?');
    const std::size_t size = unpack_records(
        bytes_of(c.records), reinterpret_cast<std::uint8_t*>(frames.data()));
    EXPECT_EQ(frames.substr(0, size), c.frames);
  }
}

}  // namespace
