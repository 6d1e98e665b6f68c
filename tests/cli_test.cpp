// SPDX-License-Identifier: GPL-2.0-or-later
// Copyright 2026 pcmtap maintainers
// The command line, the messages and the exit statuses of the built binary.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>

#include "pcmtap_fixture.h"
#include "stream_data.h"

namespace {

using CliTest = PcmtapTest;

// The usage with the live drivers of this machine, as libao lists them; the
// fixture's configuration makes null the default.
std::string expected_usage() {
  std::string usage =
      "usage: pcmtap AUDIO_ID < STREAM\n"
      "       pcmtap -h | --help | --version\n"
      "\n"
      "Plays the raw stdin data stream on standard input through the libao\n"
      "live driver AUDIO_ID: a driver's name from the list below, or its\n"
      "number. Names are the same on every machine; numbers change with the\n"
      "drivers that load. -1 is libao's default driver.\n"
      "\n"
      "Live drivers on this machine (number, name, description):\n";
  ao_initialize();
  for (int id = 0; ao_driver_info(id) != nullptr; ++id) {
    const ao_info& info = *ao_driver_info(id);
    if (info.type != AO_TYPE_LIVE) continue;
    std::string name = info.name;
    while (name.ends_with(' ')) name.pop_back();
    std::array<char, 160> line{};
    std::snprintf(
        line.data(), line.size(), "  %3d  %-8s %s%s\n", id, info.short_name,
        name.c_str(),
        std::string_view(info.short_name) == "null" ? "  (default)" : "");
    usage += line.data();
  }
  ao_shutdown();
  return usage;
}

// Header failures end the run before libao is touched, whether each field
// arrives in one read or split across reads of 5 bytes, each first
// interrupted by a signal.
TEST_F(CliTest, HeaderFailuresFollowTheAnnouncementWithoutTouchingLibao) {
  const std::string magic = le64(0x23583579);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "pcmtap: cannot read stdin data\n"},
      {"y5X#", "pcmtap: cannot read stdin data\n"},
      {std::string("y5X#\1\0\0\0", 8) + le64(44100) + le64(0),
       "pcmtap: raw stdin data file not detected\n"},
      {std::string("\0\0\0\0#X5y", 8),
       "pcmtap: raw stdin data file not detected\n"},
      {magic, "pcmtap: cannot read sample rate\n"},
      {magic + "\x44\xac", "pcmtap: cannot read sample rate\n"},
      {magic + le64(44099),
       "pcmtap: bad sample rate specified in input stream: 44099\n"},
      {magic + le64(-1),
       "pcmtap: bad sample rate specified in input stream: -1\n"},
      {magic + le64(193001) + le64(0) + stream_records(10),
       "pcmtap: bad sample rate specified in input stream: 193001\n"},
      {magic + le64(44100) + "1234567",
       "pcmtap: cannot read aux control data\n"},
  };
  const std::vector<Env> ways = {
      {},
      {{"AO_RECORDER_READ_MAX", "5"},
       {"AO_RECORDER_READ_ERRNO", std::to_string(EINTR)}}};
  for (const Env& way : ways) {
    for (const auto& [input, message] : cases) {
      const ProcessResult result = run({"2"}, input, way);
      EXPECT_EQ(result.status, 1) << message;
      EXPECT_EQ(result.err, "Opening audio id: 2\n" + message);
      EXPECT_EQ(result.out, "");
    }
  }
  EXPECT_TRUE(calls().empty());
}

