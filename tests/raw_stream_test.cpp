#include "raw_stream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "stream_data.h"

namespace {

using namespace std::string_literals;

std::span<const std::uint8_t> bytes_of(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(CheckHeader, EndedStreamsGiveTheMessageOfTheFirstFailedCheck) {
  const std::string magic = le64(0x23583579);
  struct Case {
    std::string name;
    std::string bytes;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"empty", "", "pcmtap: cannot read stdin data\n"},
      {"7 bytes of magic", magic.substr(0, 7),
       "pcmtap: cannot read stdin data\n"},
      {"upper magic byte set", std::string("y5X#\x01\0\0\0", 8),
       "pcmtap: raw stdin data file not detected\n"},
      {"magic most significant byte first", std::string("\0\0\0\0#X5y", 8),
       "pcmtap: raw stdin data file not detected\n"},
      {"bad magic before a short rate", "RIFF\0\0\0\0\1"s,
       "pcmtap: raw stdin data file not detected\n"},
      {"magic only", magic, "pcmtap: cannot read sample rate\n"},
      {"magic and 7 rate bytes", magic + le64(44100).substr(0, 7),
       "pcmtap: cannot read sample rate\n"},
      {"rate 44099", magic + le64(44099),
       "pcmtap: bad sample rate specified in input stream: 44099\n"},
      {"rate 193001", magic + le64(193001),
       "pcmtap: bad sample rate specified in input stream: 193001\n"},
      {"rate 0", magic + le64(0),
       "pcmtap: bad sample rate specified in input stream: 0\n"},
      {"rate -1", magic + le64(-1),
       "pcmtap: bad sample rate specified in input stream: -1\n"},
      {"rate of 64-bit range", magic + le64(INT64_MIN),
       "pcmtap: bad sample rate specified in input stream: "
       "-9223372036854775808\n"},
      {"rate 2^32 + 44100", magic + le64((std::int64_t{1} << 32) + 44100),
       "pcmtap: bad sample rate specified in input stream: 4295011396\n"},
      {"no aux control data", magic + le64(48000),
       "pcmtap: cannot read aux control data\n"},
      {"7 aux bytes", magic + le64(48000) + "1234567",
       "pcmtap: cannot read aux control data\n"},
  };
  for (const Case& c : cases) {
    const HeaderCheck check = check_header(bytes_of(c.bytes), true);
    EXPECT_EQ(check.status, HeaderCheck::Status::invalid) << c.name;
    EXPECT_EQ(check.message, c.message) << c.name;
  }
}

TEST(CheckHeader, AcceptsEveryRateInRangeAndAnyAuxData) {
  for (const std::int64_t rate : {44100, 48000, 96000, 192000, 193000}) {
    const std::string header = stream_header(rate, 0x23583579, -1);
    const HeaderCheck check = check_header(bytes_of(header), false);
    EXPECT_EQ(check.status, HeaderCheck::Status::valid) << rate;
    EXPECT_EQ(check.rate, rate);
  }
}

TEST(CheckHeader, WaitsForMoreBytesOnlyWhileEveryFieldSoFarIsGood) {
  const std::string header = stream_header(48000);
  for (const std::size_t size : {0, 5, 8, 15, 16, 23}) {
    EXPECT_EQ(check_header(bytes_of(header.substr(0, size)), false).status,
              HeaderCheck::Status::incomplete)
        << size;
  }
  // A bad field is reported at once, without waiting for the next one.
  EXPECT_EQ(check_header(bytes_of(le64(7)), false).status,
            HeaderCheck::Status::invalid);
  EXPECT_EQ(check_header(bytes_of(le64(0x23583579) + le64(8000)), false).status,
            HeaderCheck::Status::invalid);
}

TEST(DecodeLe64, ReadsLeastSignificantByteFirst) {
  const std::uint8_t bytes[8] = {0x79, 0x35, 0x58, 0x23, 0, 0, 0, 0x80};
  EXPECT_EQ(decode_le64(std::span<const std::uint8_t, 8>(bytes)),
            static_cast<std::int64_t>(0x8000000023583579ull));
}

TEST(UnpackRecords, KeepsBytesOneTwoFourAndFiveUnchanged) {
  struct Case {
    std::string records;
    std::string frames;
  };
  const std::vector<Case> cases = {
      {"", ""},
      {"\x00\x34\x12\xFF\x78\x56"s, "\x34\x12\x78\x56"s},
      {"\xFF\xFF\x7F\x01\x00\x80"s, "\xFF\x7F\x00\x80"s},
      {"\x00\x34\x12\xFF\x78\x56\xAA\xBB"s, "\x34\x12\x78\x56"s},  // partial
      {std::string("\1\2\3\4\5\6\0\0\0\0\0\0", 12),
       std::string("\2\3\5\6\0\0\0\0", 8)},
  };
  for (const Case& c : cases) {
    std::string frames(c.records.size(), '?');
    const std::size_t size = unpack_records(
        bytes_of(c.records), reinterpret_cast<std::uint8_t*>(frames.data()));
    EXPECT_EQ(frames.substr(0, size), c.frames);
  }
  const std::string many = stream_records(5000);
  std::string frames(many.size(), '?');
  frames.resize(unpack_records(bytes_of(many),
                               reinterpret_cast<std::uint8_t*>(frames.data())));
  EXPECT_EQ(frames, reference_frames(many));
}

// The reader over a pipe fed in pieces that split records and header fields.
TEST(RawStreamReader, JoinsRecordsSplitAcrossReads) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const std::string records = stream_records(30000) + "abc";  // partial end
  const std::string stream = stream_header(96000) + records;
  std::thread producer([&] {
    std::size_t offset = 0;
    std::size_t piece = 1;
    while (offset < stream.size()) {
      const std::size_t size = std::min(piece, stream.size() - offset);
      if (write(fds[1], stream.data() + offset, size) < 0) break;
      offset += size;
      piece = piece * 7 % 70001 + 1;  // 1, 8, 57, 400, ... odd sizes
    }
    close(fds[1]);
  });
  RawStreamReader reader(fds[0]);
  const HeaderCheck header = reader.read_header();
  std::string frames;
  for (auto piece = reader.read_frames(); !piece.empty();
       piece = reader.read_frames())
    frames.append(reinterpret_cast<const char*>(piece.data()), piece.size());
  producer.join();
  close(fds[0]);
  EXPECT_EQ(header.status, HeaderCheck::Status::valid);
  EXPECT_EQ(header.rate, 96000);
  EXPECT_EQ(frames, reference_frames(records));
  EXPECT_EQ(reader.read_error(), 0);
}

TEST(RawStreamReader, ReportsTheErrnoOfAFailedRead) {
  const int directory = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  RawStreamReader reader(directory);
  EXPECT_TRUE(reader.read_frames().empty());
  EXPECT_EQ(reader.read_error(), EISDIR);
  close(directory);
}

}  // namespace
