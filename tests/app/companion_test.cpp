// Beside the window: the log of titles heard and the sleep timer.

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <vector>

#include "app/recent_titles.h"
#include "app/sleep_timer.h"

using namespace radiolist;
using namespace std::chrono_literals;

namespace radiolist {
void PrintTo(const TitleEntry& e, std::ostream* out) {
  *out << e.time << " \"" << e.station.toStdString() << "\" \"" << e.title.toStdString() << '"';
}
}  // namespace radiolist

namespace {

QStringList fileLines(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
}

}  // namespace

TEST(RecentTitlesTest, EachChangeIsWrittenOnceAsOneLineAndReadBack) {
  QTemporaryDir dir;
  const QString path = dir.filePath("state/radiolist/titles.tsv");  // made on the first note
  RecentTitles titles(path);
  const struct {
    const char* station;
    const char* title;
    bool written;
  } notes[] = {
      {"Radio A", "Artist - One", true},
      {"Radio A", "Artist - One", false},      // the same title polled again
      {"Radio A", "  ", false},                // blank
      {"Radio B", "Artist - One", true},       // the same title on another station is news
      {"Radio\tB", "Two\r\nlines\x1b", true},  // a line stays a line, escapes go
  };
  std::int64_t time = 1000;
  for (const auto& n : notes)
    EXPECT_EQ(titles.note(time++, n.station, n.title), n.written) << n.title;
  titles.flush();  // written on the titles' own thread
  EXPECT_EQ(fileLines(path),
            (QStringList{"1000\tRadio A\tArtist - One", "1003\tRadio B\tArtist - One",
                         "1004\tRadio B\tTwo  lines"}));

  RecentTitles again(path);
  const QList<TitleEntry> newest = again.newest(2);
  ASSERT_EQ(newest.size(), 2);
  EXPECT_EQ(newest[0], (TitleEntry{1004, "Radio B", "Two  lines"}));
  EXPECT_EQ(newest[1].time, 1003);
  EXPECT_FALSE(again.note(2000, "Radio B", "Two  lines"))
      << "the last title is known after a restart";
}

TEST(RecentTitlesTest, TheFileKeepsTheLastThousandLines) {
  QTemporaryDir dir;
  const QString path = dir.filePath("titles.tsv");
  {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("not a line of ours\n");
  }
  RecentTitles titles(path);
  for (int i = 0; i < 1005; ++i) ASSERT_TRUE(titles.note(i, "S", QString::number(i)));
  titles.flush();
  const QStringList lines = fileLines(path);
  ASSERT_EQ(lines.size(), 1000);
  EXPECT_EQ(lines.front(), "5\tS\t5");
  EXPECT_EQ(lines.back(), "1004\tS\t1004");
  EXPECT_EQ(titles.newest(5000).size(), 1000);
}

// Whatever a server sends, a station or title is one line of at most 1 KiB of UTF-8, cut between
// characters.
TEST(RecentTitlesTest, FieldsAreCutToOneKibibyteBetweenCharacters) {
  const QString e(u'\u00e9'), smile = QString::fromUtf8("\xF0\x9F\x98\x80"), dots(u'\u2026');
  const struct {
    QString in, out;
  } cases[] = {
      {QString(1024, 'a'), QString(1024, 'a')},
      {QString(1025, 'a'), QString(1021, 'a') + dots},
      {e.repeated(600), e.repeated(510) + dots},  // 1,021 bytes would end inside a character
      {'a' + e.repeated(600), 'a' + e.repeated(510) + dots},
      {smile.repeated(300), smile.repeated(255) + dots},
      {"\x1b" + QString(1020, 'b') + "\r\n\tc", QString(1020, 'b') + "   c"},
  };
  QTemporaryDir dir;
  RecentTitles titles(dir.filePath("titles.tsv"));
  std::int64_t time = 0;
  for (const auto& c : cases) {
    ASSERT_TRUE(titles.note(++time, c.in, c.in));
    EXPECT_EQ(titles.newest(1).value(0), (TitleEntry{time, c.out, c.out})) << c.in.size();
  }
}

TEST(SleepTimerTest, FadesOverItsLastStretchThenStopsOnceAndRestoresTheVolume) {
  for (const auto& [remaining, volume] : std::vector<std::pair<std::chrono::milliseconds, float>>{
           {60s, 1.0f}, {30s, 1.0f}, {15s, 0.5f}, {3s, 0.1f}, {0ms, 0.0f}, {-5ms, 0.0f}})
    EXPECT_FLOAT_EQ(sleepVolume(remaining, 30s), volume) << remaining.count();

  std::vector<float> volumes;
  int stops = 0;
  SleepTimer timer([&](float v) { volumes.push_back(v); }, [&] { ++stops; });
  timer.start(1);  // shorter than the fade: it fades at once
  EXPECT_TRUE(timer.running());
  EXPECT_EQ(timer.remainingSeconds(), 1u);
  ASSERT_TRUE(QTest::qWaitFor([&] { return stops != 0; }, 3000));
  EXPECT_EQ(stops, 1);
  EXPECT_FALSE(timer.running());
  EXPECT_EQ(timer.remainingSeconds(), 0u);
  ASSERT_GE(volumes.size(), 3u);
  EXPECT_LT(volumes.front(), 0.04f);
  EXPECT_TRUE(std::is_sorted(volumes.rbegin() + 1, volumes.rend())) << "falling until the stop";
  EXPECT_EQ(volumes.back(), 1.0f);

  timer.start(60);
  timer.start(0);  // cancelled
  QTest::qWait(200);
  EXPECT_FALSE(timer.running());
  EXPECT_EQ(stops, 1);
}
