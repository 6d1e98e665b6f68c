// libFuzzer target: decodes a stream the way pcmtap does, the header first,
// then the records arriving in pieces of fuzzer-chosen sizes, and checks the
// frames against a plain reference unpacking.
//
// Input layout (as FuzzedDataProvider takes it): the stream bytes first, the
// piece sizes from the end. A producer thread writes the pieces to a stream
// socket while the reader reads, so reads mostly end where pieces do.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <thread>
#include <vector>

#include "raw_stream.h"

namespace {

void require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "mismatch: %s\n", what);
    std::abort();
  }
}

std::vector<std::uint8_t> reference_frames(
    const std::vector<std::uint8_t>& records) {
  std::vector<std::uint8_t> frames;
  for (std::size_t i = 0; i + 6 <= records.size(); i += 6) {
    frames.push_back(records[i + 1]);
    frames.push_back(records[i + 2]);
    frames.push_back(records[i + 4]);
    frames.push_back(records[i + 5]);
  }
  return frames;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  FuzzedDataProvider provider(data, size);
  std::vector<std::size_t> piece_sizes(
      provider.ConsumeIntegralInRange<std::size_t>(1, 16));
  for (std::size_t& piece : piece_sizes)
    piece = provider.ConsumeIntegralInRange<std::size_t>(1, 65536);
  const std::vector<std::uint8_t> stream =
      provider.ConsumeRemainingBytes<std::uint8_t>();

  int sockets[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, sockets) != 0) std::abort();
  std::thread producer([&] {
    std::size_t offset = 0;
    for (std::size_t i = 0; offset < stream.size(); ++i) {
      const std::size_t piece =
          std::min(piece_sizes[i % piece_sizes.size()], stream.size() - offset);
      // The reader stops early on a bad header: no SIGPIPE then.
      if (send(sockets[1], stream.data() + offset, piece, MSG_NOSIGNAL) !=
          static_cast<ssize_t>(piece))
        break;
      offset += piece;
    }
    close(sockets[1]);
  });

  RawStreamReader reader(sockets[0]);
  const HeaderCheck header = reader.read_header();
  const HeaderCheck expected = check_header(stream, true);
  const bool whole_header = stream.size() >= header_size;
  require(header.status == (expected.status == HeaderCheck::Status::invalid
                                ? HeaderCheck::Status::invalid
                                : HeaderCheck::Status::valid),
          "header status");
  require(header.message == expected.message, "header message");
  require(expected.status != HeaderCheck::Status::valid || whole_header,
          "a short header accepted");

  if (header.status == HeaderCheck::Status::valid) {
    require(header.rate >= min_rate && header.rate <= max_rate,
            "rate in range");
    std::vector<std::uint8_t> frames;
    for (auto piece = reader.read_frames(); !piece.empty();
         piece = reader.read_frames())
      frames.insert(frames.end(), piece.begin(), piece.end());
    require(reader.read_error() == 0, "read error");
    const std::vector<std::uint8_t> records(stream.begin() + header_size,
                                            stream.end());
    require(frames == reference_frames(records), "frames");
  }
  close(sockets[0]);  // the producer may still be blocked on a full socket
  producer.join();
  return 0;
}
