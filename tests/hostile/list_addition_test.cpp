// Stations added from outside against a slow disk, unreadable lists and full ones: the window
// answers while the files are written, its own edits wait their turn, a list it could not read
// is never saved over, and no addition makes a list larger than the window reads back.

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QFile>
#include <QTest>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "app/window/window_control.h"
#include "app/window/vcl.h"
#include "channels/list_file.h"
#include "tests/app/window_fixture.h"

namespace {

// A disk whose fsync waits until the test lets it go: the save is "slow" for exactly as long as
// the test needs, with no clock in the test. Never longer than a minute, so a fault cannot hang.
struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  bool closed = false;
  int waiting = 0;  // fsync calls held now

  void close() {
    std::lock_guard lock(mutex);
    closed = true;
  }
  void open() {
    {
      std::lock_guard lock(mutex);
      closed = false;
    }
    changed.notify_all();
  }
  int held() {
    std::lock_guard lock(mutex);
    return waiting;
  }
  void pass() {
    std::unique_lock lock(mutex);
    ++waiting;
    changed.wait_for(lock, std::chrono::minutes(1), [this] { return !closed; });
    --waiting;
  }
};
Gate gDisk;

}  // namespace

extern "C" int fsync(int fd) noexcept {
  gDisk.pass();
  return static_cast<int>(::syscall(SYS_fsync, fd));
}

