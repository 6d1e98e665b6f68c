// SPDX-License-Identifier: GPL-2.0-or-later
// The command line, the messages and the exit statuses of the built binary.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

#include "pcmtap_fixture.h"
#include "stream_data.h"

namespace {

using CliTest = PcmtapTest;

// Writes `data` in pieces of varied sizes that split fields and records.
void write_in_pieces(int fd, const std::string& data) {
  std::size_t piece = 1;
  for (std::size_t offset = 0; offset < data.size();
       piece = piece * 7 % 997 + 1) {
    const std::size_t size = std::min(piece, data.size() - offset);
    ASSERT_EQ(write(fd, data.data() + offset, size),
              static_cast<ssize_t>(size));
    offset += size;
  }
}

TEST_F(CliTest, HeaderFailuresFollowTheAnnouncementWithoutTouchingLibao) {
  const std::string magic = le64(0x23583579);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "pcmtap: cannot read stdin data\n"},
      {"y5X#", "pcmtap: cannot read stdin data\n"},
      {std::string("y5X#\1\0\0\0", 8) + le64(44100) + le64(0),
       "pcmtap: raw stdin data file not detected\n"},
      {magic, "pcmtap: cannot read sample rate\n"},
      {magic + le64(44099),
       "pcmtap: bad sample rate specified in input stream: 44099\n"},
      {magic + le64(-1),
       "pcmtap: bad sample rate specified in input stream: -1\n"},
      {magic + le64(193001) + le64(0) + stream_records(10),
       "pcmtap: bad sample rate specified in input stream: 193001\n"},
      {magic + le64(44100) + "1234567",
       "pcmtap: cannot read aux control data\n"},
  };
  for (const auto& [input, message] : cases) {
    const ProcessResult result = run({"2"}, input);
    EXPECT_EQ(result.status, 1) << message;
    EXPECT_EQ(result.err, "Opening audio id: 2\n" + message);
    EXPECT_EQ(result.out, "");
  }
  EXPECT_TRUE(calls().empty());
}

TEST_F(CliTest, UnreadableOrEmptyStandardInputIsReported) {
  const std::vector<std::pair<std::string, int>> inputs = {
      {"closed", Process::closed_stdin},
      {"directory", open(scratch.path().c_str(), O_RDONLY | O_CLOEXEC)},
      {"/dev/null", open("/dev/null", O_RDONLY | O_CLOEXEC)},
  };
  for (const auto& [name, fd] : inputs) {
    const ProcessResult result = Process(command({"-1"}), env(), fd).wait();
    if (fd >= 0) close(fd);
    EXPECT_EQ(result.status, 1) << name;
    EXPECT_EQ(result.err,
              "Opening audio id: -1\npcmtap: cannot read stdin data\n")
        << name;
  }
  EXPECT_TRUE(calls().empty());
}

// Standard inputs that real pipelines hand over: every byte that arrives on a
// stream is played, and what is not a byte stream is refused unread.
TEST_F(CliTest, OddStandardInputsArePlayedWholeOrRefused) {
  const std::string first = stream_records(1024, 3);
  const std::string rest = stream_records(500, 4);
  const int played = played_fifo();

  // A non-blocking pipe fed late and in pieces. The test waits for the first
  // block to be played before it writes more, so pcmtap finds the pipe empty.
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  ASSERT_EQ(fcntl(fds[0], F_SETFL, O_NONBLOCK), 0);
  Process nonblocking(command({"-1"}), env(), fds[0]);
  close(fds[0]);
  write_in_pieces(fds[1], stream_header() + first);
  EXPECT_EQ(read_exactly(played, 4096), reference_frames(first));
  write_in_pieces(fds[1], rest + "ab");
  close(fds[1]);
  EXPECT_EQ(read_exactly(played, 2000), reference_frames(rest));
  const ProcessResult result = nonblocking.wait();
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "Opening audio id: -1\n");

  // Started with standard error closed: it is /dev/null while pcmtap runs,
  // so no file libao opens can take its number.
  Process no_stderr(command({"-1"}), env(), -1, true);
  ASSERT_TRUE(no_stderr.write(stream_header() + first));
  EXPECT_EQ(read_exactly(played, 4096), reference_frames(first));
  const std::string fd2 = "/proc/" + std::to_string(no_stderr.pid()) + "/fd/2";
  std::string target(64, '\0');
  target.resize(std::max<ssize_t>(
      0, readlink(fd2.c_str(), target.data(), target.size())));
  EXPECT_EQ(target, "/dev/null");
  EXPECT_EQ(no_stderr.wait().status, 0);
  close(played);

  // A datagram socket: not read at all.
  int sockets[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, sockets), 0);
  const std::string header = stream_header();
  ASSERT_EQ(send(sockets[1], header.data(), header.size(), 0), 24);
  const ProcessResult datagram =
      Process(command({"-1"}), env(), sockets[0]).wait();
  EXPECT_EQ(datagram.status, 1);
  EXPECT_EQ(datagram.err,
            "Opening audio id: -1\npcmtap: cannot read stdin data\n");
  char unread[64];
  EXPECT_EQ(recv(sockets[0], unread, sizeof unread, MSG_DONTWAIT), 24);
  close(sockets[0]);
  close(sockets[1]);
}

