// The search window's logic: the table's rows (one per address, bounded), the way keystrokes
// become searches (one after the pause, the one before cancelled, a late answer dropped), and
// closing the window, which ends its search.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QLineEdit>
#include <algorithm>
#include <QSignalSpy>
#include <QTest>
#include <memory>
#include <thread>
#include <vector>

#include "app/desktop/find_stations.h"
#include "tests/app/window_fixture.h"

namespace radiolist {
namespace {

using namespace std::chrono_literals;

directory::Station station(const std::string& name, const std::string& url) {
  directory::Station s;
  s.name = name;
  s.url = url;
  s.codec = "MP3";
  s.bitrate = 128;
  return s;
}

TEST(StationTableModel, KeepsOneRowPerAddressAndAtMostTheCap) {
  StationTableModel model;
  std::vector<directory::Station> stations = {
      station("One", "http://a/"), station("One again", "http://a/"), station("Two", "http://b/")};
  for (std::size_t i = 0; i < StationTableModel::kMaxRows + 10; ++i)
    stations.push_back(station("n", "http://many/" + std::to_string(i)));
  model.setStations(stations);
  ASSERT_EQ(static_cast<std::size_t>(model.rowCount()), StationTableModel::kMaxRows);
  EXPECT_EQ(model.data(model.index(0, StationTableModel::Name), Qt::DisplayRole).toString(),
            QStringLiteral("One"));
  EXPECT_EQ(model.data(model.index(1, StationTableModel::Name), Qt::DisplayRole).toString(),
            QStringLiteral("Two"));
  EXPECT_EQ(model.station(1)->url, "http://b/");
  EXPECT_EQ(model.station(model.rowCount()), nullptr);
  EXPECT_TRUE(model.data(model.index(0, StationTableModel::Format), Qt::DisplayRole)
                  .toString()
                  .contains(QStringLiteral("128")));
  model.setStations({});
  EXPECT_EQ(model.rowCount(), 0);
}

// A fake directory: records each search and keeps its callback to answer later, as a mirror's
// thread would.
struct FakeDirectory {
  struct Asked {
    directory::Query query;
    directory::Callback done;
  };
  std::vector<Asked> asked;
  SearchDebounce::Start start() {
    return [this](const directory::Query& q, directory::Callback done) {
      asked.push_back({q, std::move(done)});
      return std::shared_ptr<directory::Request>();  // nothing to cancel
    };
  }
};

TEST(SearchDebounce, TypingSearchesOnceAfterThePauseAndOnlyTheLatestAnswerCounts) {
  FakeDirectory directory;
  SearchDebounce debounce(50ms, directory.start());
  QSignalSpy answers(&debounce, &SearchDebounce::answered);
  directory::Query q;
  for (const char* typed : {"r", "ro", "roc", "rock"}) {
    q.name = typed;
    debounce.changed(q);
  }
  EXPECT_TRUE(directory.asked.empty()) << "nothing is sent while typing";
  ASSERT_TRUE(QTest::qWaitFor([&] { return !directory.asked.empty(); }, 5000));
  ASSERT_EQ(directory.asked.size(), 1u);
  EXPECT_EQ(directory.asked[0].query.name, "rock");
  EXPECT_TRUE(debounce.searching());

  // A new search before the first answered: the first answer, arriving late from another
  // thread, is dropped; the second is handed on, on this thread.
  q.name = "jazz";
  debounce.now(q);
  ASSERT_EQ(directory.asked.size(), 2u);
  directory::Outcome late;
  late.list.stations = {station("Rock", "http://rock/")};
  std::thread([&] { directory.asked[0].done(late); }).join();
  directory::Outcome latest;
  latest.list.stations = {station("Jazz", "http://jazz/")};
  std::thread([&] { directory.asked[1].done(latest); }).join();
  ASSERT_TRUE(QTest::qWaitFor([&] { return answers.count() > 0; }, 5000));
  QTest::qWait(50);
  ASSERT_EQ(answers.count(), 1);
  EXPECT_EQ(answers[0][0].value<directory::Outcome>().list.stations.front().name, "Jazz");
  EXPECT_FALSE(debounce.searching());

  // Emptied fields send nothing.
  debounce.now(directory::Query{});
  EXPECT_EQ(directory.asked.size(), 2u);
}

class PlayFoundStationTest : public WindowTest {};

// A station found plays on the window's path; one a public directory listed is held to public
// hosts before anything is created for it, one a mirror on the user's own network listed is not.
TEST_F(PlayFoundStationTest, APublicDirectorysStationIsHeldToPublicHostsBeforeItIsCreated) {
  writeLists({"Mine"}, {"http://127.0.0.1:9/mine"});
  writeGlyphs();
  startAndSettle();
  const auto indexOf = [this](const std::string& call) {
    const auto at = std::find(audio.calls.begin(), audio.calls.end(), call);
    return at == audio.calls.end() ? -1 : static_cast<int>(at - audio.calls.begin());
  };
  directory::Station found = station("Found", "http://found.example/live");
  found.reach = net::Reach::PublicOnly;
  audio.clear();
  playFoundStation(*player, found);
  const int held = indexOf("PublicOnly http://found.example/live");
  const int created = indexOf("Create G:http://found.example/live");
  EXPECT_NE(held, -1);
  EXPECT_NE(created, -1);
  EXPECT_LT(held, created);

  directory::Station local = station("Local", "http://nas.local/live");
  local.reach = net::Reach::Anywhere;
  audio.clear();
  playFoundStation(*player, local);
  EXPECT_NE(indexOf("Create G:http://nas.local/live"), -1);
  EXPECT_EQ(indexOf("PublicOnly http://nas.local/live"), -1);
  EXPECT_EQ(readFile("url.txt"), "http://127.0.0.1:9/mine\r\n") << "the list stays as it is";
}

// Cancelling drops the search still waiting for the pause (nothing is sent) and the answer of
// the one in flight, even one already on its way from the request's thread.
TEST(SearchDebounce, CancelSendsNothingMoreAndDropsTheAnswerOnItsWay) {
  FakeDirectory directory;
  SearchDebounce debounce(50ms, directory.start());
  QSignalSpy answers(&debounce, &SearchDebounce::answered);
  directory::Query q;
  q.name = "rock";
  debounce.changed(q);
  EXPECT_TRUE(debounce.cancel());
  QTest::qWait(200);
  EXPECT_TRUE(directory.asked.empty()) << "the search waiting for the pause went out";
  EXPECT_FALSE(debounce.cancel()) << "nothing left to cancel";

  debounce.now(q);
  ASSERT_EQ(directory.asked.size(), 1u);
  directory::Outcome outcome;
  outcome.list.stations = {station("Rock", "http://rock/")};
  std::thread([&] { directory.asked[0].done(outcome); }).join();  // posted, not yet handled
  EXPECT_TRUE(debounce.cancel());
  EXPECT_FALSE(debounce.searching());
  QTest::qWait(50);
  EXPECT_EQ(answers.count(), 0);

  debounce.now(q);  // a new search after a cancel is handed on as before
  ASSERT_EQ(directory.asked.size(), 2u);
  std::thread([&] { directory.asked[1].done(outcome); }).join();
  EXPECT_TRUE(QTest::qWaitFor([&] { return answers.count() == 1; }, 5000));
}

// A mirror that takes every connection and never answers: the test's own listening socket, whose
// connections wait in its backlog.
class SilentMirror {
 public:
  SilentMirror() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&at), size) != 0 ||
        ::listen(fd_, 16) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&at), &size) != 0)
      return;
    port_ = ntohs(at.sin_port);
  }
  ~SilentMirror() {
    for (int c : taken_) ::close(c);
    if (fd_ >= 0) ::close(fd_);
  }
  [[nodiscard]] int port() const { return port_; }
  // Whether a connection came since the last call (each is taken and kept open, unanswered).
  bool connected() {
    bool any = false;
    for (int c; (c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; any = true)
      taken_.push_back(c);
    return any;
  }

 private:
  int fd_ = -1;
  std::vector<int> taken_;
  int port_ = 0;
};

