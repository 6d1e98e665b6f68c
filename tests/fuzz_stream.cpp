// SPDX-License-Identifier: GPL-2.0-or-later
// Copyright 2026 pcmtap maintainers
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
#include <string>
#include <thread>
#include <vector>

#include "raw_stream.h"
#include "stream_data.h"

namespace {

void require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "mismatch: %s\n", what);
    std::abort();
  }
}

// What the header of a whole stream must read as, from the format's own bytes
// and numbers rather than the code's: each field in turn, the first one short
// or failing its check decides.
Header expected_header(const std::string& stream) {
  if (stream.size() < 8) return {.status = HeaderStatus::magic_unread};
  if (stream.compare(0, 8, std::string("y5X#\0\0\0\0", 8)) != 0)
    return {.status = HeaderStatus::bad_magic};
  if (stream.size() < 16) return {.status = HeaderStatus::rate_unread};
  std::uint64_t bits = 0;
  for (int i = 15; i >= 8; --i)
    bits = (bits << 8) | static_cast<std::uint8_t>(stream[i]);
  const auto rate = static_cast<std::int64_t>(bits);
  if (rate < 44100 || rate > 193000)
    return {.status = HeaderStatus::bad_rate, .rate = rate};
  if (stream.size() < 24) return {.status = HeaderStatus::aux_unread};
  return {.status = HeaderStatus::valid, .rate = rate};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  FuzzedDataProvider provider(data, size);
  std::vector<std::size_t> piece_sizes(
      provider.ConsumeIntegralInRange<std::size_t>(1, 16));
  for (std::size_t& piece : piece_sizes)
    piece = provider.ConsumeIntegralInRange<std::size_t>(1, 65536);
  const std::string stream = provider.ConsumeRemainingBytesAsString();

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
  const Header header = reader.read_header();
  const Header expected = expected_header(stream);
  require(header.status == expected.status, "header status");
  require(header.rate == expected.rate, "header rate");

  if (header.status == HeaderStatus::valid) {
    std::string frames;
    for (auto piece = reader.read_frames(); !piece.empty();
         piece = reader.read_frames())
      frames.append(reinterpret_cast<const char*>(piece.data()), piece.size());
    require(reader.read_error() == 0, "read error");
    require(frames == reference_frames(stream.substr(24)), "frames");
  }
  close(sockets[0]);  // the producer may still be blocked on a full socket
  producer.join();
  return 0;
}
