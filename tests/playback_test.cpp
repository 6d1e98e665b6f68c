// SPDX-License-Identifier: GPL-2.0-or-later
// Copyright 2026 pcmtap maintainers
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

// The sizes of the plays of a run: whole blocks, then the last partial one
// (when not 0).
std::vector<std::uint32_t> plays(std::size_t blocks, std::uint32_t last) {
  std::vector<std::uint32_t> sizes(blocks, 4096);
  if (last != 0) sizes.push_back(last);
  return sizes;
}

// The plays of `frames` frames of silence: blocks of 1024 frames, the rest.
std::vector<std::uint32_t> silence(std::uint32_t frames) {
  return plays(frames / 1024, frames % 1024 * 4);
}

std::vector<std::uint32_t> operator+(std::vector<std::uint32_t> first,
                                     const std::vector<std::uint32_t>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

// Blocks of 1024 frames as they fill, the remainder at the end. The pulse
// driver's stream is followed by half the buffer of silence, 47 ms to
// 1050 ms, and the buffer asked is at most what a server holds; the alsa
// driver's by 30 ms, and preceded by a quarter of the buffer; the wmm
// driver's by 200 ms and what fills its last buffer of 512 frames. Reads of
// standard input that return a few bytes at a time, or are first interrupted,
// change nothing.
TEST_F(PlaybackTest, BlocksOf1024FramesThenTheRemainderAtTheEnd) {
  const Env split = {{"AO_RECORDER_READ_MAX", "1"},
                     {"AO_RECORDER_READ_ERRNO", std::to_string(EINTR)}};
  const Env large = {{"AO_RECORDER_READ_MAX", "65539"},
                     {"AO_RECORDER_READ_ERRNO", std::to_string(EAGAIN)}};
  const auto pulse = [](const char* milliseconds) {
    return Env{{"AO_RECORDER_DRIVER_NAME", "pulse"},
               {"PULSE_LATENCY_MSEC", milliseconds}};
  };
  const Env alsa = {{"AO_RECORDER_DRIVER_NAME", "alsa"}};
  const Env wmm = {{"AO_RECORDER_DRIVER_NAME", "wmm"}};
  struct Case {
    std::size_t records;
    int rate;
    std::vector<std::uint32_t> plays;
    Env env;
    std::uint32_t lead = 0;  // frames of silence before the stream
    std::uint32_t end = 0;   // and after it
    std::string options = "options=null";
  };
  const std::vector<Case> cases = {
      {0, 44100, {}, {}},
      {1024, 48000, plays(1, 0), {}},
      {1025, 96000, plays(1, 4), {}},
      {3000, 193000, plays(2, 3808), split},
      {30000, 192000, plays(29, 1216), large},
      // A stream far shorter than the user's buffer, then the silence after
      // which the driver drains; a short buffer, then two of PipeWire's
      // cycles; a longer one, then half of it.
      {4410, 44100, plays(4, 1256) + silence(46305), pulse("300000"), 0, 46305,
       "options=null PULSE_LATENCY_MSEC=23777"},
      {1025, 48000, plays(1, 4) + silence(2256), pulse("1"), 0, 2256,
       "options=null PULSE_LATENCY_MSEC=1"},
      {1025, 96000, plays(1, 4) + silence(9600), pulse("200"), 0, 9600,
       "options=null PULSE_LATENCY_MSEC=200"},
      {0, 193000, silence(5790), alsa, 0, 5790,
       "options=buffer_time=80,dev=default"},
      {1025, 51200, silence(1024) + plays(1, 4) + silence(1536), alsa, 1024,
       1536, "options=buffer_time=80,dev=default"},
      {1025, 48000, plays(1, 4) + silence(9600) + silence(127), wmm, 0, 9727},
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
    EXPECT_EQ(calls(), calls_of_run(c.rate, c.plays, 0, "1", c.options))
        << name;
    EXPECT_TRUE(played() == std::string(c.lead * 4, '\0') +
                                reference_frames(data) +
                                std::string(c.end * 4, '\0'))
        << name;
  }
}

// A device that fails to play, in a block, at the end, in the silence before
// or after, or to close, is an error; the device is closed all the same.
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
       plays(0, 40) + plays(2, 0),
       1,
       "1",
       "options=null PULSE_LATENCY_MSEC=80"},
      {"close", {{"AO_RECORDER_FAIL_CLOSE", "1"}}, 1024, plays(1, 0), 0, "0"},
      {"lead",
       {{"AO_RECORDER_FAIL_PLAY", "1"}, {"AO_RECORDER_DRIVER_NAME", "alsa"}},
       5000,
       silence(882),
       1,
       "1",
       "options=buffer_time=80,dev=default"},
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
// producer cannot drain while the next block fills, unless the user sets a
// readable one: PULSE_LATENCY_MSEC for the pulse driver, or buffer_time in
// libao's configuration, which reaches the pulse driver as
// PULSE_LATENCY_MSEC since libao would compute it in 32 bits. The alsa
// driver is asked for ALSA's default device unless the configuration names
// one (dev=) or a card (id=). A buffer longer than the servers hold is asked
// as the longest they hold. Where the last sink the configuration names
// (sink=, dev=, id=) is "default", the pulse driver is given the user's own:
// the last other sink named, else PULSE_SINK, else the server's default.
TEST_F(PlaybackTest, AsksForALiveBufferAndDeviceUnlessTheUserSetsThem) {
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
      {"pulse",
       192000,
       "buffer_time=300\n",
       {},
       "options=null PULSE_LATENCY_MSEC=300"},
      {"pulse",
       44100,
       "buffer_time=300\n",
       {{"PULSE_LATENCY_MSEC", "25"}},
       "options=null PULSE_LATENCY_MSEC=25"},
      {"pulse",
       192000,
       "",
       {{"PULSE_LATENCY_MSEC", ""}},
       "options=null PULSE_LATENCY_MSEC=80"},
      {"pulse",
       44100,
       "buffer_time=700\nbuffer_time=x\n",
       {{"PULSE_LATENCY_MSEC", "abc"}},
       "options=null PULSE_LATENCY_MSEC=700"},
      {"pulse",
       44100,
       "",
       {{"PULSE_LATENCY_MSEC", "-5"}},
       "options=null PULSE_LATENCY_MSEC=80"},
      {"pulse",
       44100,
       "",
       {{"PULSE_LATENCY_MSEC", "0"}},
       "options=null PULSE_LATENCY_MSEC=80"},
      {"alsa", 44100, "", {}, "options=buffer_time=80,dev=default"},
      {"alsa",
       193000,
       "#buffer_time=5\n#dev=front\n",
       {},
       "options=buffer_time=80,dev=default"},
      {"alsa",
       48000,
       " buffer_time= 60 \n dev=hw:1,0\n",
       {},
       "options=buffer_time=60"},
      {"alsa",
       48000,
       "buffer_time=5000\nbuffer_time=\nid=1\n",
       {},
       "options=buffer_time=5000"},
      {"alsa",
       44100,
       "buffer_time =9\ndev =front\ndevice=front\n",
       {{"PULSE_LATENCY_MSEC", "25"}},
       "options=buffer_time=80,dev=default PULSE_LATENCY_MSEC=25"},
      {"alsa",
       96000,
       "buffer_time=99999999999\n",
       {},
       "options=buffer_time=10922,dev=default"},
      {"pulse",
       44100,
       "dev=default\n",
       {{"PULSE_SINK", ""}},
       "options=dev=@DEFAULT_SINK@ PULSE_LATENCY_MSEC=80"},
      {"pulse",
       44100,
       "dev=default\n",
       {{"PULSE_SINK", "other"}},
       "options=dev=other PULSE_LATENCY_MSEC=80"},
      {"pulse",
       48000,
       "sink=mine\n id=default \r\ndev=default\n",
       {{"PULSE_SINK", "other"}},
       "options=dev=mine PULSE_LATENCY_MSEC=80"},
      {"pulse",
       48000,
       "dev=default\nsink=mine\ndevice=default\n",
       {},
       "options=null PULSE_LATENCY_MSEC=80"},
      {"alsa", 44100, "sink=front\n", {}, "options=buffer_time=80,dev=default"},
      {"alsa", 44100, "dev=default\n", {}, "options=buffer_time=80"},
      {"alsa", 44100, "=front\n", {}, "options=buffer_time=80,dev=default"},
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
