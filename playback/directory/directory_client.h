#pragma once
// The community station directory's client: a search, stations by their directory ids, and the
// click the directory asks a client to send when a user plays or adds a station found there.
// Nothing is sent anywhere (not even a DNS question) before the first request.
//
// Threads: every call returns at once; no call waits for the DNS or the network. A request runs
// on a thread of its own ("rl-directory"): it finds the mirrors (the DNS, once per client and
// hour), then asks them in turn. Each mirror's request is an HttpStream on the library's one
// network thread, read by a thread of its own ("rl-dir-fetch") that lives as long as the
// answer comes in. A mirror that fails, or has not answered giveWay after it was asked, gives
// way to the next; the slow one may still win: the first good answer counts, and the other
// requests are then cancelled. The outcome is handed to the callback (on the request's thread)
// and kept for result().
//
// Lifetime: dropping a Request does not cancel it (a click is meant to be sent and forgotten);
// cancel() does, at once. Dropping the Client leaves running requests to finish on their own.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "playback/directory/mirrors.h"
#include "playback/directory/query.h"
#include "playback/directory/station_list.h"

namespace radiolist::directory {

// Why a request gave no answer. The edge that shows it to the user makes it a sentence.
enum class Failure {
  None,
  NoMirror,     // no mirror to ask: the DNS named none, or RADIOLIST_DIRECTORY none usable
  Unreachable,  // the mirror could not be connected to (name lookup, refused, TLS, reset)
  TimedOut,     // no answer in time
  Status,       // the mirror answered with an HTTP error (Outcome::httpStatus)
  BadAnswer,    // the answer was not the JSON asked for (or too many redirects)
  TooLarge,     // the answer went past kMaxResponseBytes (or its head past the transport's caps)
  TooDeep,      // the answer's JSON nested past kMaxJsonDepth
  Refused,      // a mirror of the public directory at an address of the user's own network
  BadRequest,   // nothing to send: a click or byuuid without a directory id
  Busy,         // too many requests in flight
  Cancelled,    // cancel() was called
};
// A short English name of the failure, for diagnostics and tests (not shown to users).
[[nodiscard]] const char* failureName(Failure failure);

struct Outcome {
  Failure failure = Failure::None;
  std::string mirror;  // the base of the mirror that answered, or of the one that failed last
  std::string detail;  // curl's words, the parse position: for diagnostics
  int httpStatus = 0;  // of the mirror's last response head, 0 when none
  StationList list;    // search and byuuid: the rows (empty unless failure is None)
};

struct ClientOptions {
  // Named mirrors, asked in this order (the one that answered last first); nullopt: found in
  // the DNS at the first request.
  std::optional<std::vector<Mirror>> mirrors;
  std::string userAgent;  // "" means "radiolist/<version>"
  std::chrono::milliseconds giveWay{1000};
  std::chrono::milliseconds deadline{8000};  // the whole request, discovery included
  std::string caFile;                        // PEM file of trusted CAs; "" for the system's
};

// RADIOLIST_DIRECTORY (see mirrorsFromList()) when set, else discovery.
[[nodiscard]] ClientOptions optionsFromEnvironment();
[[nodiscard]] std::string defaultUserAgent();

// At most this many mirrors are asked by one request.
inline constexpr std::size_t kMaxMirrorsAsked = 5;
// At most this many of the client's threads run at once in the process; a request beyond is Busy.
inline constexpr std::size_t kMaxDirectoryThreads = 32;

namespace detail {
struct Book;
struct RequestState;
}  // namespace detail

// Called once with the outcome: on the request's thread, or on the caller's before the call
// returns when the request is refused at once (Busy, BadRequest). It has returned by the time
// result() or wait() gives the outcome. Keep it short: post the outcome to where it is wanted.
using Callback = std::function<void(const Outcome&)>;

class Request {
 public:
  explicit Request(std::shared_ptr<detail::RequestState> state) : state_(std::move(state)) {}

  // Ends the request: its fetches are cancelled and the outcome is Cancelled, unless it had
  // already come. Never blocks; any thread.
  void cancel();
  // The outcome once the request ended, nullopt before.
  [[nodiscard]] std::optional<Outcome> result() const;
  // Waits for the outcome at most `timeout`. For tests and tools: never on the window's thread.
  [[nodiscard]] std::optional<Outcome> wait(std::chrono::milliseconds timeout) const;

 private:
  std::shared_ptr<detail::RequestState> state_;
};

class Client {
 public:
  explicit Client(ClientOptions options = optionsFromEnvironment());

  [[nodiscard]] std::shared_ptr<Request> search(const Query& query, Callback done = {});
  [[nodiscard]] std::shared_ptr<Request> byUuid(const std::vector<std::string>& uuids,
                                                Callback done = {});
  // Counts a click for the station (the directory's popularity). Outcome None when counted.
  std::shared_ptr<Request> click(std::string_view uuid, Callback done = {});

  // The mirror that answered last ("" before any did).
  [[nodiscard]] std::string rememberedMirror() const;
  // The client's threads running now, in the whole process.
  [[nodiscard]] static std::size_t liveThreads();

 private:
  std::shared_ptr<Request> start(int kind, std::string path, Callback done);
  std::shared_ptr<detail::Book> book_;
};

}  // namespace radiolist::directory