TEST_F(CliTest, EndOfInputAfterWholeOrPartialRecordsIsSuccess) {
  const std::string records = stream_records(1500);
  for (std::size_t extra = 0; extra <= 5; ++extra) {
    std::remove(scratch.file("played").c_str());
    const ProcessResult result =
        run({"-1"}, stream_header() + records + std::string(extra, '\x7f'));
    EXPECT_EQ(result.status, 0) << extra;
    EXPECT_EQ(result.err, "Opening audio id: -1\n");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(played(), reference_frames(records)) << extra;
  }
  const ProcessResult empty = run({"-1"}, stream_header());
  EXPECT_EQ(empty.status, 0);
  EXPECT_EQ(empty.err, "Opening audio id: -1\n");
}

TEST_F(CliTest, ArgumentsAfterTheAudioIdAreIgnored) {
  const ProcessResult result =
      run({"-1", "7", "--help", ""}, stream_header() + stream_records(10));
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "Opening audio id: -1\n");
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(played(), reference_frames(stream_records(10)));
}

// A driver's short name is that driver; every other text is read by atoi's
// rules.
TEST_F(CliTest, AudioIdIsADriverNameOrANumber) {
  const int null_id = driver_id("null");
  const std::vector<std::pair<std::string, int>> cases = {
      {"null", null_id},
      {"nul", 0},
      {"null ", 0},
      {"abc", 0},
      {"", 0},
      {std::to_string(null_id) + "x", null_id},
      {" +" + std::to_string(null_id), null_id},
      {"99999999999999", INT_MAX},
      {"4294967295", INT_MAX},
      {"-99999999999999", INT_MIN},
  };
  for (const auto& [text, id] : cases) {
    std::remove(scratch.file("calls").c_str());
    const ProcessResult result = run({text}, stream_header());
    EXPECT_EQ(result.err.rfind("Opening audio id: " + text + "\n", 0), 0u);
    const auto opens = calls("ao_open_live");
    ASSERT_EQ(opens.size(), 1u) << text;
    EXPECT_EQ(
        opens[0].rfind("ao_open_live driver=" + std::to_string(id) + " ", 0),
        0u)
        << opens[0];
    EXPECT_TRUE(calls("ao_default_driver_id").empty()) << text;
  }
}

TEST_F(CliTest, DriversThatCannotPlayLiveGiveErrorOpeningDevice) {
  const std::string file_driver = std::to_string(driver_id("wav"));
  // sun is a libao plugin that never loads on Linux.
  for (const std::string& id :
       {file_driver, std::string("wav"), std::string("sun"),
        std::string("1000"), std::string("99999999999999")}) {
    const ProcessResult result = run({id}, stream_header() + stream_records(5));
    EXPECT_EQ(result.status, 1) << id;
    EXPECT_EQ(result.err,
              "Opening audio id: " + id + "\nError opening device.\n");
    EXPECT_EQ(result.out, "");
  }
  // The header is checked first.
  const ProcessResult bad_header = run({file_driver}, le64(0x23583579));
  EXPECT_EQ(bad_header.err, "Opening audio id: " + file_driver +
                                "\npcmtap: cannot read sample rate\n");
}

