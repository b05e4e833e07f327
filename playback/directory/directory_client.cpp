#include "playback/directory/directory_client.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <random>
#include <stop_token>
#include <system_error>
#include <thread>
#include <utility>

#include "playback/formats/page_scan.h"
#include "playback/log/log.h"
#include "playback/log/thread_name.h"
#include "playback/net/http_stream.h"
#include "playback/net/log_domain.h"

namespace radiolist::directory {

using Clock = std::chrono::steady_clock;

namespace {

std::atomic<std::size_t> gLiveThreads{0};

// Mirrors found in the DNS are asked for an hour; a fallback to the round-robin name alone
// (the DNS said nothing useful) for a minute.
constexpr auto kDiscoveryLife = std::chrono::hours(1);
constexpr auto kFallbackLife = std::chrono::minutes(1);
// One mirror's connection and silence; the request's deadline bounds them too.
constexpr auto kConnectTimeout = std::chrono::seconds(5);
constexpr auto kStallTimeout = std::chrono::seconds(5);
constexpr std::size_t kStreamBufferBytes = 256 * 1024;
constexpr std::size_t kReadBytes = 64 * 1024;

enum Kind { kStations = 0, kClick = 1 };

// A thread of the client's counted from its start to its end; a start beyond the bound fails.
class ThreadSlot {
 public:
  static bool take() {
    std::size_t live = gLiveThreads.load();
    do {
      if (live >= kMaxDirectoryThreads) return false;
    } while (!gLiveThreads.compare_exchange_weak(live, live + 1));
    return true;
  }
  static void give() { gLiveThreads.fetch_sub(1); }
};

template <typename Body>
bool launch(const char* name, Body body) {
  if (!ThreadSlot::take()) return false;
  try {
    std::thread([name, body = std::move(body)]() mutable {
      log::nameThisThread(name);
      {
        Body run = std::move(body);  // what it holds is let go of before the thread counts as ended
        run();
      }
      ThreadSlot::give();
    }).detach();
  } catch (const std::system_error&) {
    ThreadSlot::give();
    return false;
  }
  return true;
}

}  // namespace

namespace detail {

// What the client knows of the mirrors, shared by its requests.
struct Book {
  explicit Book(ClientOptions o) : options(std::move(o)) {}
  const ClientOptions options;

  std::mutex mutex;
  std::condition_variable_any changed;
  // Guarded by mutex:
  std::string remembered;  // the base of the mirror that answered last
  std::vector<Mirror> discovered;
  Clock::time_point discoveredUntil{};
  bool discovering = false;  // a request's thread asks the DNS now
  std::mt19937 random{std::random_device{}()};

  // The mirrors to ask, in order. Asks the DNS when it has to, on the calling request's thread;
  // another request waits for that one's answer (or its own stop) rather than asking too.
  std::vector<Mirror> mirrors(const std::stop_token& stop) {
    std::unique_lock lock(mutex);
    if (options.mirrors) return rememberedFirst(*options.mirrors, remembered);
    if (!changed.wait(lock, stop, [&] { return !discovering; })) return {};
    if (!discovered.empty() && Clock::now() < discoveredUntil)
      return rememberedFirst(discovered, remembered);
    discovering = true;
    lock.unlock();
    std::vector<Mirror> srv = srvMirrors();
    std::vector<Mirror> reverse;
    if (srv.empty()) reverse = reverseMirrors();
    const bool foundAny = !srv.empty() || !reverse.empty();
    lock.lock();
    discovering = false;
    discovered = discoveredOrder(std::move(srv), std::move(reverse), remembered, random);
    discoveredUntil = Clock::now() +
                      (foundAny ? Clock::duration(kDiscoveryLife) : Clock::duration(kFallbackLife));
    changed.notify_all();
    return discovered;
  }

  void remember(const std::string& base) {
    const std::lock_guard lock(mutex);
    remembered = base;
  }
};

// One mirror's answer, as its fetch thread hands it to the request.
struct Answer {
  Mirror mirror;
  Failure failure = Failure::None;
  int httpStatus = 0;
  std::string detail;
  StationList list;
};

struct RequestState {
  RequestState(int k, std::string p, std::shared_ptr<Book> b, Callback c)
      : kind(k), path(std::move(p)), book(std::move(b)), callback(std::move(c)) {}

