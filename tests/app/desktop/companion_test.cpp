// Beside the window: the log of titles heard and the sleep timer.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <vector>

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QScrollBar>
#include <QMenu>
#include <QSignalSpy>

#include "app/desktop/companion.h"
#include "app/desktop/language.h"
#include "app/desktop/recent_titles.h"
#include "app/desktop/sleep_timer.h"
#include "app/log_domain.h"
#include "playback/log/log.h"
#include "tests/app/window_fixture.h"

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

ino_t inodeOf(const QString& path) {
  struct stat st {};
  return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

QStringList warnings;  // written by the titles' thread, read after it has ended
void keepWarning(log::Domain domain, log::Level level, std::string_view text) {
  if (domain == kDesktopLog && level == log::Level::Warning)
    warnings << QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Runs `call`, which must never wait on the pipe at `fifo`. Should it still be waiting after 10 s,
// the pipe's ends are opened so that it returns, and the test fails. Returns what was written
// into the pipe.
std::string runBesidePipe(const QByteArray& fifo, const std::function<void()>& call) {
  std::future<void> done = std::async(std::launch::async, call);
  std::string written;
  if (done.wait_for(10s) != std::future_status::ready) {
    ADD_FAILURE() << "waited on the pipe";
    const int reader = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);  // for a writer
    ::close(::open(fifo.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));  // a reader reads the end
    char buffer[4096];
    for (bool last = false; !last;) {
      last = done.wait_for(10ms) == std::future_status::ready;
      for (ssize_t n; (n = ::read(reader, buffer, sizeof buffer)) > 0;)
        written.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(reader);
  }
  done.get();
  return written;
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
  again.flush();  // read on the titles' own thread
  const QList<TitleEntry> newest = again.newest(2);
  ASSERT_EQ(newest.size(), 2);
  EXPECT_EQ(newest[0], (TitleEntry{1004, "Radio B", "Two  lines"}));
  EXPECT_EQ(newest[1].time, 1003);
  EXPECT_FALSE(again.note(2000, "Radio B", "Two  lines"))
      << "the last title is known after a restart";
}

// One line is appended per change; only past 2,000 lines is the file replaced by its last 1,000.
TEST(RecentTitlesTest, AppendsUntilTwoThousandLinesThenKeepsTheLastThousand) {
  QTemporaryDir dir;
  const QString path = dir.filePath("titles.tsv");
  {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("not a line of ours\n");
    for (int i = 1; i < 1999; ++i)
      file.write(QByteArray::number(i) + "\tS\t" + QByteArray::number(i) + '\n');
  }
  const ino_t before = inodeOf(path);
  RecentTitles titles(path);
  ASSERT_TRUE(titles.note(1999, "S", "1999"));  // most likely before the file is read
  EXPECT_EQ(titles.newest(1).value(0).title, "1999") << "whether or not the file is read yet";
  EXPECT_TRUE(QTest::qWaitFor([&] { return titles.newest(5000).size() == 1000; }));
  titles.flush();
  QStringList lines = fileLines(path);
  ASSERT_EQ(lines.size(), 2000);
  EXPECT_EQ(lines.front(), "not a line of ours");
  EXPECT_EQ(inodeOf(path), before) << "appended, not rewritten";

  ASSERT_TRUE(titles.note(2000, "S", "2000"));
  titles.flush();
  lines = fileLines(path);
  ASSERT_EQ(lines.size(), 1000);
  EXPECT_EQ(lines.front(), "1001\tS\t1001");
  EXPECT_EQ(lines.back(), "2000\tS\t2000");
  EXPECT_NE(inodeOf(path), before);
  const QList<TitleEntry> newest = titles.newest(5000);
  ASSERT_EQ(newest.size(), 1000);
  EXPECT_EQ(newest[1], (TitleEntry{1999, "S", "1999"})) << "what was read comes before the rest";
  EXPECT_EQ(newest[2], (TitleEntry{1998, "S", "1998"}));
}

// Whatever a server sends, a station or title is one line of at most 1 KiB of UTF-8, cut between
// characters. A log grown by other hands is read no further back than its last 8 MiB, and what
// it holds is cut the same way.
TEST(RecentTitlesTest, FieldsAreCutToOneKibibyteBetweenCharactersAndReadsAreBounded) {
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

  const QString big = dir.filePath("big.tsv");
  const QByteArray line = "1000\tS\t" + QByteArray(100000, 'x') + '\n';
  {
    QFile file(big);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    for (int i = 0; i < 100; ++i) file.write(line);  // 10 MB
  }
  RecentTitles read(big);
  read.flush();
  const QList<TitleEntry> found = read.newest(1000);
  EXPECT_EQ(found.size(), (8 << 20) / line.size()) << "the whole lines of the last 8 MiB";
  EXPECT_EQ(found.value(0), (TitleEntry{1000, "S", QString(1021, 'x') + dots}));
}

// A pipe at the log's path, there at start-up or put there while the program runs, is never
// opened to wait on: the titles stay in memory, stderr says why once, and nothing waits.
TEST(RecentTitlesTest, APipeAtThePathIsRefusedWithoutWaiting) {
  for (const bool atStart : {true, false}) {
    SCOPED_TRACE(atStart ? "there at start-up" : "put there while running");
    QTemporaryDir dir;
    const QString path = dir.filePath("titles.tsv");
    const QByteArray fifo = QFile::encodeName(path);
    ASSERT_TRUE(!atStart || ::mkfifo(fifo.constData(), 0600) == 0);
    warnings.clear();
    log::setSink(keepWarning);
    std::unique_ptr<RecentTitles> titles;
    std::string written = runBesidePipe(fifo, [&] {
      titles = std::make_unique<RecentTitles>(path);
      titles->note(1, "S", "one");
      titles->flush();
    });
    ASSERT_TRUE(atStart || (QFile::remove(path) && ::mkfifo(fifo.constData(), 0600) == 0));
    written += runBesidePipe(fifo, [&] {
      titles->note(2, "S", "two");
      titles->flush();
      EXPECT_EQ(titles->newest(5).size(), 2);
      titles.reset();  // the destructor does not wait either
    });
    log::setSink(nullptr);
    EXPECT_EQ(written, "");
    EXPECT_EQ(warnings.join('\n').toStdString(), "titles are not logged to " + path.toStdString() +
                                                     ": it is a pipe, not a regular file");
    struct stat st {};
    EXPECT_TRUE(::lstat(fifo.constData(), &st) == 0 && S_ISFIFO(st.st_mode)) << "not replaced";
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

// Save song waits for the disk on a thread of its own: requests made meanwhile share its answer
// (a burst of them makes one file, not ten), their number is bounded, and a save that ends on a
// write error is told once.
class CompanionTest : public WindowTest {};

TEST_F(CompanionTest, SaveRequestsShareOneAnswerAndAFailedSaveIsToldOnce) {
  controls.saveAnswer = {SongSave::Status::Saving, "/music/radiolist/A - B.mp3", {}};
  writeLists({"One"}, {"http://127.0.0.1:9/one"});
  writeGlyphs();
  startAndSettle();  // a channel plays: the window's ticks tell NowPlaying
  Companion companion(*player, form->control(), path("titles.tsv"));
  std::vector<SongSave> answers;
  for (std::size_t i = 0; i < Companion::kMaxWaitingSaves; ++i)
    ASSERT_TRUE(companion.saveSong([&](const SongSave& save) { answers.push_back(save); }));
  EXPECT_FALSE(companion.saveSong([](const SongSave&) {})) << "bounded";
  ASSERT_TRUE(waitUntil([&] { return answers.size() == Companion::kMaxWaitingSaves; }));
  EXPECT_EQ(controls.saves, 1);
  EXPECT_EQ(answers.back().path, controls.saveAnswer.path);

  QSignalSpy failed(&companion, &Companion::SaveFailed);
  PlaybackEvent ended;
  ended.kind = PlaybackEvent::Kind::SaveEnded;
  ended.save = {
      SongSave::Status::CannotWrite, "/music/x.mp3",
      Outcome::file(Outcome::Code::CannotCreate, "/music/x.mp3", files::Failure::system(ENOSPC))};
  controls.post(ended);
  ASSERT_TRUE(waitUntil([&] { return failed.count() == 1; }, 3000));
  EXPECT_EQ(failed.at(0).at(0).toString(), "/music/x.mp3");
  EXPECT_EQ(failed.at(0).at(1).toString(), QString::fromLocal8Bit(std::strerror(ENOSPC)));
  QTest::qWait(1200);
  EXPECT_EQ(failed.count(), 1);
}

// The program's own texts follow the locale, built in: the menu, a plural, a library's reason.
TEST_F(CompanionTest, TheProgramsOwnTextsAreInTheLocalesLanguage) {
  start();
  struct Case {
    const char* locale;
    bool builtIn;
    QString pause, save, fifteen, nothing;
  };
  const Case cases[] = {
      {"ru_RU", true, "Пауза", "Сохранить песню", "15 минут",
       "в эфире нет песни, которую можно сохранить: звука ещё нет"},
      {"en_GB", true, "Pause", "Save song", "15 minutes", "no song on air to save: no audio yet"},
      {"de_DE", false, "Pause", "Save song", "15 minutes", "no song on air to save: no audio yet"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(useLanguage(QLocale(c.locale)), c.builtIn) << c.locale;
    Companion companion(*player, form->control(), path("titles.tsv"));
    const QList<QAction*> items = companion.menu()->actions();
    // Pause, Back 30 s, Go live, a line, then the song's and the timer's items.
    EXPECT_EQ(items.front()->text(), c.pause) << c.locale;
    EXPECT_EQ(items.at(4)->text(), c.save) << c.locale;
    QStringList sleepChoices;
    for (QAction* a : items.at(6)->menu()->actions()) sleepChoices << a->text();
    EXPECT_TRUE(sleepChoices.contains(c.fifteen))
        << c.locale << sleepChoices.join('|').toStdString();
    EXPECT_EQ(Companion::describe(
                  {SongSave::Status::NothingToSave, {}, Outcome::about(Outcome::Code::NoAudioYet)}),
              c.nothing)
        << c.locale;
  }
  useLanguage(QLocale("en_GB"));
}

// Levelling is on by default; the menu and the bus switch the library, and the choice outlives
// the program. A pipe where the settings are is not waited on.
TEST_F(CompanionTest, LevelLoudnessIsOnByDefaultSwitchesTheLibraryAndIsRemembered) {
  start();
  const QString settings = path("config/settings");
  const auto item = [](Companion& c) {
    for (QAction* a : c.menu()->actions())
      if (a->text() == "Level loudness") return a;
    return static_cast<QAction*>(nullptr);
  };
  {
    Companion companion(*player, form->control(), path("titles.tsv"), settings);
    EXPECT_EQ(controls.levelLoudness, std::vector<bool>{true});
    ASSERT_NE(item(companion), nullptr);
    EXPECT_TRUE(item(companion)->isChecked());
    item(companion)->trigger();  // as a click on the menu item
    EXPECT_FALSE(companion.levelLoudness());
    EXPECT_EQ(controls.levelLoudness, (std::vector<bool>{true, false}));
  }  // the file is written before the companion is gone
  EXPECT_EQ(readFile("config/settings"), "level-loudness=off\n");
  {
    Companion companion(*player, form->control(), path("titles.tsv"), settings);
    EXPECT_EQ(controls.levelLoudness.back(), false);
    EXPECT_FALSE(item(companion)->isChecked());
  }
  ASSERT_TRUE(QFile::remove(settings));
  ASSERT_EQ(::mkfifo(QFile::encodeName(settings).constData(), 0600), 0);
  Companion companion(*player, form->control(), path("titles.tsv"), settings);
  EXPECT_EQ(controls.levelLoudness.back(), true);
}

// The window opens the program's menu (without "Show window") from a right click anywhere but a
// visible editor, and from the Menu key and Shift+F10 wherever the focus is; nothing else does.
// Saving and exporting are offered only when they can act.
TEST_F(CompanionTest, TheWindowOpensTheMenuAndItsEditorsKeepTheirOwn) {
  writeLists({"One", "Two"}, {"http://127.0.0.1:9/one", "http://127.0.0.1:9/two"});
  writeGlyphs();
  start();
  form->Edit1->show();
  Companion companion(*player, form->control(), path("titles.tsv"));
  QMenu* menu = companion.menu();
  const auto find = [menu](const QString& text) {
    for (QAction* a : menu->actions())
      if (a->text() == text) return a;
    return static_cast<QAction*>(nullptr);
  };
  using Reason = QContextMenuEvent::Reason;
  struct Case {
    QWidget* target;
    std::function<std::unique_ptr<QEvent>()> event;
    bool opens;
  };
  const auto click = [](Reason reason) {
    return [reason] { return std::make_unique<QContextMenuEvent>(reason, QPoint(5, 5)); };
  };
  const auto press = [](int key, Qt::KeyboardModifiers modifiers) {
    return
        [key, modifiers] { return std::make_unique<QKeyEvent>(QEvent::KeyPress, key, modifiers); };
  };
  const Case cases[] = {
      {form->ListBox1->viewport(), click(Reason::Mouse), true},
      {form->ListBox2->verticalScrollBar(), click(Reason::Mouse), true},
      {form->SpeedButton2, click(Reason::Mouse), true},
      {form.get(), click(Reason::Mouse), true},
      {form->Edit1, click(Reason::Mouse), false},  // the editor's own menu
      {form->Edit1, click(Reason::Keyboard), true},
      {form->Edit1, press(Qt::Key_Menu, Qt::NoModifier), true},
      {form->Edit1, press(Qt::Key_F10, Qt::ShiftModifier), true},
      {form->ListBox1, press(Qt::Key_F10, Qt::ShiftModifier), true},
      {form->Edit1, press(Qt::Key_F10, Qt::NoModifier), false},
      {form->Edit1, press(Qt::Key_Menu, Qt::ControlModifier), false},
  };
  for (const Case& c : cases) {
    const std::unique_ptr<QEvent> event = c.event();
    QApplication::sendEvent(c.target, event.get());
    EXPECT_EQ(menu->isVisible(), c.opens)
        << c.target->metaObject()->className() << " " << event->type();
    if (c.opens) {
      EXPECT_FALSE(find("Show window")->isVisible()) << "the window is in front already";
      EXPECT_TRUE(find("Export list…")->isEnabled()) << "two stations to export";
      EXPECT_FALSE(find("Save song")->isEnabled()) << "nothing plays";
      EXPECT_FALSE(find("Pause")->isEnabled());
      EXPECT_TRUE(find("Add stations from a file…")->isEnabled());
    }
    menu->hide();
  }
  // The tray opens it as it is, with "Show window".
  menu->popup(QPoint(5, 5));
  EXPECT_TRUE(find("Show window")->isVisible());
  menu->hide();
}