namespace {

using radiolist::ListedStation;
using radiolist::StationsAdded;
using radiolist::WindowControl;

class ListAdditionTest : public WindowTest {
 protected:
  void TearDown() override {
    gDisk.open();
    WindowTest::TearDown();
  }
  void commitName(int row, const QString& text) {
    radiolist::selectRow(form->ListBox1, row);
    form->Edit1->show();
    form->Edit1->setText(text);
    QTest::keyClick(form->Edit1, Qt::Key_Return);
  }
  [[nodiscard]] off_t sizeOf(const QString& name) const {
    struct stat st {};
    return ::lstat(QFile::encodeName(path(name)).constData(), &st) == 0 ? st.st_size : -1;
  }
  // Opens the disk from another thread once the UI thread is (most likely) waiting on it.
  static std::thread openSoon() {
    return std::thread([] {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      gDisk.open();
    });
  }
};

TEST_F(ListAdditionTest, ASlowDiskLeavesTheWindowFreeAndItsOwnEditsWaitTheirTurn) {
  writeLists({"Alpha", "Beta"}, {"http://h/a", "http://h/b"});
  writeGlyphs();
  startAndSettle();
  WindowControl& window = form->control();
  gDisk.close();
  std::optional<StationsAdded> first, second;
  window.addStations({{"Gamma", "http://h/c"}}, [&](const StationsAdded& r) { first = r; });
  // The call came back with the rows shown while the disk holds the save, and the event loop
  // runs meanwhile.
  EXPECT_EQ(form->ListBox1->count(), 3);
  ASSERT_TRUE(waitUntil([] { return gDisk.held() > 0; }));
  EXPECT_FALSE(first.has_value());
  EXPECT_EQ(readFile("url.txt"), "http://h/a\r\nhttp://h/b\r\n");
  // A second addition queues behind the first.
  window.addStations({{"Delta", "http://h/d"}, {"Gamma again", "http://h/c"}},
                     [&](const StationsAdded& r) { second = r; });
  EXPECT_EQ(form->ListBox2->count(), 4);

  // The user commits a name meanwhile: the edit waits for the additions, then saves after them.
  std::thread opener = openSoon();
  commitName(0, "Alpha 2");
  opener.join();
  EXPECT_EQ(readFile("Name.txt"), "Alpha 2\r\nBeta\r\nGamma\r\nDelta\r\n");
  EXPECT_EQ(readFile("url.txt"), "http://h/a\r\nhttp://h/b\r\nhttp://h/c\r\nhttp://h/d\r\n");
  ASSERT_TRUE(waitUntil([&] { return first && second; }));
  EXPECT_EQ(first->added, 1);
  EXPECT_EQ(second->added, 1);
  EXPECT_EQ(second->known, 1);
  EXPECT_TRUE(first->outcome.done() && second->outcome.done());
  EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();

  // Quit while an addition is being written: the window ends after it, both files whole.
  gDisk.close();
  window.addStations({{"Epsilon", "http://h/e"}}, [](const StationsAdded&) {});
  ASSERT_TRUE(waitUntil([] { return gDisk.held() > 0; }));
  opener = openSoon();
  form.reset();
  opener.join();
  EXPECT_EQ(readFile("Name.txt"), "Alpha 2\r\nBeta\r\nGamma\r\nDelta\r\nEpsilon\r\n");
  EXPECT_EQ(readFile("url.txt"),
            "http://h/a\r\nhttp://h/b\r\nhttp://h/c\r\nhttp://h/d\r\nhttp://h/e\r\n");
}

// A list file that is there but could not be read holds a list the window does not: neither an
// addition nor the window's own add button may save over it, and both say why.
TEST_F(ListAdditionTest, AListThatCouldNotBeReadIsNeverSavedOver) {
  struct Case {
    const char* what;
    const char* file;  // the one that cannot be read
    std::function<void(ListAdditionTest&, const QString&)> make;
    const char* says;
  };
  const Case cases[] = {
      {"names a pipe", "Name.txt",
       [](ListAdditionTest&, const QString& path) {
         ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
       },
       "Invalid argument"},
      {"names past the size read", "Name.txt",
       [](ListAdditionTest& t, const QString& path) {
         QFile file(path);
         ASSERT_TRUE(file.open(QIODevice::WriteOnly) &&
                     file.resize(static_cast<qint64>(radiolist::kMaxListFileBytes) + 1));
         (void)t;
       },
       "File too large"},
      {"addresses past the size read", "url.txt",
       [](ListAdditionTest&, const QString& path) {
         QFile file(path);
         ASSERT_TRUE(file.open(QIODevice::WriteOnly) &&
                     file.resize(static_cast<qint64>(radiolist::kMaxListFileBytes) + 4096));
       },
       "File too large"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    form.reset();
    errors.clear();
    writeLists({"Alpha"}, {"http://h/a"});
    writeGlyphs();
    ASSERT_TRUE(QFile::remove(path(c.file)));
    c.make(*this, path(c.file));
    const off_t names = sizeOf("Name.txt"), urls = sizeOf("url.txt");
    start();
    ASSERT_FALSE(errors.isEmpty());  // the load said why
    errors.clear();

    WindowControl& window = form->control();
    std::optional<StationsAdded> result;
    window.addStations({{"New", "http://h/new"}}, [&](const StationsAdded& r) { result = r; });
    ASSERT_TRUE(waitUntil([&] { return result.has_value(); }));
    EXPECT_EQ(result->added, 0);
    // The list that could not be read is named, with the system's reason.
    EXPECT_EQ(result->outcome.code, radiolist::Outcome::Code::ListUnread);
    EXPECT_TRUE(QString::fromStdString(result->outcome.detail).endsWith(c.file))
        << result->outcome.detail;
    EXPECT_NE(result->outcome.failure.error, 0);
    // The window's own add button, with both lists as they loaded (one of them empty).
    form->SpeedButton3->click();
    ASSERT_FALSE(errors.isEmpty());
    EXPECT_TRUE(errors.front().contains(c.says)) << errors.front().toStdString();
    EXPECT_TRUE(errors.front().contains(c.file)) << errors.front().toStdString();
    EXPECT_EQ(sizeOf("Name.txt"), names);
    EXPECT_EQ(sizeOf("url.txt"), urls);
    form.reset();
    QFile::remove(path(c.file));
  }
}

// Lists close to the size the window reads: an addition adds what fits, says how many did not,
// and both files load again with the same number of lines.
TEST_F(ListAdditionTest, AnAdditionNeverMakesAListTheWindowCannotReadBack) {
  // Names of some 3,300 bytes: four additions of 2,600 come to 34 MB, past the 32 MiB read.
  const QString longName(3'300, u'n');
  writeLists({"Zero"}, {"http://h/zero"});
  writeGlyphs();
  startAndSettle();
  WindowControl& window = form->control();
  int added = 0, noRoom = 0;
  for (int batch = 0; batch < 4; ++batch) {
    QList<ListedStation> stations;
    for (int i = 0; i < 2'600; ++i) {
      const QString n = QString::number(batch * 2'600 + i);
      stations.push_back({n + longName, "http://h/" + n});
    }
    std::optional<StationsAdded> result;
    window.addStations(stations, [&](const StationsAdded& r) { result = r; });
    ASSERT_TRUE(waitUntil([&] { return result.has_value(); }, 60'000));
    EXPECT_TRUE(result->outcome.done());
    EXPECT_EQ(result->added + result->noRoom, 2'600);
    added += result->added;
    noRoom += result->noRoom;
  }
  EXPECT_GT(noRoom, 0);
  EXPECT_LE(sizeOf("Name.txt"), static_cast<off_t>(radiolist::kMaxListFileBytes));
  // Started again on those files, the window reads every line of both.
  form.reset();
  errors.clear();
  start();
  EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
  EXPECT_EQ(form->ListBox1->count(), added + 1);
  EXPECT_EQ(form->ListBox2->count(), added + 1);
}

}  // namespace
