// SPDX-License-Identifier: GPL-2.0-or-later
// Copyright 2026 pcmtap maintainers
#include "audio_sink.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
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

// The driver the audio id names. A driver's short name, in any case, is that
// driver, since ids are positions in libao's list and change with the
// plugins that load; any other text keeps its meaning as a number. libao
// must be initialised.
int resolve_driver_id(const std::string& audio_id) {
  std::string name = audio_id;
  std::ranges::transform(name, name.begin(), [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  });
  const int named = ao_driver_id(name.c_str());
  if (named >= 0) return named;
  if (std::ranges::find(plugin_drivers, name) != plugin_drivers.end())
    return no_driver;
  const int requested = parse_audio_id(audio_id);
  return requested == -1 ? ao_default_driver_id() : requested;
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// The text of a file, empty when it cannot be read.
std::string file_text(const std::string& path) {
  const std::unique_ptr<std::FILE, FileCloser> file(
      std::fopen(path.c_str(), "rb"));
  std::string text;
  if (!file) return text;
  std::array<char, 4096> piece{};
  for (std::size_t n;
       (n = std::fread(piece.data(), 1, piece.size(), file.get())) > 0;)
    text.append(piece.data(), n);
  return text;
}

// libao's configuration as libao reads it: /etc/libao.conf, then ~/.libao,
// so that a setting's last value is the one in force.
std::string libao_config() {
  std::string config = file_text("/etc/libao.conf") + "\n";
  if (const char* home = std::getenv("HOME"))
    config += file_text(std::string(home) + "/.libao");
  return config;
}

// What libao trims from each line of its configuration, as isspace does.
constexpr std::string_view white_space = " \t\n\v\f\r";

struct ConfigOption {
  std::string_view key;
  std::string_view value;
};

// The options of configuration text, in order, as libao reads each line:
// white space trimmed from both ends, the key up to the first '='.
std::vector<ConfigOption> config_options(std::string_view config) {
  std::vector<ConfigOption> options;
  while (!config.empty()) {
    const std::size_t end = std::min(config.find('\n'), config.size());
    std::string_view line = config.substr(0, end);
    config.remove_prefix(std::min(end + 1, config.size()));
    line.remove_prefix(
        std::min(line.find_first_not_of(white_space), line.size()));
    line = line.substr(0, line.find_last_not_of(white_space) + 1);
    if (const std::size_t equals = line.find('=');
        equals != std::string_view::npos)
      options.push_back({line.substr(0, equals), line.substr(equals + 1)});
  }
  return options;
}

// What each driver needs, as the README's driver table tells it;
// doc/latency.md has the measurements behind the silences.
//  pulse: libao turns buffer_time into bytes in 32 bits, which overflows
//    above 107374 Hz; libpulse reads PULSE_LATENCY_MSEC in 64 bits when the
//    stream connects. The driver ends a stream by waiting for the latency
//    the server reports and dropping it, and drains it only above 1 s. So
//    the silence after the last frame covers what the server needs to play
//    it: PulseAudio's prebuffer, half the buffer, which a stream refills
//    after every underrun, and two cycles of PipeWire's graph, which takes
//    a stream's data in whole cycles only (1024 frames at 44.1 kHz in a
//    virtual machine). Above 1 s the drain does it. It takes sink=, dev=
//    and id= as a sink's name; "default", written for the alsa driver,
//    names no sink, and the servers call their default sink @DEFAULT_SINK@.
//  alsa: without dev= libao opens "front", the card itself, before
//    "default", where every ALSA program plays. It copies alsa-lib's
//    configuration without checking that it loaded, and crashes on one that
//    did not (a malformed ~/.asoundrc). It leaves alsa-lib's start
//    threshold at one frame, so the device starts with the first block
//    alone and runs dry before the next; silence ahead of it keeps it
//    playing, a quarter of the buffer up to the 20 ms that kept it playing
//    at every rate. It too ends by sleeping for the delay alsa-lib reports
//    and dropping the stream: exact through the pulse plugin, but through
//    pipewire-alsa 0.3 a full buffer ends 22 ms short.
//  wmm: Windows' driver hands only whole buffers of 512 frames to Windows,
//    which counts a buffer done once its audio engine has taken it, and
//    closing drops what the engine holds: up to 212 ms under Wine into
//    PipeWire once a late start has grown the latency.
// clang-format off
constexpr std::array<DriverNeeds, 3> drivers_with_needs = {{
  // driver, how it takes the buffer, the options that name its device,
  //   the dev= where none does, the dev= for "default" and the variable
  //   that names the user's own, alsa config first, lead and tail
  //   {% of the buffer, at least ms, at most ms}, whole buffers of
  {"pulse", BufferHandover::environment, {"sink", "dev", "id"},
     "",        "@DEFAULT_SINK@", "PULSE_SINK", false,
     {0, 0, 0},   {50, 47, 1050}, 0},
  {"alsa",  BufferHandover::option,      {"dev", "id"},
     "default", "",               "",           true,
     {25, 0, 20}, {0, 30, 30},    0},
  {"wmm",   BufferHandover::none,        {},
     "",        "",               "",           false,
     {0, 0, 0},   {0, 200, 200},  512},
}};
// clang-format on

// The needs of the driver with this short name.
const DriverNeeds& driver_needs(std::string_view driver) {
  static constexpr DriverNeeds no_needs{};
  const auto* found =
      std::ranges::find(drivers_with_needs, driver, &DriverNeeds::driver);
  return found != drivers_with_needs.end() ? *found : no_needs;
}

using OptionList = std::unique_ptr<ao_option, decltype(&ao_free_options)>;

// The output buffer in milliseconds for a driver that takes one: the user's
// readable setting (PULSE_LATENCY_MSEC first where the driver reads it, then
// buffer_time), else live_buffer_time; 0 for a driver that takes none.
std::int32_t chosen_buffer_time(const DriverNeeds& needs,
                                std::string_view config) {
  if (needs.buffer == BufferHandover::none) return 0;
  std::optional<std::int32_t> chosen;
  if (needs.buffer == BufferHandover::environment)
    chosen = parse_milliseconds(std::getenv("PULSE_LATENCY_MSEC"));
  if (!chosen) chosen = buffer_time_setting(config);
  return chosen.value_or(live_buffer_time);
}

// The dev= that gives the driver the device the user chose, where libao's
// configuration alone would not; empty where it does.
std::string device_option(const DriverNeeds& needs, std::string_view config) {
  const auto named = configured_devices(config, needs.device_keys);
  if (named.empty()) return std::string(needs.device_when_unset);
  if (needs.default_device.empty() || named.back() != "default") return {};
  // A "default" meant for another driver overrides no name the user gave.
  const auto own =
      std::find_if(named.rbegin(), named.rend(),
                   [](std::string_view d) { return d != "default"; });
  if (own != named.rend()) return std::string(*own);
  const char* variable =
      std::getenv(std::string(needs.default_device_variable).c_str());
  if (variable != nullptr && *variable != '\0') return variable;
  return std::string(needs.default_device);
}

// The options for ao_open_live, and the environment the driver reads, for
// `needs` with a buffer of `buffer_time` ms. Options given here override
// those of libao's configuration.
OptionList live_options(const DriverNeeds& needs, std::int32_t buffer_time,
                        std::string_view config) {
  ao_option* list = nullptr;
  const std::string time = std::to_string(buffer_time);
  if (needs.buffer == BufferHandover::environment)
    platform::set_environment("PULSE_LATENCY_MSEC", time.c_str());
  if (needs.buffer == BufferHandover::option)
    ao_append_option(&list, "buffer_time", time.c_str());
  if (const std::string dev = device_option(needs, config); !dev.empty())
    ao_append_option(&list, "dev", dev.c_str());
  return {list, &ao_free_options};
}

}  // namespace

