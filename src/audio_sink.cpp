// SPDX-License-Identifier: GPL-2.0-or-later
// Copyright 2026 pcmtap maintainers
#include "audio_sink.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string_view>

#include "platform.h"

int parse_audio_id(const std::string& audio_id) {
  // strtol saturates at long's range; the clamp carries that on to int's.
  const long value = std::strtol(audio_id.c_str(), nullptr, 10);
  return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

namespace {

// The live drivers libao has plugins for. Where one did not load (its
// library is missing, or no descriptor was free), its name still means that
// driver, which cannot open here, and not the number 0 that atoi makes of it.
constexpr std::array<std::string_view, 13> plugin_drivers = {
    "aixs", "alsa",  "arts", "esd",   "irix", "macosx", "nas",
    "oss",  "pulse", "roar", "sndio", "sun",  "wmm"};
constexpr int no_driver = -1;

// The driver the audio id names. A driver's short name is that driver, since
// ids are positions in libao's list and change with the plugins that load;
// any other text keeps its meaning as a number. libao must be initialised.
int resolve_driver_id(const std::string& audio_id) {
  const int named = ao_driver_id(audio_id.c_str());
  if (named >= 0) return named;
  if (std::ranges::find(plugin_drivers, audio_id) != plugin_drivers.end())
    return no_driver;
  const int requested = parse_audio_id(audio_id);
  return requested == -1 ? ao_default_driver_id() : requested;
}

// The text of a file, empty when it cannot be read.
std::string file_text(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

// The buffer_time that libao's configuration files set: the last readable
// value, ~/.libao read after /etc/libao.conf as libao reads them.
std::optional<std::int32_t> configured_buffer_time() {
  const char* home = std::getenv("HOME");
  const auto user =
      home != nullptr
          ? buffer_time_setting(file_text(std::string(home) + "/.libao"))
          : std::nullopt;
  return user ? user : buffer_time_setting(file_text("/etc/libao.conf"));
}

using OptionList = std::unique_ptr<ao_option, decltype(&ao_free_options)>;

// The output buffer for the pulse and alsa drivers, in milliseconds: the
// user's readable setting (for pulse PULSE_LATENCY_MSEC first, then
// buffer_time), else live_buffer_time. Handed on in a form each driver
// computes right, and an option list for ao_open_live. The alsa driver takes
// buffer_time as an option, in 32 bits of microseconds. The pulse driver
// turns buffer_time into bytes in 32 bits, which overflows above 107374 Hz
// even for its own 20 ms; libpulse reads PULSE_LATENCY_MSEC when the stream
// connects, computes in 64 bits and asks the server for that whole latency,
// as pacat's --latency-msec does, whatever tlength libao asked for. So
// PULSE_LATENCY_MSEC is set, in plain decimal, to the buffer chosen.
OptionList live_options(std::string_view driver, std::int32_t& buffer_time) {
  OptionList options(nullptr, &ao_free_options);
  buffer_time = 0;
  if (driver != "pulse" && driver != "alsa") return options;
  std::optional<std::int32_t> chosen;
  if (driver == "pulse")
    chosen = milliseconds(std::getenv("PULSE_LATENCY_MSEC"));
  if (!chosen) chosen = configured_buffer_time();
  buffer_time = chosen.value_or(live_buffer_time);
  const std::string time = std::to_string(buffer_time);
  if (driver == "pulse") {
    platform::set_environment("PULSE_LATENCY_MSEC", time.c_str());
  } else {
    ao_option* list = nullptr;
    ao_append_option(&list, "buffer_time", time.c_str());
    options.reset(list);
  }
  return options;
}

}  // namespace

std::optional<std::int32_t> milliseconds(const char* text) {
  if (text == nullptr) return std::nullopt;
  const std::string_view digits(text);
  if (digits.empty() || digits.size() > 7 ||
      digits.find_first_not_of("0123456789") != std::string_view::npos)
    return std::nullopt;
  const auto value = static_cast<std::int32_t>(std::stol(std::string(digits)));
  if (value == 0) return std::nullopt;
  return value;
}

std::optional<std::int32_t> buffer_time_setting(std::string_view config) {
  constexpr std::string_view space = " \t\n\v\f\r";
  std::optional<std::int32_t> setting;
  while (!config.empty()) {
    const std::size_t end = std::min(config.find('\n'), config.size());
    std::string_view line = config.substr(0, end);
    config.remove_prefix(std::min(end + 1, config.size()));
    line.remove_prefix(std::min(line.find_first_not_of(space), line.size()));
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos ||
        line.substr(0, equals) != "buffer_time")
      continue;
    std::string value(line.substr(equals + 1));
    value.erase(0, value.find_first_not_of(space));
    value.erase(value.find_last_not_of(space) + 1);
    if (const auto time = milliseconds(value.c_str())) setting = time;
  }
  return setting;
}

std::vector<LiveDriver> live_drivers() {
  ao_initialize();
  const int default_id = ao_default_driver_id();
  int count = 0;
  ao_info** infos = ao_driver_info_list(&count);
  std::vector<LiveDriver> drivers;
  for (int i = 0; i < count; ++i) {
    const ao_info& info = *infos[i];
    if (info.type != AO_TYPE_LIVE) continue;
    const int id = ao_driver_id(info.short_name);
    std::string name = info.name;
    name.erase(name.find_last_not_of(' ') + 1);  // some end in a space
    drivers.push_back({id, info.short_name, name, id == default_id});
  }
  ao_shutdown();
  std::ranges::sort(drivers, {}, &LiveDriver::id);
  return drivers;
}

AudioSink::AudioSink(std::int32_t stream_rate, const std::string& audio_id)
    : buffer(bytes_for(buffer_size)), rate(stream_rate) {
  ao_initialize();
  library_initialised = true;
  driver_id = resolve_driver_id(audio_id);
  format.matrix = nullptr;
  format.bits = 16;
  format.channels = 2;
  format.rate = rate;
  format.byte_format = AO_FMT_LITTLE;
  const ao_info* info = ao_driver_info(driver_id);
  const std::string_view driver = info != nullptr ? info->short_name : "";
  const OptionList options = live_options(driver, buffer_time);
  device = ao_open_live(driver_id, &format, options.get());
  if (device == nullptr) return;
  // libao's alsa driver leaves alsa-lib's start threshold at one frame, so
  // the device starts with the first block alone and runs dry before the
  // next one arrives. Half a buffer of silence before the first block gives
  // it the lead that the pulse driver's server builds up before it starts.
  if (driver == "alsa") lead_frames = frames_in(buffer_time / 2);
  // libao's wmm driver hands Windows only whole buffers of 512 frames, and
  // at close drops the one it was filling. Windows counts a buffer done once
  // its audio engine has taken it, and closing drops what the engine still
  // holds. So the stream ends in silence there too.
  if (driver == "wmm") {
    device_block_frames = 512;
    buffer_time = wmm_buffer_time;
  }
}

AudioSink::~AudioSink() {
  if (device != nullptr) ao_close(device);
  if (library_initialised) ao_shutdown();
}

std::int32_t AudioSink::frames_in(std::int32_t milliseconds) const {
  return static_cast<std::int32_t>(std::int64_t{rate} * milliseconds / 1000);
}

bool AudioSink::append(std::span<const std::uint8_t> frames) {
  while (!frames.empty()) {
    const std::size_t offset = bytes_for(position);
    const std::size_t count =
        std::min(frames.size(), bytes_for(buffer_size) - offset);
    std::memcpy(buffer.data() + offset, frames.data(), count);
    position += static_cast<std::int32_t>(count / sample_bytes);
    frames = frames.subspan(count);
    if (position >= buffer_size && !play()) return false;
  }
  return true;
}

// On the pulse, alsa and wmm drivers a whole buffer of silence follows the
// last frame. The pulse and alsa drivers end a stream by sleeping for the
// latency the server reports, less that of the empty stream, and then
// dropping it: PipeWire reports 55 ms of a full 80 ms buffer that takes
// 116 ms to play, 193 ms of 300 ms that take 371 ms, and the rest is lost.
// And a server that waits for its prebuffer before it starts, up to 90 % of
// the buffer on PipeWire, never plays a shorter stream. Behind a buffer of
// silence every frame has left the buffer before the stream is dropped.
bool AudioSink::release() {
  bool ok = position == 0 || play();
  ok = ok && play_silence(frames_in(buffer_time));
  // Silence fills the device's last buffer, so that it plays.
  if (device_block_frames > 0)
    ok = ok && play_silence(static_cast<std::int32_t>(
                   (device_block_frames - played_frames % device_block_frames) %
                   device_block_frames));
  ok = ao_close(device) != 0 && ok;
  device = nullptr;
  ao_shutdown();
  library_initialised = false;
  return ok;
}

bool AudioSink::play_silence(std::int32_t frames) {
  std::vector<std::uint8_t> silence(bytes_for(buffer_size), 0);
  while (frames > 0) {
    const std::int32_t count = std::min(frames, buffer_size / 2);
    if (ao_play(device, reinterpret_cast<char*>(silence.data()),
                static_cast<std::uint32_t>(count) * frame_bytes) == 0)
      return false;
    frames -= count;
    played_frames += count;
  }
  return true;
}

bool AudioSink::play() {
  if (lead_frames > 0) {
    const std::int32_t lead = lead_frames;
    lead_frames = 0;
    if (!play_silence(lead)) return false;
  }
  const auto bytes = static_cast<std::uint32_t>(bytes_for(position));
  played_frames += position / 2;  // two sample values a frame
  position = 0;
  return ao_play(device, reinterpret_cast<char*>(buffer.data()), bytes) != 0;
}
