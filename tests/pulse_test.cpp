// pcmtap through libao's pulse driver into a private PulseAudio server, with
// what the server played recorded from its null sink's monitor.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "pcmtap_fixture.h"
#include "pulse_server.h"
#include "stream_data.h"

namespace {

class PulseTest : public PcmtapTest {
 protected:
  void SetUp() override {
    if (!PulseServer::installed())
      GTEST_SKIP() << "pulseaudio is not installed";
  }

  // pcmtap with the pulse driver, sent to `server`.
  Process start_pcmtap(const PulseServer& server, int stdin_fd) const {
    return Process(command({std::to_string(driver_id("pulse"))}),
                   env(server.client_env()), stdin_fd);
  }

  int stream_file(const std::string& content) const {
    write_file(scratch.file("stream"), content);
    return open(scratch.file("stream").c_str(), O_RDONLY | O_CLOEXEC);
  }
};

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
      .count();
}

TEST_F(PulseTest, EverySampleArrivesUnchangedInRealTime) {
  for (const int rate : {44100, 48000, 96000, 192000, 193000}) {
    PulseServer server(rate);
    ASSERT_TRUE(server.running()) << rate;
    // A low-latency recorder keeps the null sink awake and close to real
    // time. An idle sink takes up to two seconds to notice it: wait until
    // the recording runs.
    Process recorder(
        {"parec", "--raw", "--latency-msec=10",
         "--device=" + std::string(PulseServer::sink) + ".monitor",
         "--rate=" + std::to_string(rate), "--format=s16le", "--channels=2"},
        server.client_env());
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (recorder.output_size() < static_cast<std::size_t>(rate) / 10 * 4 &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));

    // A quarter second of silence while the sink wakes, then 3 s of varied
    // samples.
    const std::string silence(static_cast<std::size_t>(rate) / 4 * 6, '\0');
    const std::string samples = stream_records(3 * rate, rate);
    const double duration = 3.25;
    const int input = stream_file(stream_header(rate) + silence + samples);
    const auto start = std::chrono::steady_clock::now();
    Process pcmtap = start_pcmtap(server, input);
    close(input);
    const ProcessResult played = pcmtap.wait(30);
    const double elapsed = seconds_since(start);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const ProcessResult recorded = recorder.stop();

    EXPECT_EQ(played.status, 0) << rate << ": " << played.err;
    EXPECT_GE(elapsed, duration - 0.05) << rate;
    EXPECT_LE(elapsed, duration + 1.5) << rate;
    const std::string expected = reference_frames(samples);
    const std::size_t begin = recorded.out.find(expected.substr(0, 64));
    ASSERT_NE(begin, std::string::npos)
        << rate << ": the samples never arrived; recorded "
        << recorded.out.size() << " bytes, the first sound at byte "
        << recorded.out.find_first_not_of('\0');
    EXPECT_EQ(begin % 4, 0u);
    EXPECT_TRUE(recorded.out.compare(begin, expected.size(), expected) == 0)
        << rate << ": the recording differs from the stream";
  }
}

TEST_F(PulseTest, AServerThatDiesMidStreamIsAnError) {
  PulseServer server(44100);
  ASSERT_TRUE(server.running());
  const int input = stream_file(stream_header() + stream_records(10 * 44100));
  Process pcmtap = start_pcmtap(server, input);
  close(input);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  server.kill_now();
  const auto killed = std::chrono::steady_clock::now();
  const ProcessResult result = pcmtap.wait(20);
  EXPECT_LT(seconds_since(killed), 5.0);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err,
            "Opening audio id: " + std::to_string(driver_id("pulse")) +
                "\npcmtap: error playing audio\n");
}

TEST_F(PulseTest, NoServerMeansTheDeviceDoesNotOpen) {
  PulseServer server(44100);
  server.kill_now();
  const int input = stream_file(stream_header() + stream_records(100));
  const ProcessResult result = start_pcmtap(server, input).wait(20);
  close(input);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err,
            "Opening audio id: " + std::to_string(driver_id("pulse")) +
                "\nError opening device.\n");
}

}  // namespace