std::int32_t longest_buffer_time(std::int32_t rate) {
  constexpr std::int64_t frames = 1 << 20;  // 4 MiB of 4-byte frames
  return static_cast<std::int32_t>(frames * 1000 / rate);
}

std::optional<std::int32_t> parse_milliseconds(const char* text) {
  if (text == nullptr) return std::nullopt;
  const std::string_view digits(text);
  if (digits.empty() ||
      digits.find_first_not_of("0123456789") != std::string_view::npos)
    return std::nullopt;
  std::int32_t value = 0;
  for (const char digit : digits)
    value = static_cast<std::int32_t>(
        std::min<std::int64_t>(std::int64_t{value} * 10 + (digit - '0'),
                               std::numeric_limits<std::int32_t>::max()));
  if (value == 0) return std::nullopt;
  return value;
}

std::optional<std::int32_t> buffer_time_setting(std::string_view config) {
  std::optional<std::int32_t> setting;
  for (const ConfigOption& option : config_options(config)) {
    if (option.key != "buffer_time") continue;
    const std::string_view text = option.value.substr(std::min(
        option.value.find_first_not_of(white_space), option.value.size()));
    if (const auto time = parse_milliseconds(std::string(text).c_str()))
      setting = time;
  }
  return setting;
}

std::vector<std::string_view> configured_devices(
    std::string_view config, std::span<const std::string_view> keys) {
  std::vector<std::string_view> devices;
  for (const ConfigOption& option : config_options(config))
    if (!option.key.empty() &&
        std::ranges::find(keys, option.key) != keys.end())
      devices.push_back(option.value);
  return devices;
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
  needs = &driver_needs(info != nullptr ? info->short_name : "");
  const std::string config = libao_config();
  buffer_time =
      std::min(chosen_buffer_time(*needs, config), longest_buffer_time(rate));
  const OptionList options = live_options(*needs, buffer_time, config);
  // A configuration that does not load is a device that does not open.
  if (needs->alsa_config && !platform::alsa_config_loads()) return;
  device = ao_open_live(driver_id, &format, options.get());
  if (device != nullptr) lead_frames = frames_of(needs->lead);
}

AudioSink::~AudioSink() {
  if (device != nullptr) ao_close(device);
  if (library_initialised) ao_shutdown();
}

std::int32_t AudioSink::frames_of(Silence silence) const {
  // In hundred-thousandths of a second: a share of the buffer, in bounds.
  const std::int64_t share = std::int64_t{buffer_time} * silence.buffer_percent;
  const std::int64_t length =
      std::min(std::max(share, std::int64_t{silence.at_least_ms} * 100),
               std::int64_t{silence.at_most_ms} * 100);
  return static_cast<std::int32_t>(rate * length / 100000);
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
  ok = ok && play_silence(frames_of(needs->tail));
  // Silence fills the device's last buffer, so that it plays.
  if (const std::int32_t whole = needs->whole_buffer_frames; whole > 0)
    ok = ok && play_silence(static_cast<std::int32_t>(
                   (whole - played_frames % whole) % whole));
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
