// SPDX-License-Identifier: GPL-2.0-or-later
#include "audio_sink.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string_view>

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

// Whether the files libao reads its configuration from set buffer_time.
bool user_sets_buffer_time() {
  const char* home = std::getenv("HOME");
  return sets_buffer_time(file_text("/etc/libao.conf")) ||
         (home != nullptr &&
          sets_buffer_time(file_text(std::string(home) + "/.libao")));
}

using OptionList = std::unique_ptr<ao_option, decltype(&ao_free_options)>;

// Asks the driver for a buffer that suits a live stream, unless the user's
// libao configuration sets buffer_time: libao hands the options given here to
// the driver after the configuration's, so they would override it. The alsa
// driver takes buffer_time as an option. The pulse driver turns buffer_time
// into bytes in 32 bits, which overflows above 107374 Hz even for its own
// 20 ms; libpulse reads PULSE_LATENCY_MSEC when the stream connects, computes
// in 64 bits and asks the server for that latency, as pacat's --latency-msec
// does. A PULSE_LATENCY_MSEC of the user's own stands.
OptionList live_options(std::string_view driver) {
  OptionList options(nullptr, &ao_free_options);
  if (driver != "pulse" && driver != "alsa") return options;
  if (user_sets_buffer_time()) return options;
  const std::string time = std::to_string(live_buffer_time);
  if (driver == "pulse") {
    setenv("PULSE_LATENCY_MSEC", time.c_str(), 0);
  } else {
    ao_option* list = nullptr;
    ao_append_option(&list, "buffer_time", time.c_str());
    options.reset(list);
  }
  return options;
}

}  // namespace

bool sets_buffer_time(std::string_view config) {
  constexpr std::string_view space = " \t\n\v\f\r";
  while (!config.empty()) {
    const std::size_t end = std::min(config.find('\n'), config.size());
    std::string_view line = config.substr(0, end);
    config.remove_prefix(std::min(end + 1, config.size()));
    line.remove_prefix(std::min(line.find_first_not_of(space), line.size()));
    const std::size_t equals = line.find('=');
    if (equals != std::string_view::npos &&
        line.substr(0, equals) == "buffer_time")
      return true;
  }
  return false;
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
  const OptionList options = live_options(driver);
  device = ao_open_live(driver_id, &format, options.get());
  // libao's pulse driver frees its stream at close without draining it: on
  // PipeWire's PulseAudio server that cuts off the last few milliseconds.
  // Silence after the end takes that loss instead of the stream's tail.
  pads_end = device != nullptr && driver == "pulse";
}

AudioSink::~AudioSink() {
  if (device != nullptr) ao_close(device);
  if (library_initialised) ao_shutdown();
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

bool AudioSink::release() {
  bool ok = position == 0 || play();
  if (pads_end) ok = ok && play_trailing_silence();
  ok = ao_close(device) != 0 && ok;
  device = nullptr;
  ao_shutdown();
  library_initialised = false;
  return ok;
}

// About 200 ms of silence, in whole blocks: under load PipeWire has cut off
// more than 100 ms.
bool AudioSink::play_trailing_silence() {
  const std::int32_t frames_per_block = buffer_size / 2;  // two channels
  const std::int32_t silent_frames = rate / 5;
  std::ranges::fill(buffer, std::uint8_t{0});
  for (std::int32_t frames = 0; frames < silent_frames;
       frames += frames_per_block) {
    position = buffer_size;
    if (!play()) return false;
  }
  return true;
}

bool AudioSink::play() {
  const auto bytes = static_cast<std::uint32_t>(bytes_for(position));
  position = 0;
  return ao_play(device, reinterpret_cast<char*>(buffer.data()), bytes) != 0;
}
