// SPDX-License-Identifier: GPL-2.0-or-later
// Copyright 2026 pcmtap maintainers
#include "capture.h"

#include <algorithm>

namespace {

constexpr std::size_t frame = 4;
constexpr std::size_t sample = 2;        // one channel's part of a frame
constexpr std::size_t probe_units = 16;  // enough to match one place only
constexpr std::size_t head_step = 256;   // where to look for a late start
// A disturbance loses what arrived while the server or recorder fell behind:
// a second of frames at the most.
constexpr std::size_t max_lost = 192000;

// Compares `sent` with `captured` in units of `unit` bytes: whole frames, or
// the samples of one channel.
class Comparison {
 public:
  Comparison(const std::string& sent, const std::string& captured,
             std::size_t unit)
      : sent(sent), captured(captured), unit(unit) {}

  CaptureVerdict run();
  std::size_t end = 0;  // where the last unit sent was found in the capture

 private:
  // The first unit-aligned place of `needle` in `haystack` from `from` on.
  std::size_t find(const std::string& haystack, const std::string& needle,
                   std::size_t from) const {
    for (std::size_t at = haystack.find(needle, from); at != std::string::npos;
         at = haystack.find(needle, at + 1))
      if (at % unit == from % unit) return at;
    return std::string::npos;
  }
  bool silent(std::size_t at) const {
    return captured.compare(at, unit, std::string(unit, '\0')) == 0;
  }
  std::string units(std::size_t bytes) const {
    return std::to_string(bytes / unit) +
           (unit == frame ? " frames" : " samples");
  }
  CaptureVerdict mismatch(std::size_t at, const std::string& what) const {
    return {CaptureVerdict::Kind::mismatch,
            "at frame " + std::to_string(at / unit) + ": " + what};
  }

  const std::string& sent;
  const std::string& captured;
  std::size_t unit;
};

CaptureVerdict Comparison::run() {
  const std::size_t probe = probe_units * unit;
  // Where the capture starts to hold the stream: a server that starts late
  // loses the first cycles.
  std::size_t at = 0;
  std::size_t got = std::string::npos;
  for (;
       at < std::min(sent.size(), max_lost * unit) && got == std::string::npos;
       at += head_step * unit)
    got = find(captured, sent.substr(at, probe), 0);
  if (got == std::string::npos)
    return mismatch(0, "nothing of the stream arrived");
  at -= head_step * unit;
  while (at > 0 && got >= unit &&
         captured.compare(got - unit, unit, sent, at - unit, unit) == 0) {
    at -= unit;
    got -= unit;
  }
  CaptureVerdict disturbed{CaptureVerdict::Kind::disturbed, {}};
  if (at > 0) {
    disturbed.kind = CaptureVerdict::Kind::incomplete;
    disturbed.lost_frames = at / unit;
    disturbed.detail = "the first " + units(at) + " never arrived";
  }
  // The tail from `from` on never arrived, and would have stood at `place`
  // in the capture; `what` says how the capture ends.
  const auto lost_tail = [&](std::size_t from, std::size_t place,
                             const std::string& what) {
    end = place + (sent.size() - from);
    disturbed.kind = CaptureVerdict::Kind::incomplete;
    disturbed.lost_frames += (sent.size() - from) / unit;
    disturbed.detail += (disturbed.detail.empty() ? "" : "; ") +
                        ("at frame " + std::to_string(from / unit) + ": ") +
                        what + "the last " + units(sent.size() - from) +
                        " never arrived";
    return disturbed;
  };
  while (at < sent.size()) {
    if (got >= captured.size()) return lost_tail(at, got, "the capture ends; ");
    if (captured.compare(got, unit, sent, at, unit) == 0) {
      at += unit;
      got += unit;
      continue;
    }
    std::size_t resumed = got;
    while (resumed < captured.size() && silent(resumed)) resumed += unit;
    if (resumed == captured.size())
      return lost_tail(at, got, "silence to the end; ");
    // The units after the silence, if any, up to the next silent one: a
    // stream that resumes raggedly brings only a few before the next gap.
    std::size_t heard = resumed;
    while (heard < captured.size() && heard - resumed < probe && !silent(heard))
      heard += unit;
    std::size_t next =
        find(sent, captured.substr(resumed, heard - resumed), at);
    if (next != std::string::npos && next - at > max_lost * unit)
      next = std::string::npos;  // too far on to be this stream going on
    const std::string after = resumed == got
                                  ? std::string("the capture holds ")
                                  : "after " + units(resumed - got) +
                                        " of silence the capture holds ";
    if (next == std::string::npos) {
      const std::size_t earlier =
          find(sent, captured.substr(resumed, heard - resumed), 0);
      return mismatch(
          at,
          after + (earlier == std::string::npos
                       ? std::string("other frames")
                       : "frame " + std::to_string(earlier / unit) + " again"));
    }
    ++disturbed.gaps;
    disturbed.silent_frames += (resumed - got) / unit;
    disturbed.lost_frames += (next - at) / unit;
    disturbed.detail +=
        (disturbed.detail.empty() ? "at frame " : "; at frame ") +
        std::to_string(at / unit) + ": " + units(resumed - got) +
        " of silence, " + units(next - at) + " skipped";
    at = next;
    got = resumed;
  }
  end = got;
  if (disturbed.kind == CaptureVerdict::Kind::disturbed && disturbed.gaps == 0)
    return {CaptureVerdict::Kind::exact, {}};
  return disturbed;
}

// The samples of one channel of interleaved 16-bit stereo frames.
std::string channel(const std::string& frames, std::size_t which) {
  std::string samples;
  samples.reserve(frames.size() / 2);
  for (std::size_t at = which * sample; at + sample <= frames.size();
       at += frame)
    samples.append(frames, at, sample);
  return samples;
}

}  // namespace

