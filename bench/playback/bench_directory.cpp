// What a directory search costs, against tools/directory-server.py on loopback (20,000 made-up
// stations; Python serves and filters them, so the server's own time is part of each figure):
//  - the round trip of a search as the user types it, one request per keystroke's text
//    (limit 100), from the call to the callback;
//  - the round trip of a page of 500;
//  - a search past a mirror that hangs and one that answers 503 (the give-way after 1 s);
//  - parseStations on 500 results as the directory sends them, and what the rows hold.
//
//   bench_directory [ROUNDS]      median and worst of ROUNDS (5) of each round trip
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "playback/directory/directory_client.h"
#include "support/child_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace radiolist::directory;
using radiolist::test::ChildProcess;

struct Server {
  std::unique_ptr<ChildProcess> child;
  std::string base;
};

Server startServer(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"python3", RL_DIRECTORY_SERVER_PY, "--port", "0"};
  argv.insert(argv.end(), args.begin(), args.end());
  Server s;
  s.child =
      std::make_unique<ChildProcess>(ChildProcess::Options{.argv = argv, .captureStdout = true});
  std::string out;
  for (int i = 0; i < 60 && out.find('\n') == std::string::npos; ++i) {
    pollfd pfd{s.child->stdoutFd(), POLLIN, 0};
    if (poll(&pfd, 1, 1000) <= 0) continue;
    char buf[256];
    const ssize_t n = ::read(s.child->stdoutFd(), buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  int port = 0;
  if (std::sscanf(out.c_str(), "PORT %d", &port) != 1) {
    std::fprintf(stderr, "bench_directory: the stand-in did not start\n");
    std::exit(1);
  }
  s.base = "http://127.0.0.1:" + std::to_string(port);
  return s;
}

// Milliseconds from the call to the callback, and the outcome.
std::pair<double, Outcome> timedSearch(Client& client, const Query& query) {
  std::promise<Outcome> told;
  auto outcome = told.get_future();
  const auto start = Clock::now();
  const auto request = client.search(query, [&](const Outcome& o) { told.set_value(o); });
  Outcome o = outcome.get();
  return {std::chrono::duration<double, std::milli>(Clock::now() - start).count(), std::move(o)};
}

struct Figures {
  std::vector<double> ms;
  void add(double v) { ms.push_back(v); }
  [[nodiscard]] double median() {
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
  }
  [[nodiscard]] double worst() const { return *std::max_element(ms.begin(), ms.end()); }
};

Mirror local(const Server& s) { return {s.base, radiolist::net::Reach::Anywhere, Origin::Local}; }

std::size_t heldBytes(const StationList& list) {
  std::size_t bytes = list.stations.capacity() * sizeof(Station);
  for (const Station& s : list.stations)
    for (const std::string* t :
         {&s.uuid, &s.name, &s.url, &s.country, &s.countryCode, &s.codec, &s.tags})
      if (t->capacity() > 15) bytes += t->capacity() + 1;  // beyond the short-string buffer
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const Server good = startServer({"--stations", "20000"});
  const Server hanging = startServer({"--stations", "10", "--mode", "hang"});
  const Server failing = startServer({"--stations", "10", "--mode", "status"});

  ClientOptions options;
  options.mirrors = std::vector<Mirror>{local(good)};
  Client client(options);
  (void)timedSearch(client, Query{});  // the first connection and the server's first answer

  // A user typing "blue wave": each keystroke's text is searched.
  const std::string typed = "blue wave";
  Figures keystroke;
  std::size_t rows = 0;
  for (int r = 0; r < rounds; ++r)
    for (std::size_t n = 1; n <= typed.size(); ++n) {
      Query q;
      q.name = typed.substr(0, n);
      auto [ms, outcome] = timedSearch(client, q);
      if (outcome.failure != Failure::None) {
        std::fprintf(stderr, "search failed: %s\n", failureName(outcome.failure));
        return 1;
      }
      rows = std::max(rows, outcome.list.stations.size());
      keystroke.add(ms);
    }
  Figures page;
  StationList page500;
  for (int r = 0; r < rounds; ++r) {
    Query q;
    q.limit = 500;
    q.hideBroken = false;
    auto [ms, outcome] = timedSearch(client, q);
    page.add(ms);
    page500 = std::move(outcome.list);
  }
  Figures pastTwo;
  for (int r = 0; r < rounds; ++r) {
    ClientOptions three;
    three.mirrors = std::vector<Mirror>{local(hanging), local(failing), local(good)};
    Client fresh(three);
    Query q;
    q.name = "blue";
    auto [ms, outcome] = timedSearch(fresh, q);
    if (outcome.failure != Failure::None) return 1;
    pastTwo.add(ms);
  }

  // 500 results as the directory writes them (all its fields), parsed again and again.
  nlohmann::json list = nlohmann::json::array();
  for (int i = 0; i < 500; ++i)
    list.push_back(
        {{"changeuuid", "d1272a25-3bb4-47c1-a1da-059d2ad1245c"},
         {"stationuuid", "a6e04b64-7a9d-4691-86fc-8893d73c" + std::to_string(100000 + i)},
         {"name", "Northern Groove Radio " + std::to_string(i)},
         {"url", "http://stream" + std::to_string(i) + ".radio.example/live"},
         {"url_resolved", "http://stream" + std::to_string(i) + ".radio.example/live"},
         {"homepage", "https://radio.example/" + std::to_string(i)},
         {"favicon", "https://radio.example/icon.png"},
         {"tags", "pop,rock,80s,90s,hits"},
         {"country", "The United Kingdom Of Great Britain And Northern Ireland"},
         {"countrycode", "GB"},
         {"state", ""},
         {"language", "english"},
         {"votes", 1234 + i},
         {"lastchangetime", "2026-01-01 00:00:00"},
         {"codec", "MP3"},
         {"bitrate", 128},
         {"hls", 0},
         {"lastcheckok", 1},
         {"lastchecktime", "2026-01-01 00:00:00"},
         {"clickcount", 55},
         {"clicktrend", 0}});
  const std::string json = list.dump();
  Figures parse;
  std::size_t parsed = 0;
  for (int r = 0; r < 50; ++r) {
    const auto start = Clock::now();
    const StationList rowsOf = parseStations(json, Origin::Public);
    parse.add(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    parsed = rowsOf.stations.size();
  }

  std::printf(
      "search per keystroke (\"%s\", %d rounds, up to %zu rows): median %.1f ms, worst %.1f ms\n",
      typed.c_str(), rounds, rows, keystroke.median(), keystroke.worst());
  std::printf("page of %zu rows: median %.1f ms, worst %.1f ms\n", page500.stations.size(),
              page.median(), page.worst());
  std::printf("past a hanging and a 503 mirror: median %.0f ms, worst %.0f ms\n", pastTwo.median(),
              pastTwo.worst());
  std::printf("parseStations, %zu results (%zu KiB): median %.2f ms, worst %.2f ms\n", parsed,
              json.size() / 1024, parse.median(), parse.worst());
  std::printf("rows of 500 results hold %zu KiB\n", heldBytes(page500) / 1024);
  return 0;
}
