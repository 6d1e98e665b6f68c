// SPDX-License-Identifier: GPL-2.0-or-later
// pcmtap through the stacks users play on: libao's pulse driver into
// PulseAudio and into PipeWire's PulseAudio server, each recorded from its
// null sink, and libao's alsa driver into alsa-lib's file plugin.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>

#include "capture.h"
#include "pcmtap_fixture.h"
#include "sound_server.h"
#include "stream_data.h"

namespace {

using StackTest = PcmtapTest;

const std::vector<int> rates = {44100, 48000, 96000, 192000, 193000};

// scripts/test installs every server and sets PCMTAP_TESTS_NEED_TOOLS: there
// a stack that is missing fails the test instead of going untested.
bool tools_needed() {
  const char* value = std::getenv("PCMTAP_TESTS_NEED_TOOLS");
  return value != nullptr && *value != '\0';
}

// The servers of this machine; the others are named on standard output.
std::vector<std::string> installed_servers() {
  std::vector<std::string> kinds;
  for (const std::string kind : {"pulseaudio", "pipewire"}) {
    if (SoundServer::installed(kind))
      kinds.push_back(kind);
    else if (tools_needed())
      ADD_FAILURE() << kind << " is not installed";
    else
      std::cout << kind << " is not installed: not tested\n";
  }
  return kinds;
}

// Every frame arrives unchanged and in order, the tail included. On a busy
// machine a real-time server or its recorder may fall behind: it pads or
// skips frames in both channels or in one, loses the first or last cycle,
// or does not start. Such an attempt proves nothing either way and is tried
// again, until a capture is exact; a case with no exact capture in
// `max_attempts` fails, and so does one with frames that are not the
// stream's.
TEST_F(StackTest, EveryFrameArrivesThroughEachServerAtEachRate) {
  const auto kinds = installed_servers();
  ASSERT_FALSE(kinds.empty()) << "no sound server installed";
  constexpr int max_attempts = 12;
  const std::string pulse_id = "pulse";  // by name, as users choose it
  for (const std::string& kind : kinds) {
    for (const int rate : rates) {
      const std::string name = kind + " at " + std::to_string(rate) + " Hz";
      const std::string silence(static_cast<std::size_t>(rate) / 20 * 6, '\0');
      const std::string data = stream_records(rate, rate);
      const std::string frames = reference_frames(data);
      CaptureVerdict verdict{CaptureVerdict::Kind::disturbed, {}};
      int attempt = 0;
      while (verdict.kind != CaptureVerdict::Kind::exact &&
             verdict.kind != CaptureVerdict::Kind::mismatch &&
             ++attempt <= max_attempts) {
        const std::string tried =
            name + ", attempt " + std::to_string(attempt) + ": ";
        SoundServer server(kind, rate);
        if (!server.running()) {
          std::cout << tried << "the server did not start\n";
          continue;
        }
        SinkRecorder recorder(server, rate);
        if (!recorder.failure.empty()) {
          std::cout << tried << recorder.failure << "\n";
          continue;
        }
        const ProcessResult played =
            run({pulse_id}, stream_header(rate) + silence + data,
                server.client_env());
        ASSERT_EQ(played.status, 0) << name << ": " << played.err;
        verdict = compare_capture(
            frames, recorder.stop_after(static_cast<std::size_t>(rate) / 4));
        if (verdict.kind != CaptureVerdict::Kind::exact)
          std::cout << tried << verdict << "\n";
      }
      EXPECT_EQ(verdict.kind, CaptureVerdict::Kind::exact)
          << name << ": no exact capture in " << std::min(attempt, max_attempts)
          << " attempts; the last: " << verdict;
    }
  }
}

TEST_F(StackTest, AServerThatDiesOrIsMissingIsAnError) {
  const std::string pulse_id = "pulse";  // by name, as users choose it
  for (const std::string& kind : installed_servers()) {
    // Killed while pcmtap plays a live stream: the next block fails.
    auto server = std::make_unique<SoundServer>(kind, 44100);
    ASSERT_TRUE(server->running()) << kind;
    const auto client = server->client_env();
    const int played = played_fifo();
    Process pcmtap(command({pulse_id}), env(client));
    const std::string block = stream_records(1024);
    ASSERT_TRUE(pcmtap.write(stream_header() + block));
    EXPECT_EQ(read_exactly(played, 4096, pcmtap), reference_frames(block))
        << kind;
    server->kill_now();
    while (pcmtap.write(block)) {
    }
    const ProcessResult killed = pcmtap.wait();
    close(played);
    unlink(scratch.file("played").c_str());
    EXPECT_EQ(killed.status, 1) << kind;
    EXPECT_EQ(killed.err, "Opening audio id: " + pulse_id +
                              "\npcmtap: error playing audio\n")
        << kind;

    // No server at all: the device does not open.
    server.reset();
    const ProcessResult missing =
        run({pulse_id}, stream_header() + block, client);
    EXPECT_EQ(missing.status, 1) << kind;
    EXPECT_EQ(missing.err,
              "Opening audio id: " + pulse_id + "\nError opening device.\n")
        << kind;
  }
}

// alsa-lib's file plugin over the null device keeps what the alsa driver
// plays, with no clock, and audio id -1 follows default_driver=alsa.
TEST_F(StackTest, TheAlsaDriverPlaysEveryByte) {
  if (driver_id("alsa") < 0) {
    if (tools_needed()) FAIL() << "libao has no alsa driver here";
    GTEST_SKIP() << "libao has no alsa driver here";
  }
  const std::string capture = scratch.file("alsa.raw");
  write_file(scratch.file(".asoundrc"),
             "pcm.!default { type file; slave.pcm \"null\"; file \"" + capture +
                 "\"; format \"raw\" }\n");
  write_file(scratch.file(".libao"), "default_driver=alsa\ndev=default\n");
  for (const int rate : rates) {
    std::remove(capture.c_str());
    std::remove(scratch.file("calls").c_str());
    const std::string data = stream_records(rate / 2, rate);
    const ProcessResult result = run({"-1"}, stream_header(rate) + data);
    EXPECT_EQ(result.status, 0) << rate;
    EXPECT_EQ(result.err, "Opening audio id: -1\n") << rate;
    EXPECT_TRUE(read_file(capture) == reference_frames(data)) << rate;
    EXPECT_EQ(
        calls("ao_open_live")
            .at(0)
            .rfind("ao_open_live driver=" + std::to_string(driver_id("alsa")),
                   0),
        0u);
  }
}

}  // namespace
