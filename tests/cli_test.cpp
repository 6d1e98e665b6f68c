// The command line, the messages and the exit statuses of the built binary.
#include <fcntl.h>
#include <unistd.h>

#include <climits>

#include "pcmtap_fixture.h"
#include "stream_data.h"

namespace {

using CliTest = PcmtapTest;

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

TEST_F(CliTest, AudioIdTextBecomesTheDriverIdByAtoiRules) {
  const int null_id = driver_id("null");
  const std::vector<std::pair<std::string, int>> cases = {
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
  for (const std::string& id :
       {file_driver, std::string("1000"), std::string("99999999999999")}) {
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

TEST_F(CliTest, VersionIsPrintedOnStandardOutput) {
  const ProcessResult result = run({"--version", "2"}, stream_header());
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "pcmtap " PCMTAP_VERSION "\n");
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(calls().empty());
}

}  // namespace
