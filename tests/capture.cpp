// SPDX-License-Identifier: GPL-2.0-or-later
#include "capture.h"

#include <algorithm>

namespace {

constexpr std::size_t frame = 4;
constexpr std::size_t probe = 16 * frame;  // enough to match one place only
// An underrun loses what arrived while the server played silence: a second
// of frames at the most.
constexpr std::size_t max_lost = 192000;

// The first frame-aligned place of `needle` in `haystack` from `from` on.
std::size_t find_frame(const std::string& haystack, const std::string& needle,
                       std::size_t from) {
  for (std::size_t at = haystack.find(needle, from); at != std::string::npos;
       at = haystack.find(needle, at + 1))
    if (at % frame == from % frame) return at;
  return std::string::npos;
}

bool silent(const std::string& data, std::size_t at) {
  return data.compare(at, frame, std::string(frame, '\0')) == 0;
}

CaptureVerdict mismatch(std::size_t at, const std::string& what) {
  return {CaptureVerdict::Kind::mismatch,
          "at frame " + std::to_string(at / frame) + ": " + what};
}

}  // namespace

CaptureVerdict compare_capture(const std::string& frames,
                               const std::string& captured) {
  std::size_t sent = 0;
  std::size_t got = find_frame(captured, frames.substr(0, probe), 0);
  if (got == std::string::npos)
    return mismatch(0, "the first frames sent never arrived");
  CaptureVerdict underrun{CaptureVerdict::Kind::underrun, "underrun"};
  while (sent < frames.size()) {
    if (got >= captured.size())
      return mismatch(sent, "the capture ends; the last " +
                                std::to_string((frames.size() - sent) / frame) +
                                " frames never arrived");
    if (captured.compare(got, frame, frames, sent, frame) == 0) {
      sent += frame;
      got += frame;
      continue;
    }
    std::size_t resumed = got;
    while (resumed < captured.size() && silent(captured, resumed))
      resumed += frame;
    if (resumed == got) return mismatch(sent, "a frame differs");
    if (resumed == captured.size())
      return mismatch(sent, "silence to the end; the last " +
                                std::to_string((frames.size() - sent) / frame) +
                                " frames never arrived");
    // The frames after the silence, up to the next silent frame: a stream
    // that resumes raggedly brings only a few frames before the next gap.
    std::size_t heard = resumed;
    while (heard < captured.size() && heard - resumed < probe &&
           !silent(captured, heard))
      heard += frame;
    std::size_t next =
        find_frame(frames, captured.substr(resumed, heard - resumed), sent);
    if (next != std::string::npos && next - sent > max_lost * frame)
      next = std::string::npos;  // too far on to be this stream resuming
    if (next == std::string::npos) {
      const std::size_t earlier =
          find_frame(frames, captured.substr(resumed, probe), 0);
      return mismatch(
          sent,
          "after " + std::to_string((resumed - got) / frame) +
              " silent frames the capture holds " +
              (earlier == std::string::npos
                   ? std::string("other frames")
                   : "frame " + std::to_string(earlier / frame) + " again"));
    }
    ++underrun.gaps;
    underrun.silent_frames += (resumed - got) / frame;
    underrun.lost_frames += (next - sent) / frame;
    underrun.detail += " at frame " + std::to_string(sent / frame) + ": " +
                       std::to_string((resumed - got) / frame) +
                       " silent frames, " +
                       std::to_string((next - sent) / frame) + " frames lost;";
    sent = next;
    got = resumed;
  }
  if (underrun.gaps == 0) return {CaptureVerdict::Kind::exact, {}};
  return underrun;
}
