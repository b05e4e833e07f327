// The search window's logic: the table's rows (one per address, bounded) and the way keystrokes
// become searches (one after the pause, the one before cancelled, a late answer dropped).

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>
#include <memory>
#include <thread>
#include <vector>

#include "app/desktop/find_stations.h"

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

}  // namespace
}  // namespace radiolist
