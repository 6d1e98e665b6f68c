// SPDX-License-Identifier: GPL-2.0-or-later
// Copyright 2026 pcmtap maintainers
// Compares what a sound server played, recorded from its sink, with the
// frames that were sent, and tells an exact capture from one that a
// real-time disturbance changed and from one that is wrong.
#pragma once

#include <ostream>
#include <string>

struct CaptureVerdict {
  // In order of gravity.
  enum class Kind { exact, disturbed, incomplete, mismatch };
  Kind kind;
  std::string detail;    // where the capture departs from the frames, and how
  std::size_t gaps = 0;  // disturbances
  std::size_t silent_frames = 0;  // inserted by them
  std::size_t lost_frames = 0;    // of the stream, skipped at them
};

std::ostream& operator<<(std::ostream& out, CaptureVerdict::Kind kind);
// The verdict's name and detail, as a failing check reports it.
std::ostream& operator<<(std::ostream& out, const CaptureVerdict& verdict);

// `frames` and `captured` are signed 16-bit stereo frames. The capture may
// start and end with anything; from the first frame sent on it must hold
// every frame in order. Where the stream skips forward, after a run of
// silence or without one, in both channels or in one while the other plays
// on, a real-time server or recorder fell behind: the capture is disturbed.
// A capture that starts later than the stream or ends before it is
// incomplete. Frames that are not the stream's own, frames that came
// earlier, channels swapped or out of step, and a capture that holds
// nothing of the stream are a mismatch.
CaptureVerdict compare_capture(const std::string& frames,
                               const std::string& captured);
