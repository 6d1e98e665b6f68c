// SPDX-License-Identifier: GPL-2.0-or-later
// Copyright 2026 pcmtap maintainers
#include "capture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "stream_data.h"

namespace {

using Kind = CaptureVerdict::Kind;

TEST(CompareCapture, TellsDisturbancesFromMismatches) {
  const std::string frames = reference_frames(stream_records(4000, 3));
  const auto sent = [&](std::size_t from, std::size_t to) {
    return frames.substr(from * 4, (to - from) * 4);
  };
  const auto silence = [](std::size_t count) {
    return std::string(count * 4, '\0');
  };
  std::string changed = silence(10) + frames;
  changed[10 * 4 + 2000 * 4 + 1] ^= 1;
  // The capture with each frame's channels changed by `change`.
  const auto channels = [&](auto change) {
    std::string captured = frames;
    for (std::size_t at = 0; at < captured.size(); at += 4)
      change(captured, at);
    return silence(20) + captured + silence(20);
  };
  const std::string one_silent = channels([](std::string& c, std::size_t at) {
    if (at >= 1000 * 4 && at < 2024 * 4) c[at] = c[at + 1] = 0;
  });
  const std::string swapped = channels([](std::string& c, std::size_t at) {
    std::swap(c[at], c[at + 2]);
    std::swap(c[at + 1], c[at + 3]);
  });
  const std::string out_of_step = channels([&](std::string& c, std::size_t at) {
    c.replace(
        at, 2,
        at >= 5 * 4 ? frames.substr(at - 5 * 4, 2) : std::string(2, '\0'));
  });
  struct Case {
    std::string name;
    std::string captured;
    Kind kind;
    std::size_t gaps, silent_frames, lost_frames;
  };
  const std::vector<Case> cases = {
      {"exact", silence(100) + frames + silence(50), Kind::exact, 0, 0, 0},
      {"silence, then the stream resumes further on",
       silence(100) + sent(0, 1000) + silence(300) + sent(1100, 4000),
       Kind::disturbed, 1, 300, 100},
      {"a ragged resumption",
       sent(0, 1000) + silence(200) + sent(1050, 1053) + silence(100) +
           sent(1200, 4000),
       Kind::disturbed, 2, 300, 197},
      {"a skip without silence", sent(0, 2000) + sent(2009, 4000),
       Kind::disturbed, 1, 0, 9},
      {"a changed frame", changed, Kind::mismatch, 0, 0, 0},
      {"frames again", sent(0, 2000) + sent(1000, 4000), Kind::mismatch, 0, 0,
       0},
      {"the tail lost", sent(0, 3900) + silence(500), Kind::incomplete, 0, 0,
       100},
      {"a late start", silence(50) + sent(300, 4000) + silence(5),
       Kind::incomplete, 0, 0, 300},
      {"one channel silent for a cycle", one_silent, Kind::disturbed, 1, 1024,
       1024},
      {"channels swapped", swapped, Kind::mismatch, 0, 0, 0},
      {"one channel out of step", out_of_step, Kind::mismatch, 0, 0, 0},
      {"other frames after silence",
       sent(0, 1000) + silence(10) + reference_frames(stream_records(50, 9)) +
           sent(1000, 4000),
       Kind::mismatch, 0, 0, 0},
      {"nothing arrived", silence(5000), Kind::mismatch, 0, 0, 0},
  };
  for (const Case& c : cases) {
    const CaptureVerdict verdict = compare_capture(frames, c.captured);
    EXPECT_EQ(verdict.kind, c.kind) << c.name << ": " << verdict;
    EXPECT_EQ(verdict.gaps, c.gaps) << c.name;
    EXPECT_EQ(verdict.silent_frames, c.silent_frames) << c.name;
    EXPECT_EQ(verdict.lost_frames, c.lost_frames) << c.name;
  }
}

}  // namespace
