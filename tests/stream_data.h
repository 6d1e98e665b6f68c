// SPDX-License-Identifier: GPL-2.0-or-later
// Copyright 2026 pcmtap maintainers
// Builders for raw stdin data streams and the reference unpacking the tests
// compare against.
#pragma once

#include <cstdint>
#include <string>

inline std::string le64(std::int64_t value) {
  std::string bytes;
  for (int i = 0; i < 8; ++i)
    bytes += static_cast<char>(static_cast<std::uint64_t>(value) >> (8 * i));
  return bytes;
}

inline std::string stream_header(std::int64_t rate = 44100,
                                 std::int64_t magic = 0x23583579,
                                 std::int64_t aux = 0) {
  return le64(magic) + le64(rate) + le64(aux);
}

// `count` records of varied bytes, the unused ones included, so that a mix-up
// of record offsets shows in the played bytes.
inline std::string stream_records(std::size_t count, std::uint32_t seed = 1) {
  std::string records;
  records.reserve(count * 6);
  std::uint32_t state = seed;
  for (std::size_t i = 0; i < count * 6; ++i) {
    state = state * 1664525u + 1013904223u;
    records += static_cast<char>(state >> 24);
  }
  return records;
}

// The frames the records must become: bytes 1, 2, 4 and 5 of each.
inline std::string reference_frames(const std::string& records) {
  std::string frames;
  frames.reserve(records.size() / 6 * 4);
  for (std::size_t i = 0; i + 6 <= records.size(); i += 6)
    frames.append(records, i + 1, 2).append(records, i + 4, 2);
  return frames;
}