TEST_F(CliTest, NoArgumentListsTheLiveDriversWithoutReadingInput) {
  write_file(scratch.file("input"), stream_header() + stream_records(10));
  const int input = open(scratch.file("input").c_str(), O_RDONLY | O_CLOEXEC);
  ProcessResult result = Process(command({}), env(), input).wait();
  const off_t consumed = lseek(input, 0, SEEK_CUR);
  close(input);

  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(consumed, 0);
  EXPECT_NE(result.err.find("pcmtap AUDIO_ID < STREAM"), std::string::npos);
  EXPECT_NE(result.err.find("-1 is libao's default driver"), std::string::npos);
  const std::string null_line =
      std::to_string(driver_id("null")) + "  null     Null output  (default)\n";
  EXPECT_NE(result.err.find(null_line), std::string::npos) << result.err;
  EXPECT_EQ(result.err.find(" wav "), std::string::npos);  // a file driver
  EXPECT_TRUE(calls("ao_open_live").empty());
}

TEST_F(CliTest, HelpPrintsTheUsageOnStandardOutput) {
  const ProcessResult usage = run({}, "");
  for (const std::string flag : {"-h", "--help"}) {
    const ProcessResult result = run({flag}, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, usage.err);
  }
}

TEST_F(CliTest, FailedWritesOfStandardStreamsAreHandled) {
  // Line-buffered, the usage's writes fail line by line and the close has
  // nothing left to write: the reason is still the failed write's.
  for (const std::string command :
       {"\"$0\" -h", "\"$0\" --help", "\"$0\" --version",
        "stdbuf -oL \"$0\" --help"}) {
    const ProcessResult result = run_process(
        {"sh", "-c", "exec " + command + " >/dev/full", PCMTAP_BINARY}, env(),
        "");
    EXPECT_EQ(result.status, 1) << command;
    EXPECT_EQ(result.err, "pcmtap: write error: No space left on device\n")
        << command;
  }
  // A closed standard output is given /dev/null, which takes the text.
  const ProcessResult closed = run_process(
      {"sh", "-c", "exec \"$0\" --version >&-", PCMTAP_BINARY}, env(), "");
  EXPECT_EQ(closed.status, 0);
  EXPECT_EQ(closed.err, "");

  // A standard error whose reader has gone costs the messages, not the
  // stream: the announcement's write fails and pcmtap plays on.
  int gone[2];
  ASSERT_EQ(pipe2(gone, O_CLOEXEC), 0);
  close(gone[0]);
  const std::string data = stream_records(1500);
  write_file(scratch.file("stream"), stream_header() + data);
  const int input = open(scratch.file("stream").c_str(), O_RDONLY | O_CLOEXEC);
  const ProcessResult orphaned =
      Process({"sh", "-c", "exec \"$0\" -1 2>&1", PCMTAP_BINARY}, env(), input,
              false, gone[1])
          .wait();
  close(input);
  close(gone[1]);
  EXPECT_EQ(orphaned.status, 0);
  EXPECT_TRUE(played() == reference_frames(data));
}

// Some embedded and container setups give a process a small stack.
TEST_F(CliTest, PlaysWithA64KiBStack) {
  const std::string data = stream_records(3000);
  const ProcessResult result =
      run_process({"sh", "-c", "ulimit -s 64 && exec \"$0\" -1", PCMTAP_BINARY},
                  env(), stream_header() + data);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "Opening audio id: -1\n");
  EXPECT_EQ(played(), reference_frames(data));
}

TEST_F(CliTest, VersionIsPrintedOnStandardOutput) {
  const ProcessResult result = run({"--version", "2"}, stream_header());
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "pcmtap " PCMTAP_VERSION "\n");
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(calls().empty());
}

}  // namespace
