// SPDX-License-Identifier: GPL-2.0-or-later
// Copyright 2026 pcmtap maintainers
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "audio_sink.h"

namespace {

TEST(ParseAudioId, FollowsAtoiWithoutOverflow) {
  const std::vector<std::pair<std::string, int>> cases = {
      {"2", 2},
      {"-1", -1},
      {"+7", 7},
      {"3x", 3},
      {"abc", 0},
      {"", 0},
      {"-", 0},
      {" \t\n\v\f\r12", 12},
      {"1 2", 1},
      {"- 1", 0},
      {"007", 7},
      {"2147483647", INT_MAX},
      {"-2147483648", INT_MIN},
      {"2147483648", INT_MAX},
      {"4294967295", INT_MAX},  // would wrap to -1 through a 32-bit cast
      {"-4294967297", INT_MIN},
      {"99999999999999999999999999", INT_MAX},
      {"-99999999999999999999999999", INT_MIN},
  };
  for (const auto& [text, id] : cases)
    EXPECT_EQ(parse_audio_id(text), id) << text;
}

}  // namespace