// Standard streams that real pipelines hand over: every byte that arrives on
// a stream is played, what is not a byte stream is refused unread, and a
// standard error that is closed or whose reader has gone costs no audio.
TEST_F(CliTest, StandardStreamsOfEveryKind) {
  const std::string first = stream_records(1024, 3);
  const std::string rest = stream_records(500, 4);
  const int fifo = played_fifo();

  // A non-blocking pipe fed late: the test writes more only once pcmtap has
  // played the first block and waits in poll(2), so it has found the pipe
  // empty; the recorder aborts a pcmtap that reads it empty twice in a row.
  // Every read and every wait is first interrupted by a signal.
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  ASSERT_EQ(fcntl(fds[0], F_SETFL, O_NONBLOCK), 0);
  Process nonblocking(command({"-1"}),
                      env({{"AO_RECORDER_READ_ERRNO", std::to_string(EINTR)}}),
                      fds[0]);
  close(fds[0]);
  ASSERT_EQ(write(fds[1], (stream_header() + first).data(), 24 + 6144), 6168);
  EXPECT_EQ(read_exactly(fifo, 4096, nonblocking), reference_frames(first));
  const std::string wchan = "/proc/" + std::to_string(nonblocking.pid()) +
                            "/wchan";  // where the kernel has it sleep
  wait_for([&] {
    return nonblocking.exited() ||
           read_file(wchan).find("poll") != std::string::npos;
  });
  ASSERT_EQ(write(fds[1], (rest + "ab").data(), 3002), 3002);
  close(fds[1]);
  EXPECT_EQ(read_exactly(fifo, 2000, nonblocking), reference_frames(rest));
  const ProcessResult result = nonblocking.wait();
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "Opening audio id: -1\n");

  // A stream socket, with standard error closed: it is /dev/null while
  // pcmtap runs, so no file libao opens can take its number.
  int stream[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, stream), 0);
  Process no_stderr(command({"-1"}), env(), stream[0], true);
  close(stream[0]);
  ASSERT_EQ(send(stream[1], (stream_header() + first).data(), 6168, 0), 6168);
  EXPECT_EQ(read_exactly(fifo, 4096, no_stderr), reference_frames(first));
  const std::string fd2 = "/proc/" + std::to_string(no_stderr.pid()) + "/fd/2";
  std::string target(64, '\0');
  target.resize(std::max<ssize_t>(
      0, readlink(fd2.c_str(), target.data(), target.size())));
  EXPECT_EQ(target, "/dev/null");
  close(stream[1]);
  EXPECT_EQ(no_stderr.wait().status, 0);
  close(fifo);

  // A datagram socket: not read at all.
  int datagram[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, datagram), 0);
  ASSERT_EQ(send(datagram[1], stream_header().data(), 24, 0), 24);
  const ProcessResult refused =
      Process(command({"-1"}), env(), datagram[0]).wait();
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err,
            "Opening audio id: -1\npcmtap: cannot read stdin data\n");
  char unread[64];
  EXPECT_EQ(recv(datagram[0], unread, sizeof unread, MSG_DONTWAIT), 24);
  close(datagram[0]);
  close(datagram[1]);

  // A standard error whose reader has gone: the announcement's write fails
  // and pcmtap plays on.
  reset_recording();
  int gone[2];
  ASSERT_EQ(pipe2(gone, O_CLOEXEC), 0);
  close(gone[0]);
  const std::string data = stream_records(1500);
  write_file(scratch.file("stream"), stream_header() + data);
  const int input = open(scratch.file("stream").c_str(), O_RDONLY | O_CLOEXEC);
  const ProcessResult orphaned =
      Process({"sh", "-c", "exec \"$0\" -1 2>&1", binary()}, env(), input,
              false, gone[1])
          .wait();
  close(input);
  close(gone[1]);
  EXPECT_EQ(orphaned.status, 0);
  EXPECT_TRUE(played() == reference_frames(data));
}