std::ostream& operator<<(std::ostream& out, CaptureVerdict::Kind kind) {
  switch (kind) {
    case CaptureVerdict::Kind::exact:
      return out << "exact";
    case CaptureVerdict::Kind::disturbed:
      return out << "disturbed";
    case CaptureVerdict::Kind::incomplete:
      return out << "incomplete";
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
  const CaptureVerdict whole = Comparison(frames, captured, frame).run();
  if (whole.kind != CaptureVerdict::Kind::mismatch) return whole;
  // PipeWire moves each channel through a port of its own, and a late graph
  // cycle can leave one channel silent while the other plays on: judge each
  // channel alone, and require both to end at the same place.
  const std::string sent[2] = {channel(frames, 0), channel(frames, 1)};
  const std::string got[2] = {channel(captured, 0), channel(captured, 1)};
  Comparison left(sent[0], got[0], sample);
  Comparison right(sent[1], got[1], sample);
  const CaptureVerdict verdicts[2] = {left.run(), right.run()};
  for (const CaptureVerdict& verdict : verdicts)
    if (verdict.kind == CaptureVerdict::Kind::mismatch) return whole;
  // Both channels lost the same head or tail: the frames' own verdict says
  // so once, with the one-channel gaps in between counted below.
  if (left.end != right.end)
    return {CaptureVerdict::Kind::mismatch,
            "the channels are " +
                std::to_string((std::max(left.end, right.end) -
                                std::min(left.end, right.end)) /
                               sample) +
                " frames out of step"};
  CaptureVerdict disturbed{std::max(verdicts[0].kind, verdicts[1].kind), {}};
  const char* names[2] = {"first channel", "second channel"};
  for (int which = 0; which < 2; ++which) {
    const CaptureVerdict& verdict = verdicts[which];
    disturbed.gaps += verdict.gaps;
    disturbed.silent_frames += verdict.silent_frames;
    disturbed.lost_frames += verdict.lost_frames;
    if (verdict.kind == CaptureVerdict::Kind::exact) continue;
    disturbed.detail += (disturbed.detail.empty() ? "" : "; ") +
                        std::string(names[which]) + " " + verdict.detail;
  }
  return disturbed;
}
