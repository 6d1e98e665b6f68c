// SPDX-License-Identifier: GPL-2.0-or-later
// Copyright 2026 pcmtap maintainers
// The libao side of the player: the live device and its block store.
#pragma once

#include <ao/ao.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Turns the audio id text into a driver id by atoi's rules (leading white
// space, optional sign, digits up to the first non-digit, 0 when there are
// none). A value beyond int's range saturates, which no driver has.
int parse_audio_id(const std::string& audio_id);

// Frames in each block handed to the device.
inline constexpr std::int32_t block_frames = 1024;

// The output buffer, in milliseconds, that the pulse and alsa drivers are
// asked for, so that a producer writing in real time does not let the server
// run dry while the next block fills. It must hold two blocks: the one being
// played and the one filling, 46 ms at 44.1 kHz. The servers need more at
// high rates: with a real-time producer on an idle PulseAudio, 40 ms left
// gaps at 96 and 192 kHz, 60 ms at 96 kHz, and 80 ms none at any rate.
inline constexpr std::int32_t live_buffer_time = 80;
static_assert(std::int64_t{live_buffer_time} * 44100 >=
              std::int64_t{2} * block_frames * 1000);

// The longest output buffer, in milliseconds, at `rate`: 4 MiB of 16-bit
// stereo, the most that PulseAudio, PipeWire and alsa-lib's pulse plugin hold
// for a stream. A longer one is asked as this.
std::int32_t longest_buffer_time(std::int32_t rate);

// A buffer length in milliseconds as the user wrote it: plain decimal
// digits, above 0; a value beyond int32's range reads as its largest.
// Anything else cannot be read and counts as unset.
std::optional<std::int32_t> parse_milliseconds(const char* text);

// The buffer_time that libao configuration text (/etc/libao.conf, ~/.libao)
// sets, read line by line as libao reads it: the last readable value.
std::optional<std::int32_t> buffer_time_setting(std::string_view config);

// The devices that libao configuration text names for a driver that reads
// them from the options `keys`, in the order libao hands them to the driver:
// the last is the one in force.
std::vector<std::string_view> configured_devices(
    std::string_view config, std::span<const std::string_view> keys);

struct LiveDriver {
  int id = -1;
  std::string short_name;
  std::string name;
  bool is_default = false;
};

// The live drivers libao has on this machine, in id order.
std::vector<LiveDriver> live_drivers();

// How a driver takes the output buffer that pcmtap chooses.
enum class BufferHandover : std::uint8_t {
  none,         // it has no buffer setting
  environment,  // PULSE_LATENCY_MSEC, read by libpulse
  option,       // the buffer_time option
};

// A stretch of silence: a share of the output buffer, kept within bounds.
struct Silence {
  std::int32_t buffer_percent = 0;
  std::int32_t at_least_ms = 0;
  std::int32_t at_most_ms = 0;
};

// What one libao driver needs from pcmtap to play a live stream whole, where
// the user expects it. A driver without an entry needs nothing.
struct DriverNeeds {
  std::string_view driver;
  BufferHandover buffer = BufferHandover::none;
  std::array<std::string_view, 3> device_keys = {};  // options naming a device
  std::string_view device_when_unset;  // the dev= when the user names none
  // Where "default" names no device of the driver's but the server's
  // default: the dev= that means it, and the variable that names the
  // user's own default instead where it is set. Empty where "default" is a
  // device like any other.
  std::string_view default_device;
  std::string_view default_device_variable;
  bool alsa_config = false;  // alsa-lib's configuration must load first
  Silence lead;              // before the first block
  Silence tail;              // after the last frame
  std::int32_t whole_buffer_frames = 0;  // it plays only whole buffers
};

// Owns libao and one open live device for 16-bit little-endian stereo, and
// hands the device blocks of 1024 frames as they fill.
class AudioSink {
 public:
  // Initialises libao and opens the live device chosen by the audio id: a
  // driver's short name, or a driver id by parse_audio_id (-1: libao's
  // default driver). Check is_open() before use.
  AudioSink(std::int32_t stream_rate, const std::string& audio_id);
  ~AudioSink();
  AudioSink(const AudioSink&) = delete;
  AudioSink& operator=(const AudioSink&) = delete;

  [[nodiscard]] bool is_open() const { return device != nullptr; }

  // Appends unpacked frames and plays every block that fills. Returns false
  // when the device fails to play; the sink must not be used after that.
  bool append(std::span<const std::uint8_t> frames);

  // Plays what is still stored, closes the device and shuts libao down.
  // Returns false when the last block or the close failed.
  bool release();

 private:
  static constexpr std::size_t sample_bytes = 2;  // one 16-bit sample value
  static constexpr std::uint32_t frame_bytes = 4;
  // The store's byte count for a count of sample values.
  static std::size_t bytes_for(std::int32_t values) {
    return static_cast<std::size_t>(values) * sample_bytes;
  }
  bool play();
  bool play_silence(std::int32_t frames);
  [[nodiscard]] std::int32_t frames_of(Silence silence) const;

  // Block length in 16-bit sample values: two per frame.
  std::int32_t buffer_size = 2 * block_frames;
  std::int32_t position = 0;  // sample values now in the store
  std::vector<std::uint8_t> buffer;
  std::int32_t rate;
  ao_device* device = nullptr;
  ao_sample_format format{};
  std::int32_t driver_id = 0;
  bool library_initialised = false;
  const DriverNeeds* needs = nullptr;
  std::int32_t buffer_time = 0;    // ms of the device's buffer
  std::int32_t lead_frames = 0;    // silence still to come before a block
  std::int64_t played_frames = 0;  // handed to the device, silence included
};