  const int kind;
  const std::string path;
  const std::shared_ptr<Book> book;
  const Callback callback;
  // cancel(), and the request's end: wakes its waits and cancels every fetch still running.
  std::stop_source stop;

  mutable std::mutex mutex;
  mutable std::condition_variable_any changed;
  // Guarded by mutex:
  std::vector<Answer> answers;     // fetches ended, not yet looked at by the request's thread
  std::optional<Outcome> outcome;  // set once

  std::atomic<bool> finished{false};  // finish() ran (or runs): once only

  // Ends the request: the losers' fetches are cancelled, the callback runs, and only then is the
  // outcome published, so that whoever sees it knows the callback has returned.
  void finish(Outcome result) {
    if (finished.exchange(true)) return;
    stop.request_stop();
    if (callback) callback(result);
    {
      const std::lock_guard lock(mutex);
      outcome = std::move(result);
    }
    changed.notify_all();
  }
};

}  // namespace detail

namespace {

Outcome refusal(Failure failure, std::string detail) {
  Outcome o;
  o.failure = failure;
  o.detail = std::move(detail);
  return o;
}

using detail::Answer;
using detail::RequestState;

Answer failed(const Mirror& mirror, Failure failure, std::string detail, int status = 0) {
  Answer a;
  a.mirror = mirror;
  a.failure = failure;
  a.detail = std::move(detail);
  a.httpStatus = status;
  return a;
}

Failure failureOf(const net::StreamStats& stats) {
  switch (stats.error) {
    case net::StreamError::None: return Failure::None;
    case net::StreamError::BadUrl: return Failure::Unreachable;
    case net::StreamError::Connect:
      return stats.connectStep == net::ConnectStep::TimedOut ? Failure::TimedOut
                                                             : Failure::Unreachable;
    case net::StreamError::HttpStatus: return Failure::Status;
    case net::StreamError::TooManyRedirects: return Failure::BadAnswer;
    case net::StreamError::HeadTooLarge: return Failure::TooLarge;
    case net::StreamError::HeadTimeout:
    case net::StreamError::Stalled: return Failure::TimedOut;
    case net::StreamError::Transfer: return Failure::Unreachable;
  }
  return Failure::Unreachable;
}

// One mirror asked, on its fetch thread: the whole answer read (at most kMaxResponseBytes) and
// parsed. Ends early when `stop` is requested or the deadline passes.
Answer fetch(const RequestState& request, const Mirror& mirror, Clock::time_point deadline,
             const std::stop_token& stop) {
  const ClientOptions& options = request.book->options;
  if (mirror.reach == net::Reach::PublicOnly && formats::isLocalHost(formats::urlHost(mirror.base)))
    return failed(mirror, Failure::Refused, "a public mirror on the user's own network");
  const auto left = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  };
  net::StreamOptions o;
  o.url = mirror.base + request.path;
  o.userAgent = options.userAgent.empty() ? defaultUserAgent() : options.userAgent;
  o.connectTimeout =
      std::clamp<std::chrono::milliseconds>(left(), std::chrono::milliseconds(1), kConnectTimeout);
  o.headTimeout = std::max(left(), std::chrono::milliseconds(1));
  o.stallTimeout = kStallTimeout;
  o.bufferBytes = kStreamBufferBytes;
  o.maxRedirects = 3;
  o.caFile = options.caFile;
  o.reach = mirror.reach;
  const std::shared_ptr<net::HttpStream> stream = net::HttpStream::start(std::move(o));
  const std::stop_callback cancelOnStop(stop, [&] { stream->cancel(); });

