// SPDX-License-Identifier: GPL-2.0-or-later
#include "capture.h"

#include <algorithm>

namespace {

constexpr std::size_t frame = 4;
constexpr std::size_t probe = 16 * frame;  // enough to match one place only
// A disturbance loses what arrived while the server or recorder fell behind:
// a second of frames at the most.
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

std::string frames_text(std::size_t bytes) {
  return std::to_string(bytes / frame) + " frames";
}

CaptureVerdict mismatch(std::size_t at, const std::string& what) {
  return {CaptureVerdict::Kind::mismatch,
          "at frame " + std::to_string(at / frame) + ": " + what};
}

}  // namespace

std::ostream& operator<<(std::ostream& out, CaptureVerdict::Kind kind) {
  switch (kind) {
    case CaptureVerdict::Kind::exact:
      return out << "exact";
    case CaptureVerdict::Kind::disturbed:
      return out << "disturbed";
    case CaptureVerdict::Kind::mismatch:
      return out << "mismatch";
  }
  return out;
}

std::ostream& operator<<(std::ostream& out, const CaptureVerdict& verdict) {
  return out << verdict.kind << (verdict.detail.empty() ? "" : ": ")
             << verdict.detail;
}

CaptureVerdict compare_capture(const std::string& frames,
                               const std::string& captured) {
  std::size_t sent = 0;
  std::size_t got = find_frame(captured, frames.substr(0, probe), 0);
  if (got == std::string::npos)
    return mismatch(0, "the first frames sent never arrived");
  CaptureVerdict disturbed{CaptureVerdict::Kind::disturbed, {}};
  while (sent < frames.size()) {
    const std::string missing =
        "the last " + frames_text(frames.size() - sent) + " never arrived";
    if (got >= captured.size())
      return mismatch(sent, "the capture ends; " + missing);
    if (captured.compare(got, frame, frames, sent, frame) == 0) {
      sent += frame;
      got += frame;
      continue;
    }
    std::size_t resumed = got;
    while (resumed < captured.size() && silent(captured, resumed))
      resumed += frame;
    if (resumed == captured.size())
      return mismatch(sent, "silence to the end; " + missing);
    // The frames after the silence, if any, up to the next silent frame: a
    // stream that resumes raggedly brings only a few before the next gap.
    std::size_t heard = resumed;
    while (heard < captured.size() && heard - resumed < probe &&
           !silent(captured, heard))
      heard += frame;
    std::size_t next =
        find_frame(frames, captured.substr(resumed, heard - resumed), sent);
    if (next != std::string::npos && next - sent > max_lost * frame)
      next = std::string::npos;  // too far on to be this stream going on
    const std::string after = resumed == got
                                  ? std::string("the capture holds ")
                                  : "after " + frames_text(resumed - got) +
                                        " of silence the capture holds ";
    if (next == std::string::npos) {
      const std::size_t earlier =
          find_frame(frames, captured.substr(resumed, heard - resumed), 0);
      return mismatch(
          sent, after + (earlier == std::string::npos
                             ? std::string("other frames")
                             : "frame " + std::to_string(earlier / frame) +
                                   " again"));
    }
    ++disturbed.gaps;
    disturbed.silent_frames += (resumed - got) / frame;
    disturbed.lost_frames += (next - sent) / frame;
    disturbed.detail +=
        (disturbed.detail.empty() ? "at frame " : "; at frame ") +
        std::to_string(sent / frame) + ": " + frames_text(resumed - got) +
        " of silence, " + frames_text(next - sent) + " skipped";
    sent = next;
    got = resumed;
  }
  if (disturbed.gaps == 0) return {CaptureVerdict::Kind::exact, {}};
  return disturbed;
}
