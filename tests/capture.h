// SPDX-License-Identifier: GPL-2.0-or-later
// Compares what a sound server played, recorded from its sink, with the
// frames that were sent, and tells an exact capture from one that a
// real-time underrun disturbed and from one that is wrong.
#pragma once

#include <string>

struct CaptureVerdict {
  enum class Kind { exact, underrun, mismatch };
  Kind kind;
  std::string detail;    // where the capture departs from the frames, and how
  std::size_t gaps = 0;  // underruns
  std::size_t silent_frames = 0;  // inserted by them
  std::size_t lost_frames = 0;    // of the stream, lost at them
};

// `frames` and `captured` are signed 16-bit stereo frames. The capture may
// start and end with anything; from the first frame sent on it must hold
// every frame in order. A run of silence after which the frames resume,
// perhaps a little further on, is an underrun; any other difference, and a
// capture that ends before the last frame, is a mismatch.
CaptureVerdict compare_capture(const std::string& frames,
                               const std::string& captured);
