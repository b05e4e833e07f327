// The directory client end to end, against tools/directory-server.py on loopback: mirrors that
// hang, fail or misbehave, duplicates, the User-Agent, clicks, cancelling.

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <algorithm>
#include <atomic>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "playback/directory/directory_client.h"
#include "support/child_process.h"
#include "support/directory_announcement.h"

namespace radiolist::directory {
namespace {

using namespace std::chrono_literals;

// One stand-in mirror: the server, its port, the uuids of the stations the test added, and the
// request lines it logged with their User-Agents.
class StandIn {
 public:
  explicit StandIn(std::vector<std::string> args, int stations = 20000) {
    char logTemplate[] = "/tmp/rl-directory-XXXXXX";
    const int fd = mkstemp(logTemplate);
    if (fd >= 0) close(fd);
    log_ = logTemplate;
    std::vector<std::string> argv = {"python3",    RL_DIRECTORY_SERVER_PY,   "--port", "0",
                                     "--stations", std::to_string(stations), "--log",  log_};
    std::size_t added = 0;
    for (const std::string& a : args) added += a == "--station";
    argv.insert(argv.end(), args.begin(), args.end());
    child_ = std::make_unique<test::ChildProcess>(
        test::ChildProcess::Options{.argv = argv, .captureStdout = true});
    test::DirectoryAnnouncement heard = test::readDirectoryAnnouncement(*child_, added);
    port_ = heard.port;
    uuids_ = std::move(heard.uuids);
    if (port_ == 0 || uuids_.size() != added)
      ADD_FAILURE() << "the stand-in did not start: " << heard.text;
  }
  ~StandIn() { std::remove(log_.c_str()); }

