#include "playback/engine/engine.h"

#include <malloc.h>

#include <algorithm>

#include "playback/engine/log_domains.h"
#include "playback/engine/stream_check.h"
#include "playback/log/log.h"
#include "playback/log/thread_name.h"
#include "playback/log/timeline.h"

namespace radiolist::audio {

using namespace std::chrono_literals;

namespace {
// How long a freed stream may go on sounding: long enough to bridge the window's free followed
// at once by a new creation of the same address, short enough to count as silent at once.
constexpr auto kFreeHold = 30ms;
}  // namespace

Engine::Engine(EngineDeps deps)
    : deps_(std::move(deps)),
      opener_([this](const std::string& url, std::optional<net::ByteRange> range,
                     net::Reach reach) { return open(url, range, reach); }),
      janitor_([this] {
        log::nameThisThread("rl-janitor");
        janitorLoop();
      }) {}

Engine::~Engine() { shutdown(); }

void Engine::shutdown() {
  {
    // Held while a connection starts, so none starts once this is set.
    const std::lock_guard gate(gateMutex_);
    gateClosed_ = true;
  }
  checks_.request_stop();
  std::vector<std::shared_ptr<Source>> doomed;
  std::unique_ptr<Output> output;
  {
    std::lock_guard lock(mutex_);
    if (shutDown_) return;
    shutDown_ = true;
    stopping_ = true;
    initialised_ = false;
    output = std::move(output_);
    channels_.clear();
    for (auto& entry : session_) doomed.push_back(std::move(entry.source));
    for (auto& warm : warm_) doomed.push_back(std::move(warm.source));
    for (auto& source : retiring_) doomed.push_back(std::move(source));
    session_.clear();
    warm_.clear();
    retiring_.clear();
    tagSlot_.clear();
  }
  janitorWake_.notify_all();
  janitor_.join();
  output.reset();  // no render() after this
  for (auto& source : doomed) {
    mixer_.detach(&source->voice());
    source.reset();  // joins the decoder thread
  }
}

std::shared_ptr<net::HttpStream> Engine::open(const std::string& url,
                                              std::optional<net::ByteRange> range,
                                              net::Reach reach) {
  const std::lock_guard gate(gateMutex_);
  if (gateClosed_) return nullptr;
  return deps_.openStream(url, range, reach);
}

bool Engine::streamPlays(const std::string& url, bool publicOnly) {
  if (!deps_.plausibleUrl(url)) {
    log::write(audio::kEngineLog, "checked ", std::string_view(url).substr(0, 200),
               ": does not play (not a stream address)");
    return false;
  }
  return audio::streamPlays(opener_, url,
                            publicOnly ? net::Reach::PublicOnly : net::Reach::Anywhere,
                            checks_.get_token());
}

bool Engine::init() {
  caller_.check();
  std::lock_guard lock(mutex_);
  if (shutDown_) return false;
  if (output_ && output_->healthy()) {
    initialised_ = true;
    return true;
  }
  if (output_) log::write(audio::kOutputLog, "the sound server connection broke; connecting again");
  output_.reset();  // a broken or abandoned connection: stopping its thread is quick
  output_ = deps_.openOutput(mixer_);
  initialised_ = output_ != nullptr;
  noteWhatPlays();
  if (!output_) log::write(audio::kOutputLog, "no sound server to connect to");
  return initialised_;
}

void Engine::free() {
  caller_.check();
  EventQueue::Batch batch(&events_);
  std::lock_guard lock(mutex_);
  channels_.forEach([&](DWORD handle, Channel& channel) {
    channel.source->news().detach(handle);
    if (channel.state == ChannelState::Playing) postActivity(handle, batch);
  });
  channels_.clear();
  const auto now = std::chrono::steady_clock::now();
  const std::int64_t holdUntil = (now + kFreeHold).time_since_epoch().count();
  for (auto& entry : session_) {
    std::shared_ptr<Source>& source = entry.source;
    Voice& voice = source->voice();
    if (voice.audible()) voice.holdUntilNs.store(holdUntil, std::memory_order_release);
    want(*source, CreationKind::General, false);
    want(*source, CreationKind::Aac, false);
    // A freed source only waits to be taken over: if its connection ends meanwhile, it is done.
    source->keepAlive(false);
    source->goLive();  // taken over, it plays live as any new channel does
    if (source->finished() || source->closed())
      retiring_.push_back(std::move(source));
    else
      warm_.push_back({std::move(source), now, entry.publicOnly});
  }
  session_.clear();
  while (warm_.size() > kMaxWarmSources) {
    retiring_.push_back(std::move(warm_.front().source));
    warm_.pop_front();
  }
  // The device's queue (at most the output latency) is left to play out: the window creates the
  // same address again right after this, and the taken-over source then carries on seamlessly.
  initialised_ = false;
  tagSlot_.clear();
  noteWhatPlays();
  janitorWake_.notify_one();
}

bool Engine::start() {
  caller_.check();
  std::lock_guard lock(mutex_);
  return initialised_;
}

DWORD Engine::create(std::string_view url, CreationKind kind) {
  caller_.check();
  EventQueue::Batch batch(&events_);
  std::lock_guard lock(mutex_);
  if (!initialised_ || !deps_.plausibleUrl(url)) return 0;
  std::shared_ptr<Source> source = sourceFor(std::string(url), kind);
  if (!source) return 0;
  log::timeline::mark(log::timeline::Stage::Created, source->voice().recording);
  log::write(audio::kEngineLog, kind == CreationKind::General ? "general" : "aac", " channel for ",
             source->url(), ", ", source->connections(), " connection(s) so far");
  ChannelNews& news = source->news();
  const DWORD handle = channels_.add(Channel{kind, std::move(source)});
  news.attach(handle, batch);
  return handle;
}

// The source a new channel of `kind` joins: the one its twin creation made in this
// initialisation, else a warm one freed a moment ago, else a new connection; marked as having
// a channel of `kind`.
std::shared_ptr<Source> Engine::sourceFor(const std::string& url, CreationKind kind) {
  const bool publicOnly = heldToPublic(url);
  for (auto& entry : session_) {
    if (entry.source->url() == url && !entry.has(kind) && entry.publicOnly == publicOnly) {
      entry.has(kind) = true;
      return entry.source;
    }
  }
  for (auto it = warm_.rbegin(); it != warm_.rend(); ++it) {
    if (it->source->url() != url || it->source->finished() || it->source->closed() ||
        it->publicOnly != publicOnly)
      continue;
    std::shared_ptr<Source> source = std::move(it->source);
    warm_.erase(std::next(it).base());
    source->keepAlive(true);
    session_.push_back({source});
    session_.back().publicOnly = publicOnly;
    session_.back().has(kind) = true;
    return source;
  }
  return startSource(url, kind);
}

std::shared_ptr<Source> Engine::launch(const std::string& url, bool publicOnly) {
  const net::Reach reach = publicOnly ? net::Reach::PublicOnly : net::Reach::Anywhere;
  std::shared_ptr<net::HttpStream> stream;
  if (deps_.pages) {
    const std::lock_guard gate(gateMutex_);
    if (gateClosed_) return nullptr;
  } else {
    stream = open(url, std::nullopt, reach);
    if (!stream) return nullptr;
  }
  auto source = std::make_shared<Source>(url, std::move(stream), openerFor(publicOnly), deps_.retry,
                                         deps_.pages, LevelOptions{&levelLoudness_, deps_.loudness},
                                         &events_);
  if (!mixer_.attach(&source->voice())) {
    retiring_.push_back(std::move(source));
    janitorWake_.notify_one();
    return nullptr;
  }
  source->startDecoder();
  return source;
}

std::shared_ptr<Source> Engine::startSource(const std::string& url, CreationKind kind) {
  const bool publicOnly = heldToPublic(url);
  std::shared_ptr<Source> source = launch(url, publicOnly);
  if (!source) return nullptr;
  session_.push_back({source});
  session_.back().has(kind) = true;
  session_.back().publicOnly = publicOnly;
  return source;
}

void Engine::prepare(std::string_view url) {
  caller_.check();
  std::lock_guard lock(mutex_);
  if (shutDown_ || !deps_.plausibleUrl(url)) return;
  log::timeline::mark(log::timeline::Stage::Hinted, log::timeline::recording());
  const std::string address(url);
  const bool publicOnly = heldToPublic(address);
  for (const auto& entry : session_) {
    if (entry.source->url() == address && !entry.source->closed() && entry.publicOnly == publicOnly)
      return;
  }
  for (const auto& warm : warm_) {
    if (warm.source->url() == address && !warm.source->finished() && warm.publicOnly == publicOnly)
      return;
  }
  if (output_) output_->prepare();
  std::shared_ptr<Source> source = launch(address, publicOnly);
  if (!source) return;
  log::write(audio::kEngineLog, "preparing ", address);
  // Like a freed source: its connection is not made again if it ends before anyone takes it.
  source->keepAlive(false);
  warm_.push_back({std::move(source), std::chrono::steady_clock::now(), publicOnly});
  while (warm_.size() > kMaxWarmSources) {
    retiring_.push_back(std::move(warm_.front().source));
    warm_.pop_front();
  }
  janitorWake_.notify_one();
}

void Engine::retryNow() {
  std::lock_guard lock(mutex_);
  for (auto& entry : session_) entry.source->retryNow();
}

void Engine::want(Source& source, CreationKind kind, bool on) {
  (kind == CreationKind::General ? source.voice().wantGeneral : source.voice().wantAac)
      .store(on, std::memory_order_release);
}

DWORD Engine::isActive(DWORD handle) {
  caller_.check();
  std::lock_guard lock(mutex_);
  const Channel* channel = channels_.find(handle);
  if (channel == nullptr || channel->state != ChannelState::Playing) return BASS_ACTIVE_STOPPED;
  const Source& source = *channel->source;
  const Family family = source.voice().family.load(std::memory_order_acquire);
  if (family == Family::Undecided) return BASS_ACTIVE_STALLED;
  if (!kindPlays(channel->kind, family)) return BASS_ACTIVE_STOPPED;
  if (source.reconnecting()) return BASS_ACTIVE_STALLED;
  if (source.voice().ring.readable() > 0) return BASS_ACTIVE_PLAYING;
  return source.finished() ? BASS_ACTIVE_STOPPED : BASS_ACTIVE_STALLED;
}

bool Engine::play(DWORD handle, bool restart) {
  caller_.check();
  EventQueue::Batch batch(&events_);
  std::lock_guard lock(mutex_);
  Channel* channel = channels_.find(handle);
  if (channel == nullptr) return false;
  const bool wasStopped = channel->state == ChannelState::Stopped;
  Source& source = *channel->source;
  const Family family = source.voice().family.load(std::memory_order_acquire);
  if (source.closed()) {
    // Stopped so long that its connection was closed: both channels of the pair go on with a
    // new connection.
    const std::shared_ptr<Source> old = channel->source;
    auto fresh = startSource(source.url(), channel->kind);
    if (!fresh) return false;
    channels_.forEach([&](DWORD twin, Channel& other) {
      if (other.source != old) return;
      old->news().detach(twin);
      other.source = fresh;
      session_.back().has(other.kind) = true;
      if (other.state != ChannelState::Stopped) fresh->news().attach(twin, batch);
    });
  } else if (source.finished() && kindPlays(channel->kind, family)) {
    // The server closed the stream: playing again means connecting again. The twin channel keeps
    // the old source, which it never plays.
    auto fresh = startSource(source.url(), channel->kind);
    if (!fresh) return false;
    source.news().detach(handle);
    channel->source = std::move(fresh);
  } else if (restart && wasStopped) {
    // What waited in the ring while stopped is old news: keep only the newest moment of it.
    source.voice().trimRequests.fetch_add(1, std::memory_order_release);
  }
  channel->state = ChannelState::Playing;
  want(*channel->source, channel->kind, true);
  noteWhatPlays();
  channel->source->news().attach(handle, batch);
  postActivity(handle, batch);
  return true;
}

bool Engine::stop(DWORD handle) {
  caller_.check();
  EventQueue::Batch batch(&events_);
  std::lock_guard lock(mutex_);
  Channel* channel = channels_.find(handle);
  if (channel == nullptr) return false;
  if (channel->state == ChannelState::Playing) postActivity(handle, batch);
  channel->state = ChannelState::Stopped;
  // A stopped player hears nothing more, though its source goes on receiving for a while: once
  // none of a source's channels plays, none of them (a twin only created either) is told.
  bool othersPlay = false;
  channels_.forEach([&](DWORD, const Channel& other) {
    othersPlay =
        othersPlay || (other.source == channel->source && other.state == ChannelState::Playing);
  });
  if (othersPlay)
    channel->source->news().detach(handle);
  else
    channel->source->news().detachAll();
  const bool wasAudible = channel->source->voice().audible();
  channel->source->goLive();  // a stop is a stop, not a pause: playing again starts live
  channel->source->voice().holdUntilNs.store(0, std::memory_order_release);
  want(*channel->source, channel->kind, false);
  if (wasAudible && output_) output_->dropQueued();
  noteWhatPlays();
  return true;
}

Source* Engine::playingSource(DWORD handle) {
  Channel* channel = channels_.find(handle);
  if (channel == nullptr || channel->state != ChannelState::Playing) return nullptr;
  return channel->source.get();
}

bool Engine::pause(DWORD handle, bool paused) {
  caller_.check();
  EventQueue::Batch batch(&events_);
  std::lock_guard lock(mutex_);
  Source* source = playingSource(handle);
  if (source != nullptr) {
    source->setPaused(paused);
    source->news().tell(ChannelNews::kShift | ChannelNews::kTitle, batch, true);
  }
  noteWhatPlays();
  return source != nullptr;
}

bool Engine::seek(DWORD handle, std::int64_t us) {
  caller_.check();
  EventQueue::Batch batch(&events_);
  std::lock_guard lock(mutex_);
  Source* source = playingSource(handle);
  if (source != nullptr) {
    source->seek(us);
    source->news().tell(ChannelNews::kShift | ChannelNews::kTitle, batch, true);
  }
  return source != nullptr;
}

bool Engine::goLive(DWORD handle) {
  caller_.check();
  EventQueue::Batch batch(&events_);
  std::lock_guard lock(mutex_);
  Channel* channel = channels_.find(handle);
  if (channel != nullptr) {
    channel->source->goLive();
    channel->source->news().tell(ChannelNews::kShift | ChannelNews::kTitle, batch, true);
  }
  return channel != nullptr;
}

std::optional<ShiftState> Engine::shift(DWORD handle) {
  caller_.check();
  std::lock_guard lock(mutex_);
  const Channel* channel = channels_.find(handle);
  const Source* source = playingSource(handle);
  if (source == nullptr ||
      !kindPlays(channel->kind, source->voice().family.load(std::memory_order_acquire)))
    return std::nullopt;
  return source->shiftState();
}

void Engine::noteWhatPlays() {
  bool anyPlays = false;
  const auto now = std::chrono::steady_clock::now();
  for (auto& entry : session_) {
    bool plays = false;
    bool sounds = false;
    channels_.forEach([&](DWORD, const Channel& channel) {
      if (channel.source != entry.source || channel.state != ChannelState::Playing) return;
      plays = true;
      sounds = sounds || !entry.source->voice().paused.load(std::memory_order_acquire);
    });
    anyPlays = anyPlays || sounds;
    if (plays) {
      entry.stoppedSince.reset();
    } else if (!entry.stoppedSince) {
      entry.stoppedSince = now;
      janitorWake_.notify_one();
    }
  }
  if (output_) output_->setWanted(anyPlays);
}

std::optional<StreamFigures> Engine::figures(DWORD handle) {
  std::lock_guard lock(mutex_);
  const Source* source = playingSource(handle);
  if (source == nullptr) return std::nullopt;
  return source->figures();
}

std::size_t Engine::liveSources() {
  std::lock_guard lock(mutex_);
  return session_.size() + warm_.size() + retiring_.size();
}

std::uint64_t Engine::outputUnderruns() {
  std::lock_guard lock(mutex_);
  return output_ ? output_->underruns() : 0;
}

void Engine::janitorLoop() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    const auto now = std::chrono::steady_clock::now();
    std::vector<std::shared_ptr<Source>> doomed = std::move(retiring_);
    retiring_.clear();
    // Oldest first: the front is the next to run out of time.
    while (!warm_.empty() && now - warm_.front().since >= deps_.keepWarm) {
      doomed.push_back(std::move(warm_.front().source));
      warm_.pop_front();
    }
    // A source whose channels have all been stopped for as long as a warm one waits is closed:
    // its handles stay, and playing one of them again connects anew.
    std::optional<std::chrono::steady_clock::time_point> nextClose;
    for (auto& entry : session_) {
      if (!entry.stoppedSince || entry.source->closed() || entry.source->finished()) continue;
      const auto due = *entry.stoppedSince + deps_.keepWarm;
      if (now >= due) {
        log::write(audio::kEngineLog, "stopped a while: closing ", entry.source->url());
        entry.source->close();
      } else if (!nextClose || due < *nextClose) {
        nextClose = due;
      }
    }
    // A warm source that ended meanwhile goes too (it says nothing when it ends, so this is
    // seen at the next wake).
    for (auto it = warm_.begin(); it != warm_.end();) {
      if (!it->source->finished()) {
        ++it;
        continue;
      }
      doomed.push_back(std::move(it->source));
      it = warm_.erase(it);
    }
    if (doomed.empty()) {
      // Woken by a source handed over (retiring_), a new warm one, or shutdown(); else when the
      // oldest warm source runs out of time.
      if (!warm_.empty() && (!nextClose || warm_.front().since + deps_.keepWarm < *nextClose))
        nextClose = warm_.front().since + deps_.keepWarm;
      if (nextClose)
        janitorWake_.wait_until(lock, *nextClose);
      else
        janitorWake_.wait(lock);
      continue;
    }
    lock.unlock();
    for (auto& source : doomed) {
      mixer_.detach(&source->voice());
      source.reset();  // joins the decoder thread
    }
    // A source's song buffer and decoder leave many small free blocks in its thread's heap; the
    // allocator keeps such pages unless asked, and the program would stay at its largest size.
    malloc_trim(0);
    lock.lock();
  }
}

}  // namespace radiolist::audio