  std::string body;
  std::vector<std::byte> piece(kReadBytes);
  for (;;) {
    const auto wait = left();
    if (wait.count() <= 0) {
      stream->cancel();
      return failed(mirror, Failure::TimedOut, "no whole answer in time",
                    stream->stats().httpStatus);
    }
    const net::ReadResult r = stream->readSome(piece, wait);
    if (r.status == net::ReadStatus::Over) break;
    if (r.status == net::ReadStatus::TimedOut) continue;
    if (body.size() + r.bytes > kMaxResponseBytes) {
      stream->cancel();  // nothing more is read of it
      return failed(mirror, Failure::TooLarge,
                    "answer over " + std::to_string(kMaxResponseBytes) + " bytes",
                    stream->stats().httpStatus);
    }
    body.append(reinterpret_cast<const char*>(piece.data()), r.bytes);
  }
  const net::StreamStats stats = stream->stats();
  switch (stream->state()) {
    case net::StreamState::Cancelled: return failed(mirror, Failure::Cancelled, {});
    case net::StreamState::Failed:
      if (stats.error == net::StreamError::HttpStatus)
        return failed(mirror, Failure::Status, "HTTP " + std::to_string(stats.httpStatus),
                      stats.httpStatus);
      return failed(mirror, failureOf(stats), stats.errorText, stats.httpStatus);
    default: break;
  }
  Answer answer;
  answer.mirror = mirror;
  answer.httpStatus = stats.httpStatus;
  if (request.kind == kClick) {
    if (!clickCounted(body)) return failed(mirror, Failure::BadAnswer, "click not counted");
    return answer;
  }
  answer.list = parseStations(body, mirror.stations);
  switch (answer.list.error) {
    case ParseError::None: break;
    case ParseError::TooDeep:
      return failed(mirror, Failure::TooDeep, "nested too deep", stats.httpStatus);
    case ParseError::NotAList:
      return failed(mirror, Failure::BadAnswer, "not a list", stats.httpStatus);
    case ParseError::NotJson:
      return failed(mirror, Failure::BadAnswer,
                    "not JSON at byte " + std::to_string(answer.list.errorAt), stats.httpStatus);
  }
  const Dropped& d = answer.list.dropped;
  log::write(net::kNetLog, "directory: ", mirror.base, " gave ", answer.list.stations.size(),
             " stations (dropped: ", d.notWeb, " not web, ", d.local, " local, ", d.duplicate,
             " repeated, ", d.notStation, " not stations", answer.list.cut ? "; cut" : "", ")");
  return answer;
}

Outcome outcomeOf(Answer answer) {
  Outcome o;
  o.failure = answer.failure;
  o.mirror = std::move(answer.mirror.base);
  o.detail = std::move(answer.detail);
  o.httpStatus = answer.httpStatus;
  o.list = std::move(answer.list);
  return o;
}

// The request's thread: mirrors asked in turn until one answers.
void run(const std::shared_ptr<RequestState>& request) {
  const std::stop_token stop = request->stop.get_token();
  const ClientOptions& options = request->book->options;
  const auto deadline = Clock::now() + options.deadline;
  std::vector<Mirror> mirrors = request->book->mirrors(stop);
  if (stop.stop_requested()) return request->finish(refusal(Failure::Cancelled, {}));
  if (mirrors.empty())
    return request->finish(refusal(Failure::NoMirror, "no directory mirror found"));
  if (mirrors.size() > kMaxMirrorsAsked) mirrors.resize(kMaxMirrorsAsked);

  std::size_t next = 0;
  std::vector<std::string> running;  // the bases of the mirrors asked and not yet answered
  Clock::time_point giveWay{};
  Answer last = failed(mirrors.front(), Failure::TimedOut, "no answer in time");
  const auto ask = [&] {
    const Mirror& mirror = mirrors[next++];
    log::write(net::kNetLog, "directory: asking ", mirror.base, request->path);
    giveWay = Clock::now() + options.giveWay;
    const bool started = launch("rl-dir-fetch", [request, mirror, deadline] {
      Answer answer = fetch(*request, mirror, deadline, request->stop.get_token());
      {
        const std::lock_guard lock(request->mutex);
        request->answers.push_back(std::move(answer));
      }
      request->changed.notify_all();
    });
    if (started) {
      running.push_back(mirror.base);
    } else {
      const std::lock_guard lock(request->mutex);
      request->answers.push_back(failed(mirror, Failure::Busy, "too many requests in flight"));
    }
  };
  ask();

  std::unique_lock lock(request->mutex);
  for (;;) {
    const auto wake = next < mirrors.size() ? std::min(deadline, giveWay) : deadline;
    request->changed.wait_until(lock, stop, wake, [&] { return !request->answers.empty(); });
    if (stop.stop_requested()) {
      lock.unlock();
      return request->finish(refusal(Failure::Cancelled, {}));
    }
    std::vector<Answer> answers = std::exchange(request->answers, {});
    const bool someFailed = !answers.empty();  // (a good answer returns below)
    for (Answer& answer : answers) {
      std::erase(running, answer.mirror.base);
      if (answer.failure == Failure::None) {
        lock.unlock();
        request->book->remember(answer.mirror.base);
        return request->finish(outcomeOf(std::move(answer)));
      }
      log::write(net::kNetLog, "directory: ", answer.mirror.base, ": ", failureName(answer.failure),
                 " (", answer.detail, ")");
      last = std::move(answer);
    }
    const auto now = Clock::now();
    if (now >= deadline) {
      lock.unlock();
      if (!running.empty())  // the first asked of those still silent
        last = failed({.base = running.front()}, Failure::TimedOut, "no answer in time");
      return request->finish(outcomeOf(std::move(last)));
    }
    // A mirror that failed gives way at once, one that is slow after giveWay (and may still win).
    if (next < mirrors.size() && (someFailed || running.empty() || now >= giveWay)) {
      lock.unlock();
      ask();
      lock.lock();
    } else if (running.empty() && request->answers.empty()) {
      lock.unlock();
      return request->finish(outcomeOf(std::move(last)));
    }
  }
}

}  // namespace