  [[nodiscard]] std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  [[nodiscard]] const std::vector<std::string>& uuids() const { return uuids_; }
  // Request line, tab, User-Agent: one per request received.
  [[nodiscard]] std::vector<std::string> requests() const {
    std::vector<std::string> lines;
    std::ifstream in(log_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  // Waits (at most 10 s) until the server has logged `count` requests.
  [[nodiscard]] bool waitForRequests(std::size_t count) const {
    for (int i = 0; i < 200 && requests().size() < count; ++i) std::this_thread::sleep_for(50ms);
    return requests().size() >= count;
  }

 private:
  std::unique_ptr<test::ChildProcess> child_;
  std::string log_;
  int port_ = 0;
  std::vector<std::string> uuids_;
};

Mirror local(const StandIn& s) { return {s.base(), net::Reach::Anywhere, Origin::Local}; }
// A loopback mirror that the client takes for a public one (its stations held to that rule).
Mirror posingAsPublic(const StandIn& s) { return {s.base(), net::Reach::Anywhere, Origin::Public}; }

Client clientOf(std::vector<Mirror> mirrors, std::chrono::milliseconds deadline = 8000ms) {
  ClientOptions options;
  options.mirrors = std::move(mirrors);
  options.deadline = deadline;
  return Client(std::move(options));
}

// The client's threads end soon after their requests (at most 10 s here: a generous bound for a
// loaded machine, not a figure).
bool threadsEnd() {
  for (int i = 0; i < 200 && Client::liveThreads() != 0; ++i) std::this_thread::sleep_for(50ms);
  return Client::liveThreads() == 0;
}

TEST(DirectoryClient, FindsAStationPastAMirrorThatHangsAndOneThatFails) {
  const std::string tone = "http://127.0.0.1:9/tone.mp3";
  StandIn hanging({"--mode", "hang"}, 10);
  StandIn failing({"--mode", "status", "--status", "503"}, 10);
  StandIn good({"--station", "Loopback Tone|" + tone + "|test,tone|Nowhere|MP3|128", "--station",
                "Loopback Tone again|" + tone});
  Client client = clientOf({local(hanging), local(failing), local(good)});

  Query query;
  query.name = "loopback tone";
  const auto started = std::chrono::steady_clock::now();
  int calls = 0;
  const auto search = client.search(query, [&](const Outcome&) { ++calls; });
  const std::optional<Outcome> found = search->wait(20s);
  const auto took = std::chrono::steady_clock::now() - started;
  ASSERT_TRUE(found.has_value());
  ASSERT_EQ(found->failure, Failure::None) << failureName(found->failure) << ": " << found->detail;
  std::cout << "found after " << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
            << " ms\n";
  EXPECT_EQ(found->mirror, good.base());
  ASSERT_EQ(found->list.stations.size(), 1u);  // the second entry repeats the stream address
  EXPECT_EQ(found->list.dropped.duplicate, 1u);
  const Station& station = found->list.stations[0];
  EXPECT_EQ(station.name, "Loopback Tone");
  EXPECT_EQ(station.url, tone);
  EXPECT_EQ(station.uuid, good.uuids()[0]);
  EXPECT_EQ(station.tags, "test,tone");
  EXPECT_EQ(station.codec, "MP3");
  EXPECT_EQ(station.bitrate, 128u);
  EXPECT_TRUE(station.lastCheckOk);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(client.rememberedMirror(), good.base());

  // Asked in turn: the hanging one, then the failing one, then the good one.
  ASSERT_EQ(hanging.requests().size(), 1u);
  ASSERT_EQ(failing.requests().size(), 1u);
  EXPECT_NE(hanging.requests()[0].find("/json/stations/search?name=loopback%20tone&"),
            std::string::npos);

  // The station by its id, and a click for it.
  const auto byId = client.byUuid({station.uuid})->wait(20s);
  ASSERT_TRUE(byId.has_value());
  ASSERT_EQ(byId->failure, Failure::None) << byId->detail;
  ASSERT_EQ(byId->list.stations.size(), 1u);
  EXPECT_EQ(byId->list.stations[0].url, tone);
  const auto click = client.click(station.uuid)->wait(20s);
  ASSERT_TRUE(click.has_value());
  EXPECT_EQ(click->failure, Failure::None) << click->detail;
  const auto clicks = good.requests();
  EXPECT_EQ(std::count_if(clicks.begin(), clicks.end(),
                          [&](const std::string& line) {
                            return line.starts_with("GET /json/url/" + station.uuid + " ");
                          }),
            1);
  // The answering mirror is asked first from now on: the others hear nothing more.
  EXPECT_EQ(hanging.requests().size(), 1u);
  EXPECT_EQ(failing.requests().size(), 1u);

  // Every request named the program.
  for (const StandIn* s : {&hanging, &failing, &good})
    for (const std::string& line : s->requests()) {
      const std::string agent = line.substr(line.find('\t') + 1);
      EXPECT_TRUE(agent.starts_with("radiolist/")) << line;
      EXPECT_EQ(agent, defaultUserAgent());
    }
  EXPECT_TRUE(threadsEnd());
}

TEST(DirectoryClient, HostileMirrorsChangeNothingButTheOutcome) {
  struct Case {
    const char* mode;
    Failure failure;
    // With Failure::None: what the rows must not hold, and what was dropped.
    std::size_t notWeb = 0, local = 0;
  };
  const std::vector<Case> cases = {
      {"huge", Failure::TooLarge},   {"million", Failure::TooLarge},
      {"deep", Failure::TooDeep},    {"status", Failure::Status},
      {"file", Failure::None, 1, 0}, {"private", Failure::None, 0, 3},
      {"bidi", Failure::None, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    StandIn hostile({"--mode", c.mode}, 200);
    Client client = clientOf({posingAsPublic(hostile)});
    Query query;
    query.limit = 50;
    const auto outcome = client.search(query)->wait(30s);
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(outcome->failure, c.failure)
        << failureName(outcome->failure) << ": " << outcome->detail;
    EXPECT_EQ(outcome->mirror, hostile.base());
    if (c.failure != Failure::None) {
      EXPECT_TRUE(outcome->list.stations.empty());
      EXPECT_EQ(client.rememberedMirror(), "");
      continue;
    }
    EXPECT_EQ(outcome->list.dropped.notWeb, c.notWeb);
    EXPECT_EQ(outcome->list.dropped.local, c.local);
    EXPECT_FALSE(outcome->list.stations.empty());
    for (const Station& s : outcome->list.stations) {
      EXPECT_TRUE(s.url.starts_with("http://") || s.url.starts_with("https://")) << s.url;
      EXPECT_EQ(s.url.find("127.0.0.1"), std::string::npos);
      EXPECT_EQ(s.reach, net::Reach::PublicOnly);
      EXPECT_EQ(s.name.find('\n'), std::string::npos);
      EXPECT_EQ(s.name.find("\u202e"), std::string::npos);
    }
    if (std::string(c.mode) == "bidi") {
      EXPECT_EQ(outcome->list.stations[0].name, "Radio _gnp.exe line two_");
    }
  }
  EXPECT_TRUE(threadsEnd());
}

TEST(DirectoryClient, CancellingEndsAHangingSearchAtOnce) {
  StandIn hanging({"--mode", "hang"}, 10);
  StandIn alsoHanging({"--mode", "hang"}, 10);
  ClientOptions options;
  options.mirrors = std::vector<Mirror>{local(hanging), local(alsoHanging)};
  options.giveWay = 100ms;
  Client client(std::move(options));
  Outcome told;
  std::atomic<int> calls{0};
  const auto search = client.search(Query{}, [&](const Outcome& o) {
    told = o;
    ++calls;
  });
  ASSERT_TRUE(hanging.waitForRequests(1));
  ASSERT_TRUE(alsoHanging.waitForRequests(1));
  EXPECT_FALSE(search->result().has_value());
  search->cancel();
  const auto outcome = search->wait(10s);
  ASSERT_TRUE(outcome.has_value());
  EXPECT_EQ(outcome->failure, Failure::Cancelled);
  EXPECT_TRUE(threadsEnd());
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(told.failure, Failure::Cancelled);
  search->cancel();  // again: nothing changes
  EXPECT_EQ(search->result()->failure, Failure::Cancelled);
}

TEST(DirectoryClient, GivesUpAtTheDeadlineAndRefusesWhatItMustNotAsk) {
  // The one still silent at the deadline is named, not the one that failed on the way.
  StandIn hanging({"--mode", "hang"}, 10);
  StandIn failing({"--mode", "status", "--status", "500"}, 10);
  const auto late = clientOf({local(hanging), local(failing)}, 1500ms).search(Query{})->wait(20s);
  ASSERT_TRUE(late.has_value());
  EXPECT_EQ(late->failure, Failure::TimedOut);
  EXPECT_EQ(late->mirror, hanging.base());
  EXPECT_EQ(failing.requests().size(), 1u);

  // A public mirror at a loopback address is never connected to.
  StandIn good({}, 10);
  const auto refused =
      clientOf({{good.base(), net::Reach::PublicOnly, Origin::Public}}).search(Query{})->wait(20s);
  ASSERT_TRUE(refused.has_value());
  EXPECT_EQ(refused->failure, Failure::Refused);
  EXPECT_TRUE(good.requests().empty());

  // Nothing named, nothing asked; an id that is not the directory's kind is not sent.
  EXPECT_EQ(clientOf({}).search(Query{})->wait(20s)->failure, Failure::NoMirror);
  Client client = clientOf({local(good)});
  Failure immediate = Failure::None;
  const auto bad = client.click("../stats", [&](const Outcome& o) { immediate = o.failure; });
  EXPECT_EQ(immediate, Failure::BadRequest);  // told before the call returned
  EXPECT_EQ(bad->result()->failure, Failure::BadRequest);
  EXPECT_EQ(client.byUuid({"a/b"})->result()->failure, Failure::BadRequest);
  EXPECT_TRUE(good.requests().empty());
  EXPECT_TRUE(threadsEnd());
}

}  // namespace
}  // namespace radiolist::directory
