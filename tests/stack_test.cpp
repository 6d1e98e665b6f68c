// SPDX-License-Identifier: GPL-2.0-or-later
// Copyright 2026 pcmtap maintainers
// pcmtap through the stacks users play on: libao's pulse driver into
// PulseAudio and into PipeWire's PulseAudio server, each recorded from its
// null sink, and libao's alsa driver into alsa-lib's file plugin.
#include <fcntl.h>
#include <sys/stat.h>
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

// The servers of this machine among `wanted`; the others are named on
// standard output.
std::vector<std::string> installed_servers(
    std::initializer_list<const char*> wanted = {"pulseaudio", "pipewire"}) {
  std::vector<std::string> kinds;
  for (const std::string kind : wanted) {
    if (SoundServer::installed(kind))
      kinds.push_back(kind);
    else if (tools_needed())
      ADD_FAILURE() << kind << " is not installed";
    else
      std::cout << kind << " is not installed: not tested\n";
  }
  return kinds;
}

// Every frame arrives unchanged and in order, the tail included: through the
// pulse driver at each rate, through a buffer too short for one of
// PipeWire's cycles and one far longer than the stream, into the sink the
// user named where "default" in ~/.libao would name another, and through the
// alsa driver into ALSA's default device, which plays into the server as on a
// desktop (PipeWire's ALSA plugin, alsa-lib's pulse plugin). On a busy machine
// a real-time server or its recorder may fall behind: it pads or skips frames
// in both channels or in one, loses the first or last cycle, or does not start.
// Such an attempt proves nothing either way and is tried again, until a capture
// is exact; a case with no exact capture in `max_attempts` fails, and so does
// one with frames that are not the stream's.
TEST_F(StackTest, EveryFrameArrivesThroughEachServerAtEachRate) {
  // Wine's audio is proven into PipeWire's PulseAudio server. PulseAudio
  // itself resamples Wine 10's stream even at the sink's own rate, which
  // changes the samples before they reach the sink.
  const bool under_wine = std::getenv("PCMTAP_UNDER_TEST") != nullptr;
  const auto kinds =
      under_wine ? installed_servers({"pipewire"}) : installed_servers();
  ASSERT_FALSE(kinds.empty()) << "no sound server installed";
  constexpr int max_attempts = 12;
  struct Case {
    std::string audio_id;  // by name, as users choose it
    int rate;
    int frames;
    Env env = {};
    bool piped = false;  // else from a file
    std::string libao = {};
    bool default_elsewhere = false;  // the server's default is another sink
  };
  std::vector<Case> cases;
  if (under_wine) {
    // pcmtap.exe: the wmm driver through Wine's PulseAudio client.
    for (const int rate : rates)
      for (const bool piped : {false, true})
        cases.push_back({"wmm", rate, rate, {}, piped});
  } else {
    for (const int rate : rates) cases.push_back({"pulse", rate, rate});
    // 4410 frames end off the cycles of 1024 frames.
    cases.push_back({"pulse", 44100, 4410, {{"PULSE_LATENCY_MSEC", "2"}}});
    cases.push_back({"pulse", 44100, 4410, {}, false, "buffer_time=300000\n"});
    cases.push_back({"pulse", 48000, 48000, {}, true});
    // "default" in ~/.libao, where the server's default is another sink.
    const std::string named = "sink=" + std::string(SoundServer::sink) + "\n";
    for (const std::string& libao : {std::string(), named})
      cases.push_back({"pulse",
                       44100,
                       4410,
                       {{"PULSE_SINK", libao.empty() ? SoundServer::sink : ""}},
                       false,
                       libao + "dev=default\n",
                       true});
    cases.push_back({"alsa", 44100, 44100});
    cases.push_back({"alsa", 192000, 96000});
    cases.push_back({"alsa", 48000, 4800, {}, false, "buffer_time=300000\n"});
  }
  // The HOME of the alsa driver, where ALSA's default device is the server,
  // and of the pulse driver with a ~/.libao.
  const std::string alsa_home = scratch.file("alsa");
  mkdir(alsa_home.c_str(), 0700);
  for (const std::string& kind : kinds) {
    write_file(alsa_home + "/.asoundrc", SoundServer::alsa_config(kind));
    for (const Case& c : cases) {
      const std::string name =
          kind + ", " + c.audio_id + " at " + std::to_string(c.rate) + " Hz, " +
          std::to_string(c.frames) + " frames" +
          (c.piped ? " through a pipe" : " from a file") +
          (c.default_elsewhere ? ", default elsewhere" : "") + ", " + c.libao;
      const std::string silence(static_cast<std::size_t>(c.rate) / 20 * 6,
                                '\0');
      const std::string data =
          stream_records(static_cast<std::size_t>(c.frames), c.rate);
      const std::string frames = reference_frames(data);
      CaptureVerdict verdict{CaptureVerdict::Kind::disturbed, {}};
      int attempt = 0;
      while (verdict.kind != CaptureVerdict::Kind::exact &&
             verdict.kind != CaptureVerdict::Kind::mismatch &&
             ++attempt <= max_attempts) {
        const std::string tried =
            name + ", attempt " + std::to_string(attempt) + ": ";
        SoundServer server(kind, c.rate);
        if (!server.running()) {
          std::cout << tried << "the server did not start\n";
          continue;
        }
        if (c.default_elsewhere && !server.move_default_elsewhere()) {
          std::cout << tried << "the other sink did not become the default\n";
          continue;
        }
        SinkRecorder recorder(server, c.rate);
        if (!recorder.failure.empty()) {
          std::cout << tried << recorder.failure << "\n";
          continue;
        }
        Env env = server.client_env();
        if (c.audio_id == "alsa" || !c.libao.empty()) {
          env["HOME"] = alsa_home;
          write_file(alsa_home + "/.libao", c.libao);
        }
        for (const auto& [variable, value] : c.env) env[variable] = value;
        const std::string input = stream_header(c.rate) + silence + data;
        ProcessResult played;
        if (c.piped) {
          Process pcmtap(command({c.audio_id}), this->env(env));
          pcmtap.write(input);
          played = pcmtap.wait();
        } else {
          played = run({c.audio_id}, input, env);
        }
        ASSERT_EQ(played.status, 0) << name << ": " << played.err;
        verdict = compare_capture(
            frames, recorder.stop_after(static_cast<std::size_t>(c.rate) / 4));
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
// plays, with no clock, with or without a ~/.libao, and audio id -1 follows
// default_driver=alsa. The
// stream goes to ALSA's default device, where every ALSA program plays,
// unless the user names a device; without one, no "front" device is tried,
// which a machine without a sound card does not have. A ~/.asoundrc that
// alsa-lib cannot load is a device that does not open.
TEST_F(StackTest, TheAlsaDriverPlaysEveryByteIntoTheChosenDevice) {
  if (driver_id("alsa") < 0) {
    if (tools_needed()) FAIL() << "libao has no alsa driver here";
    GTEST_SKIP() << "libao has no alsa driver here";
  }
  const auto file_device = [&](const std::string& name) {
    return "pcm.!" + name + " { type file; slave.pcm \"null\"; file \"" +
           scratch.file(name) + "\"; format \"raw\" }\n";
  };
  struct Case {
    int rate;
    bool front;  // a "front" device, as a sound card has
    std::string audio_id;
    std::string libao;  // none at all when empty
    std::string played_into;
    int lead_ms;             // a quarter of the buffer, up to 20 ms
    bool malformed = false;  // "front" redefined without the '!'
  };
  const std::string alsa_default = "default_driver=alsa\n";
  std::vector<Case> cases;
  for (const int rate : rates)
    cases.push_back({rate, false, "alsa", "", "default", 20});
  cases.push_back({48000, true, "-1", alsa_default, "default", 20});
  cases.push_back({44100, true, "-1",
                   alsa_default + "dev=front\nbuffer_time=40\n", "front", 10});
  cases.push_back(
      {48000, false, "alsa", "buffer_time=300000\n", "default", 20});
  cases.push_back({44100, false, "-1", alsa_default, "", 0, true});
  cases.push_back({48000, false, "alsa", "", "", 0, true});
  for (const Case& c : cases) {
    const std::string name =
        std::to_string(c.rate) + " Hz, " + c.audio_id + ", " + c.libao;
    std::string asoundrc =
        file_device("default") + (c.front ? file_device("front") : "");
    if (c.malformed) asoundrc += file_device("front").erase(4, 1);
    write_file(scratch.file(".asoundrc"), asoundrc);
    std::remove(scratch.file(".libao").c_str());
    if (!c.libao.empty()) write_file(scratch.file(".libao"), c.libao);
    for (const char* device : {"default", "front", "calls"})
      std::remove(scratch.file(device).c_str());
    const std::string data = stream_records(c.rate / 2, c.rate);
    const ProcessResult result =
        run({c.audio_id}, stream_header(c.rate) + data);
    if (c.malformed) {
      // alsa-lib names the file; the driver is never opened.
      EXPECT_EQ(result.status, 1) << name;
      EXPECT_TRUE(result.err.starts_with("Opening audio id: " + c.audio_id +
                                         "\nALSA lib ") &&
                  result.err.ends_with("\nError opening device.\n"))
          << name << ": " << result.err;
      EXPECT_EQ(calls("ao_open_live"), std::vector<std::string>{}) << name;
      continue;
    }
    EXPECT_EQ(result.status, 0) << name;
    EXPECT_EQ(result.err, "Opening audio id: " + c.audio_id + "\n") << name;
    const auto silence = [&](int milliseconds) {
      return std::string(
          static_cast<std::size_t>(c.rate) * milliseconds / 1000 * 4, '\0');
    };
    EXPECT_TRUE(read_file(scratch.file(c.played_into)) ==
                silence(c.lead_ms) + reference_frames(data) + silence(30))
        << name;
    if (c.front) {
      const char* other = c.played_into == "front" ? "default" : "front";
      EXPECT_EQ(read_file(scratch.file(other)), "") << name;
    }
    EXPECT_EQ(
        calls("ao_open_live")
            .at(0)
            .rfind("ao_open_live driver=" + std::to_string(driver_id("alsa")),
                   0),
        0u);
  }
}

}  // namespace