const char* failureName(Failure failure) {
  switch (failure) {
    case Failure::None: return "none";
    case Failure::NoMirror: return "no mirror";
    case Failure::Unreachable: return "unreachable";
    case Failure::TimedOut: return "timed out";
    case Failure::Status: return "HTTP status";
    case Failure::BadAnswer: return "bad answer";
    case Failure::TooLarge: return "too large";
    case Failure::TooDeep: return "nested too deep";
    case Failure::Refused: return "refused address";
    case Failure::BadRequest: return "bad request";
    case Failure::Busy: return "busy";
    case Failure::Cancelled: return "cancelled";
  }
  return "?";
}

std::string defaultUserAgent() { return "radiolist/" RADIOLIST_VERSION; }

ClientOptions optionsFromEnvironment() {
  ClientOptions options;
  if (const char* named = std::getenv("RADIOLIST_DIRECTORY"); named != nullptr && *named != '\0')
    options.mirrors = mirrorsFromList(named);
  return options;
}

void Request::cancel() { state_->stop.request_stop(); }

std::optional<Outcome> Request::result() const {
  const std::lock_guard lock(state_->mutex);
  return state_->outcome;
}

std::optional<Outcome> Request::wait(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(state_->mutex);
  state_->changed.wait_for(lock, timeout, [&] { return state_->outcome.has_value(); });
  return state_->outcome;
}

Client::Client(ClientOptions options) : book_(std::make_shared<detail::Book>(std::move(options))) {}

std::shared_ptr<Request> Client::start(int kind, std::string path, Callback done) {
  auto state = std::make_shared<RequestState>(kind, std::move(path), book_, std::move(done));
  auto request = std::make_shared<Request>(state);
  if (state->path.empty()) {
    state->finish(refusal(Failure::BadRequest, "no directory id"));
  } else if (!launch("rl-directory", [state] { run(state); })) {
    state->finish(refusal(Failure::Busy, "too many requests in flight"));
  }
  return request;
}

std::shared_ptr<Request> Client::search(const Query& query, Callback done) {
  return start(kStations, searchPath(query), std::move(done));
}

std::shared_ptr<Request> Client::byUuid(const std::vector<std::string>& uuids, Callback done) {
  return start(kStations, byUuidPath(uuids), std::move(done));
}

std::shared_ptr<Request> Client::click(std::string_view uuid, Callback done) {
  return start(kClick, clickPath(uuid), std::move(done));
}

std::string Client::rememberedMirror() const {
  const std::lock_guard lock(book_->mutex);
  return book_->remembered;
}

std::size_t Client::liveThreads() { return gLiveThreads.load(); }

}  // namespace radiolist::directory
