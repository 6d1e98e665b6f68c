// SPDX-License-Identifier: GPL-2.0-or-later
// What reaches libao: the recording library logs the calls and the bytes.
#include "pcmtap_fixture.h"
#include "stream_data.h"

namespace {

using PlaybackTest = PcmtapTest;

TEST_F(PlaybackTest, BlocksOf1024FramesThenTheRemainderAtTheEnd) {
  const std::string null_id = std::to_string(driver_id("null"));
  const std::vector<std::pair<std::size_t, std::vector<std::string>>> cases = {
      {0, {}},
      {1024, {"ao_play 4096 -> 1"}},
      {1025, {"ao_play 4096 -> 1", "ao_play 4 -> 1"}},
      {3000, {"ao_play 4096 -> 1", "ao_play 4096 -> 1", "ao_play 3808 -> 1"}},
  };
  for (const auto& [records, plays] : cases) {
    std::remove(scratch.file("calls").c_str());
    std::remove(scratch.file("played").c_str());
    const std::string data = stream_records(records, records);
    const ProcessResult result = run({"-1"}, stream_header() + data);
    EXPECT_EQ(result.status, 0);
    std::vector<std::string> expected = {
        "ao_initialize", "ao_default_driver_id -> " + null_id,
        "ao_open_live driver=" + null_id +
            " bits=16 rate=44100 channels=2 byte_format=1 matrix=null"
            " options=null -> device"};
    expected.insert(expected.end(), plays.begin(), plays.end());
    expected.insert(expected.end(), {"ao_close -> 1", "ao_shutdown"});
    EXPECT_EQ(calls(), expected) << records << " records";
    EXPECT_EQ(played(), reference_frames(data));
  }
}

TEST_F(PlaybackTest, TheDeviceRunsAtTheHeaderRate) {
  for (const int rate : {44100, 48000, 96000, 192000, 193000}) {
    std::remove(scratch.file("calls").c_str());
    EXPECT_EQ(run({"-1"}, stream_header(rate)).status, 0);
    const auto opens = calls("ao_open_live");
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_NE(opens[0].find(" rate=" + std::to_string(rate) + " "),
              std::string::npos)
        << opens[0];
  }
}

TEST_F(PlaybackTest, TheDefaultDriverIdIsUsedUnchecked) {
  const ProcessResult result =
      run({"-1"}, stream_header(), {{"AO_RECORDER_DEFAULT_ID", "-1"}});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "Opening audio id: -1\nError opening device.\n");
  EXPECT_EQ(calls("ao_open_live").at(0).rfind("ao_open_live driver=-1 ", 0),
            0u);
}

TEST_F(PlaybackTest, LongStreamIsPlayedByteForByte) {
  const std::string data = stream_records(200000, 99);
  const ProcessResult result = run({"-1"}, stream_header(48000) + data + "xyz");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(played(), reference_frames(data));
}

TEST_F(PlaybackTest, FailedPlayOrCloseEndsTheRunWithAnError) {
  struct Case {
    std::string name;
    Env env;
    std::size_t records;
    std::size_t plays;
  };
  const std::vector<Case> cases = {
      {"second block", {{"AO_RECORDER_FAIL_PLAY", "2"}}, 5000, 2},
      {"remainder", {{"AO_RECORDER_FAIL_PLAY", "1"}}, 10, 1},
      {"close", {{"AO_RECORDER_FAIL_CLOSE", "1"}}, 3000, 3},
  };
  for (const Case& c : cases) {
    std::remove(scratch.file("calls").c_str());
    const ProcessResult result =
        run({"-1"}, stream_header() + stream_records(c.records), c.env);
    EXPECT_EQ(result.status, 1) << c.name;
    EXPECT_EQ(result.err, "Opening audio id: -1\npcmtap: error playing audio\n")
        << c.name;
    EXPECT_EQ(calls("ao_play").size(), c.plays) << c.name;
    EXPECT_EQ(calls("ao_shutdown").size(), 1u) << c.name;
  }
}

TEST_F(PlaybackTest, ReadErrorAfterTheHeaderPlaysWhatArrivedThenFails) {
  const std::string data = stream_records(1500);
  const std::string fail_after = std::to_string(24 + 1500 * 6 + 3);
  const ProcessResult result =
      run({"-1"}, stream_header() + data + stream_records(100),
          {{"AO_RECORDER_FAIL_READ_AFTER", fail_after}});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err,
            "Opening audio id: -1\n"
            "pcmtap: error reading stdin data: Input/output error\n");
  EXPECT_EQ(played(), reference_frames(data));
  EXPECT_EQ(calls().back(), "ao_shutdown");

  const ProcessResult in_header =
      run({"-1"}, stream_header(), {{"AO_RECORDER_FAIL_READ_AFTER", "12"}});
  EXPECT_EQ(in_header.status, 1);
  EXPECT_EQ(in_header.err,
            "Opening audio id: -1\npcmtap: cannot read sample rate\n");
}

}  // namespace
