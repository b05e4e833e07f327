// The library's calls (bass.h, shutdown.h), forwarded to one engine that lives for the rest of
// the process. It is never destroyed, so no thread of it can outlive its state at exit;
// shutdownLibrary() stops those threads before the exit.
#include <atomic>
#include <chrono>
#include <limits>
#include <memory>
#include <mutex>

#include "playback/bass.h"
#include "playback/engine/engine.h"
#include "playback/engine/process_stats.h"
#include "playback/engine/shutdown.h"
#include "playback/engine/url_text.h"
#include "playback/net/http_stream.h"
#include "playback/net/network_watch.h"
#include "playback/net/url_check.h"

namespace radiolist::audio {
namespace {

using namespace std::chrono_literals;

// Bytes the network may hold ahead of the decoder: 16 s of a 128 kbit/s stream.
constexpr std::size_t kStreamBufferBytes = 256 * 1024;
// A local sound server answers in milliseconds; one that does not answer in this time is given up
// (nobody waits for it meanwhile), and the next BASS_Init connects afresh.
constexpr auto kOutputConnectTimeout = 1500ms;

// Process-wide, as the engine is; its file is settable (setPagesFile) for tests.
const std::shared_ptr<PageMemory>& pageMemory() {
  static const auto memory = std::make_shared<PageMemory>(PageMemory::defaultPath());
  return memory;
}

const std::shared_ptr<LoudnessMemory>& loudnessMemory() {
  static const auto memory = std::make_shared<LoudnessMemory>(LoudnessMemory::defaultPath());
  return memory;
}

EngineDeps realDeps() {
  EngineDeps deps;
  deps.pages = pageMemory();
  deps.loudness = loudnessMemory();
  deps.openStream = [](const std::string& url, std::optional<net::ByteRange> range,
                       net::Reach reach) {
    net::StreamOptions options;
    options.url = url;
    options.range = range;
    options.reach = reach;
    options.bufferBytes = kStreamBufferBytes;
    return net::HttpStream::start(std::move(options));
  };
  deps.openOutput = [](Mixer& mixer) { return openPulseOutput(mixer, kOutputConnectTimeout); };
  deps.plausibleUrl = [](std::string_view url) { return net::isPlausibleStreamUrl(url); };
  return deps;
}

Engine& engine() {
  static Engine* const instance = new Engine(realDeps());
  return *instance;
}

std::atomic<bool> everInitialised{false};

// Watches the network from the first BASS_Init until shutdownLibrary().
std::mutex watchMutex;
std::unique_ptr<net::NetworkWatch> watch;  // guarded by watchMutex
bool watchEnded = false;                   // guarded by watchMutex

void watchNetwork() {
  const std::lock_guard lock(watchMutex);
  if (watch || watchEnded) return;
  watch = std::make_unique<net::NetworkWatch>([] { engine().retryNow(); });
}

HSTREAM create(const void* url, DWORD flags, CreationKind kind) {
  const auto address = addressFromArgument(url, (flags & BASS_UNICODE) != 0, net::kMaxUrlBytes + 1);
  if (!address) return 0;
  return engine().create(*address, kind);
}

}  // namespace

std::uint64_t processOutputUnderruns() { return engine().outputUnderruns(); }

std::optional<StreamFigures> streamFigures(DWORD handle) {
  if (handle == 0) return std::nullopt;
  return engine().figures(handle);
}

void setPagesFile(std::string path) { pageMemory()->setPath(std::move(path)); }

void shutdownLibrary() {
  std::unique_ptr<net::NetworkWatch> ended;
  {
    const std::lock_guard lock(watchMutex);
    watchEnded = true;
    ended = std::move(watch);
  }
  ended.reset();  // joins its thread, which may be calling into the engine
  engine().shutdown();
}

void retryNow() { engine().retryNow(); }

void holdToPublic(std::string url) { engine().holdToPublic(std::move(url)); }

SongSave saveSong(const std::string& directory) { return engine().saveSong(directory); }

bool streamPlays(const std::string& url, bool publicOnly) {
  return engine().streamPlays(url, publicOnly);
}

void setEventWake(std::function<void()> wake) { engine().setEventWake(std::move(wake)); }

std::vector<PlaybackEvent> takeEvents() { return engine().takeEvents(); }

std::optional<SongTitle> channelTitle(DWORD handle) {
  if (handle == 0) return std::nullopt;
  return engine().title(handle);
}

bool channelPause(DWORD handle, bool paused) {
  return handle != 0 && engine().pause(handle, paused);
}

bool channelSeek(DWORD handle, std::int64_t us) {
  if (handle == 0) return false;
  return us == std::numeric_limits<std::int64_t>::max() ? engine().goLive(handle)
                                                        : engine().seek(handle, us);
}

std::optional<ShiftState> channelShift(DWORD handle) {
  if (handle == 0) return std::nullopt;
  return engine().shift(handle);
}

void setMasterVolume(float volume) { engine().setVolume(volume); }

void setLevelLoudness(bool on) { engine().setLevelLoudness(on); }

void setLoudnessFile(std::string path) { loudnessMemory()->setPath(std::move(path)); }

void prepareAddress(const char16_t* url) {
  const auto address = addressFromArgument(url, true, net::kMaxUrlBytes + 1);
  if (address) engine().prepare(*address);
}

}  // namespace radiolist::audio

using radiolist::audio::CreationKind;
using radiolist::audio::engine;

extern "C" {

BOOL BASS_Init(int /*device*/, DWORD /*freq*/, DWORD /*flags*/, void* /*win*/,
               const void* /*dsguid*/) {
  radiolist::audio::everInitialised = true;
  radiolist::audio::watchNetwork();
  return engine().init() ? 1 : 0;
}

BOOL BASS_Free() {
  if (!radiolist::audio::everInitialised) return 0;
  engine().free();
  return 1;
}

BOOL BASS_Start() { return radiolist::audio::everInitialised && engine().start() ? 1 : 0; }

HSTREAM BASS_StreamCreateURL(const void* url, DWORD /*offset*/, DWORD flags, DOWNLOADPROC* /*proc*/,
                             void* /*user*/) {
  return radiolist::audio::create(url, flags, CreationKind::General);
}

HSTREAM BASS_AAC_StreamCreateURL(const void* url, DWORD /*offset*/, DWORD flags,
                                 DOWNLOADPROC* /*proc*/, void* /*user*/) {
  return radiolist::audio::create(url, flags, CreationKind::Aac);
}

DWORD BASS_ChannelIsActive(DWORD handle) {
  return handle == 0 ? BASS_ACTIVE_STOPPED : engine().isActive(handle);
}

BOOL BASS_ChannelPlay(DWORD handle, BOOL restart) {
  return handle != 0 && engine().play(handle, restart != 0) ? 1 : 0;
}

BOOL BASS_ChannelStop(DWORD handle) { return handle != 0 && engine().stop(handle) ? 1 : 0; }

const char* BASS_ChannelGetTags(DWORD handle, DWORD tags) {
  return handle == 0 ? nullptr : engine().tags(handle, tags);
}

}  // extern "C"