// Each way of calling pcmtap: what it writes, its status and what it plays.
// "$0" is pcmtap in each command line.
TEST_F(CliTest, CommandLinesAndTheirResults) {
  struct Case {
    std::string command;
    std::string input;
    int status;
    std::string out;
    std::string err;
    std::string played;
  };
  const std::string records = stream_records(1500);
  const std::string frames = reference_frames(records);
  const std::string usage = expected_usage();
  const std::string full = "pcmtap: write error: No space left on device\n";
  const std::string wav = std::to_string(driver_id("wav"));
  std::vector<Case> cases = {
      {"\"$0\" -1 7 --help ''", stream_header() + records, 0, "",
       "Opening audio id: -1\n", frames},
      {"\"$0\" -1", stream_header(), 0, "", "Opening audio id: -1\n", ""},
      // Some embedded and container setups give a process a small stack.
      {"ulimit -s 64 && exec \"$0\" -1", stream_header() + records, 0, "",
       "Opening audio id: -1\n", frames},
      {"\"$0\" --version 2", stream_header(), 0, "pcmtap " PCMTAP_VERSION "\n",
       "", ""},
      {"\"$0\" -h", "", 0, usage, "", ""},
      {"\"$0\" --help", "", 0, usage, "", ""},
      {"\"$0\"", stream_header() + records, 1, "", usage, ""},
      {"exec \"$0\" -h >/dev/full", "", 1, "", full, ""},
      {"exec \"$0\" --help >/dev/full", "", 1, "", full, ""},
      {"exec \"$0\" --version >/dev/full", "", 1, "", full, ""},
      // A closed standard output is given /dev/null, which takes the text.
      {"exec \"$0\" --version >&-", "", 0, "", "", ""},
  };
  // Line-buffered, the usage's writes fail line by line and the close has
  // nothing left to write: the reason is still the failed write's. stdbuf
  // preloads a library of the build machine's architecture, which a pcmtap
  // under qemu-user (PCMTAP_TESTS_FOREIGN) cannot load.
  if (std::getenv("PCMTAP_TESTS_FOREIGN") == nullptr)
    cases.push_back(
        {"exec stdbuf -oL \"$0\" --help >/dev/full", "", 1, "", full, ""});
  // Standard input closed, a directory, or empty.
  for (const std::string input : {"<&-", "</", "</dev/null"})
    cases.push_back({"exec \"$0\" -1 " + input, "", 1, "",
                     "Opening audio id: -1\npcmtap: cannot read stdin data\n",
                     ""});
  // A trailing partial record is dropped.
  for (const std::string extra : {"\x7f", "ab", "abc", "abcd", "abcde"})
    cases.push_back({"\"$0\" -1", stream_header() + records + extra, 0, "",
                     "Opening audio id: -1\n", frames});
  // Drivers that cannot play live: a file driver by number and by name, a
  // libao plugin that never loads on Linux, ids that name no driver.
  for (const std::string& id :
       {wav, std::string("wav"), std::string("sun"), std::string("1000"),
        std::string("99999999999999")})
    cases.push_back({"\"$0\" " + id, stream_header() + records, 1, "",
                     "Opening audio id: " + id + "\nError opening device.\n",
                     ""});
  for (const Case& c : cases) {
    reset_recording();
    const ProcessResult result = run_shell(c.command, c.input);
    EXPECT_EQ(result.status, c.status) << c.command;
    EXPECT_EQ(result.out, c.out) << c.command;
    EXPECT_EQ(result.err, c.err) << c.command;
    EXPECT_TRUE(played() == c.played) << c.command;
  }
}

// A driver's short name, in any case, is that driver; every other text is
// read by atoi's rules, -1 being libao's default driver, whose id is used
// unchecked. With four descriptors libao loads none of its plugins: their
// names cannot open, rather than being read as driver 0.
TEST_F(CliTest, AudioIdIsADriverNameOrANumber) {
  const int null_id = driver_id("null");
  struct Case {
    std::string text;
    int driver;
    Env env;
    std::string limit;
  };
  std::vector<Case> cases = {
      {"null", null_id, {}, ""},
      {"NULL", null_id, {}, ""},
      {"pulse", driver_id("pulse"), {}, ""},
      {"nul", 0, {}, ""},
      {"", 0, {}, ""},
      {"abc", 0, {}, ""},
      {std::to_string(null_id) + "x", null_id, {}, ""},
      {"99999999999999", INT_MAX, {}, ""},
      {"-1", null_id, {}, ""},
      {"-1", -1, {{"AO_RECORDER_DEFAULT_ID", "-1"}}, ""},
      {"null", 0, {}, "ulimit -n 4 && "},
      {"ALSA", -1, {}, "ulimit -n 4 && "},
  };
  for (const char* plugin :
       {"aixs", "alsa", "arts", "esd", "irix", "macosx", "nas", "oss", "pulse",
        "roar", "sndio", "sun", "wmm"})
    cases.push_back({plugin, -1, {}, "ulimit -n 4 && "});
  for (const Case& c : cases) {
    reset_recording();
    const ProcessResult result = run_shell(
        c.limit + "exec \"$0\" '" + c.text + "'", stream_header(), c.env);
    EXPECT_EQ(result.err.rfind("Opening audio id: " + c.text + "\n", 0), 0u);
    const auto opens = calls("ao_open_live");
    ASSERT_EQ(opens.size(), 1u) << c.limit << c.text;
    EXPECT_EQ(opens[0].rfind(
                  "ao_open_live driver=" + std::to_string(c.driver) + " ", 0),
              0u)
        << c.limit << c.text << ": " << opens[0];
  }
}

}  // namespace