bool directoryIdle() {
  return QTest::qWaitFor([] { return directory::Client::liveThreads() == 0; }, 30000);
}

// Closing the window ends its search: one still waiting for the pause is never sent, and one in
// flight is cancelled (its threads end long before the mirror's ten minutes are up); opening the
// window again searches again; deleting it mid-search cancels too, and nothing lands on it.
TEST(StationFinder, ClosingTheWindowCancelsItsSearchAndOpeningItSearchesAgain) {
  SilentMirror mirror;
  ASSERT_NE(mirror.port(), 0);
  ASSERT_TRUE(directoryIdle()) << "another test's directory requests are still running";
  directory::ClientOptions options;
  options.mirrors = {{"http://127.0.0.1:" + std::to_string(mirror.port()), net::Reach::Anywhere,
                      directory::Origin::Local}};
  options.deadline = 600s;
  directory::Client client(options);
  auto* finder = new StationFinder(
      client, [](const directory::Station&) {}, [](const directory::Station&) {});
  finder->open();
  QLineEdit* search = nullptr;
  for (QLineEdit* edit : finder->findChildren<QLineEdit*>())
    if (edit->accessibleName() == QStringLiteral("Station name")) search = edit;
  ASSERT_NE(search, nullptr);

  search->setText(QStringLiteral("blue"));
  finder->close();
  QTest::qWait(4 * StationFinder::kSearchDelay.count());
  EXPECT_EQ(directory::Client::liveThreads(), 0u);
  EXPECT_FALSE(mirror.connected()) << "a search of a closed window went out";

  finder->open();
  ASSERT_TRUE(QTest::qWaitFor([] { return directory::Client::liveThreads() > 0; }, 10000))
      << "opening the window again did not search again";
  ASSERT_TRUE(QTest::qWaitFor([&] { return mirror.connected(); }, 10000));
  finder->close();
  EXPECT_TRUE(directoryIdle()) << "the search in flight outlived its window";

  finder->open();
  ASSERT_TRUE(QTest::qWaitFor([] { return directory::Client::liveThreads() > 0; }, 10000));
  delete finder;
  EXPECT_TRUE(directoryIdle());
  QTest::qWait(50);  // a cancelled answer posted to the deleted window would land here
}

}  // namespace
}  // namespace radiolist
