// What the search window costs in memory: the heap in use and the resident memory it adds when
// it opens empty, and when it shows 500 rows, each found by typing "blue" into its search field
// against tools/directory-server.py on loopback (20,000 made-up stations; the search gives more
// than 500, the window keeps 500). Each round makes a new window and deletes it; the first
// round also pays for what Qt makes once (fonts, the style), so it is shown apart.
//
//   bench_find_stations [ROUNDS]      (5 by default; QT_QPA_PLATFORM=offscreen if unset)
#include <malloc.h>
#include <poll.h>
#include <unistd.h>

#include <QAbstractItemModel>
#include <QApplication>
#include <QLineEdit>
#include <QTableView>
#include <QTest>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/desktop/find_stations.h"
#include "support/child_process.h"
#include "support/proc_status.h"

using namespace std::chrono_literals;
using namespace radiolist;

namespace {

constexpr int kRows = 500;

struct Memory {
  double heapKiB = 0;  // malloc's bytes in use
  double rssKiB = 0;
};

// After the event loop settled and malloc gave back what it could.
Memory now() {
  QCoreApplication::processEvents();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  malloc_trim(0);
  const struct mallinfo2 info = mallinfo2();
  return {static_cast<double>(info.uordblks + info.hblkhd) / 1024.0,
          static_cast<double>(test::statusKiB("self", "VmRSS"))};
}

Memory minus(const Memory& a, const Memory& b) {
  return {a.heapKiB - b.heapKiB, a.rssKiB - b.rssKiB};
}

std::unique_ptr<test::ChildProcess> startStandIn(int* port) {
  auto child = std::make_unique<test::ChildProcess>(test::ChildProcess::Options{
      .argv = {"python3", RL_DIRECTORY_SERVER_PY, "--port", "0", "--stations", "20000"},
      .captureStdout = true});
  std::string out;
  for (int i = 0; i < 60 && out.find('\n') == std::string::npos; ++i) {
    pollfd pfd{child->stdoutFd(), POLLIN, 0};
    if (poll(&pfd, 1, 1000) <= 0) continue;
    char buf[256];
    const ssize_t n = ::read(child->stdoutFd(), buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  if (std::sscanf(out.c_str(), "PORT %d", port) != 1) {
    std::fprintf(stderr, "bench_find_stations: the stand-in did not start\n");
    std::exit(1);
  }
  return child;
}

struct Round {
  Memory empty;  // the window open, nothing found yet
  Memory rows;   // the window showing kRows rows
  Memory left;   // after the window was deleted
};

Round measure(directory::Client& client) {
  const Memory before = now();
  auto* finder = new StationFinder(
      client, [](const directory::Station&) {}, [](const directory::Station&) {});
  finder->open();
  finder->grab();  // painted once, as a screen would
  Round round;
  round.empty = minus(now(), before);
  auto* table = finder->findChild<QTableView*>();
  QLineEdit* search = nullptr;
  for (QLineEdit* edit : finder->findChildren<QLineEdit*>())
    if (edit->accessibleName() == QStringLiteral("Station name")) search = edit;
  if (table == nullptr || search == nullptr) {
    std::fprintf(stderr, "bench_find_stations: no table or search field\n");
    std::exit(1);
  }
  QTest::keyClicks(search, QStringLiteral("blue"));
  if (!QTest::qWaitFor([&] { return table->model()->rowCount() == kRows; }, 30000)) {
    std::fprintf(stderr, "bench_find_stations: %d rows after 30 s\n", table->model()->rowCount());
    std::exit(1);
  }
  finder->grab();
  round.rows = minus(now(), before);
  delete finder;
  round.left = minus(now(), before);
  return round;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int rounds = argc > 1 ? std::max(2, std::atoi(argv[1])) : 5;
  int port = 0;
  const auto standIn = startStandIn(&port);
  directory::ClientOptions options;
  options.mirrors = {
      {"http://127.0.0.1:" + std::to_string(port), net::Reach::Anywhere, directory::Origin::Local}};
  directory::Client client(options);
  // The client's first request (curl, its threads) is not the window's.
  directory::Query warm;
  warm.name = "blue";
  warm.limit = kRows;
  if (!client.search(warm)->wait(30s)) return 1;

  std::vector<Round> all;
  for (int i = 0; i < rounds; ++i) all.push_back(measure(client));
  std::printf("search window, KiB added (heap in use / resident)\n");
  std::printf("%-8s %20s %20s %20s\n", "round", "open, empty", "500 rows", "after delete");
  for (std::size_t i = 0; i < all.size(); ++i) {
    const Round& r = all[i];
    std::printf("%-8zu %9.0f / %8.0f %9.0f / %8.0f %9.0f / %8.0f\n", i + 1, r.empty.heapKiB,
                r.empty.rssKiB, r.rows.heapKiB, r.rows.rssKiB, r.left.heapKiB, r.left.rssKiB);
  }
  std::vector<double> emptyHeap, rowsHeap, emptyRss, rowsRss;
  for (std::size_t i = 1; i < all.size(); ++i) {
    emptyHeap.push_back(all[i].empty.heapKiB);
    rowsHeap.push_back(all[i].rows.heapKiB);
    emptyRss.push_back(all[i].empty.rssKiB);
    rowsRss.push_back(all[i].rows.rssKiB);
  }
  std::printf(
      "median of rounds 2-%d: empty %.0f / %.0f, 500 rows %.0f / %.0f; rows alone %.0f / %.0f\n",
      rounds, median(emptyHeap), median(emptyRss), median(rowsHeap), median(rowsRss),
      median(rowsHeap) - median(emptyHeap), median(rowsRss) - median(emptyRss));
  return 0;
}
