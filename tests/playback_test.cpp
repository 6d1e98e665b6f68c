// SPDX-License-Identifier: GPL-2.0-or-later
// What reaches libao: the recording library logs the calls and the bytes.
#include <cerrno>

#include "pcmtap_fixture.h"
#include "stream_data.h"

namespace {

using PlaybackTest = PcmtapTest;

// The open of libao's default (null) driver at `rate`, with `options` as the
// recorder logs them.
std::string open_call(int rate, const std::string& options = "options=null") {
  return "ao_open_live driver=" + std::to_string(driver_id("null")) +
         " bits=16 rate=" + std::to_string(rate) +
         " channels=2 byte_format=1 matrix=null " + options + " -> device";
}

// The calls of a run on libao's default (null) driver at `rate`: one play of
// each size in `plays`, the first `failed` from the end failing, then the
// close with its result.
std::vector<std::string> calls_of_run(
    int rate, const std::vector<std::uint32_t>& plays, std::size_t failed = 0,
    const std::string& close = "1",
    const std::string& options = "options=null") {
  const std::string null_id = std::to_string(driver_id("null"));
  std::vector<std::string> expected = {"ao_initialize",
                                       "ao_default_driver_id -> " + null_id,
                                       open_call(rate, options)};
  for (std::size_t i = 0; i < plays.size(); ++i)
    expected.push_back("ao_play " + std::to_string(plays[i]) + " -> " +
                       (i + failed < plays.size() ? "1" : "0"));
  expected.insert(expected.end(), {"ao_close -> " + close, "ao_shutdown"});
  return expected;
}

// The sizes of the plays of a run: whole blocks, the last partial one (when
// not 0), then whole blocks of silence.
std::vector<std::uint32_t> plays(std::size_t blocks, std::uint32_t last,
                                 std::size_t silent_blocks = 0) {
  std::vector<std::uint32_t> sizes(blocks, 4096);
  if (last != 0) sizes.push_back(last);
  sizes.insert(sizes.end(), silent_blocks, 4096);
  return sizes;
}

// Blocks of 1024 frames as they fill, the remainder at the end; on the pulse
// driver, then whole blocks of silence for a fifth of a second. Reads of
// standard input that return a few bytes at a time, or are first interrupted,
// change nothing.
TEST_F(PlaybackTest, BlocksOf1024FramesThenTheRemainderAtTheEnd) {
  const Env split = {{"AO_RECORDER_READ_MAX", "1"},
                     {"AO_RECORDER_READ_ERRNO", std::to_string(EINTR)}};
  const Env large = {{"AO_RECORDER_READ_MAX", "65539"},
                     {"AO_RECORDER_READ_ERRNO", std::to_string(EAGAIN)}};
  const Env pulse = {{"AO_RECORDER_DRIVER_NAME", "pulse"}};
  struct Case {
    std::size_t records;
    int rate;
    std::size_t blocks;
    std::uint32_t last;
    Env env;
    std::size_t silent_blocks = 0;
    std::string options = "options=null";
  };
  const std::vector<Case> cases = {
      {0, 44100, 0, 0, {}},
      {1024, 48000, 1, 0, {}},
      {1025, 96000, 1, 4, {}},
      {3000, 193000, 2, 3808, split},
      {30000, 192000, 29, 1216, large},
      // A fifth of a second: exactly 10 blocks at 51200 Hz, and one frame
      // more, so 11 blocks, at 51205 Hz.
      {1025, 51200, 1, 4, pulse, 10, "options=null PULSE_LATENCY_MSEC=80"},
      {0, 51205, 0, 0, pulse, 11, "options=null PULSE_LATENCY_MSEC=80"},
  };
  for (const Case& c : cases) {
    const std::string name = std::to_string(c.records) + " records at " +
                             std::to_string(c.rate) + " Hz";
    reset_recording();
    const std::string data = stream_records(c.records, c.rate);
    const ProcessResult result =
        run({"-1"}, stream_header(c.rate) + data + "xyz", c.env);
    EXPECT_EQ(result.status, 0) << name;
    EXPECT_EQ(result.err, "Opening audio id: -1\n") << name;
    EXPECT_EQ(calls(),
              calls_of_run(c.rate, plays(c.blocks, c.last, c.silent_blocks), 0,
                           "1", c.options))
        << name;
    EXPECT_TRUE(played() == reference_frames(data) +
                                std::string(c.silent_blocks * 4096, '\0'))
        << name;
  }
}

// A device that fails to play, in a block, at the end or in the trailing
// silence, or to close, is an error; the device is closed all the same.
TEST_F(PlaybackTest, FailedPlayOrCloseEndsTheRunWithAnError) {
  struct Case {
    std::string name;
    Env env;
    std::size_t records;
    std::vector<std::uint32_t> plays;
    std::size_t failed = 1;
    std::string close = "1";
    std::string options = "options=null";
  };
  const std::vector<Case> cases = {
      {"second block", {{"AO_RECORDER_FAIL_PLAY", "2"}}, 5000, plays(2, 0)},
      {"remainder", {{"AO_RECORDER_FAIL_PLAY", "1"}}, 10, plays(0, 40)},
      {"silence",
       {{"AO_RECORDER_FAIL_PLAY", "3"}, {"AO_RECORDER_DRIVER_NAME", "pulse"}},
       10,
       plays(0, 40, 2),
       1,
       "1",
       "options=null PULSE_LATENCY_MSEC=80"},
      {"close", {{"AO_RECORDER_FAIL_CLOSE", "1"}}, 1024, plays(1, 0), 0, "0"},
  };
  for (const Case& c : cases) {
    reset_recording();
    const ProcessResult result =
        run({"-1"}, stream_header() + stream_records(c.records), c.env);
    EXPECT_EQ(result.status, 1) << c.name;
    EXPECT_EQ(result.err, "Opening audio id: -1\npcmtap: error playing audio\n")
        << c.name;
    EXPECT_EQ(calls(),
              calls_of_run(44100, c.plays, c.failed, c.close, c.options))
        << c.name;
  }
}

// The pulse and alsa drivers are asked for a buffer that a real-time
// producer cannot drain while the next block fills; a buffer_time of the
// user's libao configuration, or the user's own PULSE_LATENCY_MSEC, stands.
TEST_F(PlaybackTest, AsksForALiveBufferUnlessTheUserSetsOne) {
  struct Case {
    std::string driver;
    int rate;
    std::string config;
    Env env;
    std::string options;
  };
  const std::vector<Case> cases = {
      {"pulse", 44100, "", {}, "options=null PULSE_LATENCY_MSEC=80"},
      {"pulse", 193000, "", {}, "options=null PULSE_LATENCY_MSEC=80"},
      {"pulse", 96000, "buffer_time=300\n", {}, "options=null"},
      {"pulse",
       44100,
       "",
       {{"PULSE_LATENCY_MSEC", "25"}},
       "options=null PULSE_LATENCY_MSEC=25"},
      {"alsa", 44100, "", {}, "options=buffer_time=80"},
      {"alsa", 193000, "#buffer_time=5\n", {}, "options=buffer_time=80"},
      {"alsa", 48000, " buffer_time=60\n", {}, "options=null"},
      {"null", 44100, "", {}, "options=null"},
  };
  for (const Case& c : cases) {
    const std::string name =
        c.driver + " at " + std::to_string(c.rate) + " Hz with " + c.config;
    reset_recording();
    write_file(scratch.file(".libao"), "default_driver=null\n" + c.config);
    Env extra = c.env;
    extra["AO_RECORDER_DRIVER_NAME"] = c.driver;
    EXPECT_EQ(run({"-1"}, stream_header(c.rate), extra).status, 0) << name;
    EXPECT_EQ(calls("ao_open_live"),
              std::vector<std::string>{open_call(c.rate, c.options)})
        << name;
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
}

}  // namespace
