// Mending a station that moved: the ids remembered per address (their file's reading and
// writing), what the directory's answer makes of a line, the mender's lookups with a stand-in
// directory and player, and the window's side: which failures are told as a list line's, and the
// one line of url.txt rewritten.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "app/desktop/directory_ids.h"
#include "app/desktop/station_mender.h"
#include "app/window/globals.h"
#include "app/window/vcl.h"
#include "files/file.h"
#include "tests/app/window_fixture.h"

using namespace radiolist;

namespace {

const std::string kUuidA = "960e57c5-0601-11e8-ae97-52543be04c81";
const std::string kUuidB = "0000aaaa-0000-4000-8000-0000000000bb";

TEST(DirectoryIds, FileReadsWhatItCanAndKeepsTheNewestWithinItsBounds) {
  struct Case {
    const char* what;
    std::string bytes;
    DirectoryIdList want;
  };
  const std::vector<Case> cases = {
      {"two lines, CR LF too",
       "http://a/1\t" + kUuidA + "\r\nhttp://a/2\t" + kUuidB + "\n",
       {{"http://a/1", kUuidA}, {"http://a/2", kUuidB}}},
      {"a later line for an address replaces the earlier",
       "http://a/1\t" + kUuidA + "\nhttp://a/2\t" + kUuidB + "\nhttp://a/1\t" + kUuidB,
       {{"http://a/2", kUuidB}, {"http://a/1", kUuidB}}},
      {"no tab, no id, an id that is not the directory's kind, a control character",
       "http://a/1\nhttp://a/2\t\nhttp://a/3\tnot an id!\nhttp://a/\x01"
       "4\t" +
           kUuidA + "\n\t" + kUuidA + "\nhttp://a/5\t" + kUuidA + "\textra\n",
       {}},
      {"an address longer than the bound",
       "http://a/" + std::string(kMaxDirectoryIdAddressBytes, 'x') + "\t" + kUuidA + "\n",
       {}},
      {"nothing", "", {}},
  };
  for (const Case& c : cases) {
    const DirectoryIdList got = parseDirectoryIds(c.bytes);
    EXPECT_EQ(got, c.want) << c.what;
    // What is written reads back the same.
    EXPECT_EQ(parseDirectoryIds(formatDirectoryIds(got)), got) << c.what;
  }

  // Past the count the oldest go, when remembered and when written.
  DirectoryIdList many;
  for (std::size_t i = 0; i < kMaxDirectoryIds + 3; ++i)
    rememberDirectoryId(many, {"http://s/" + std::to_string(i), kUuidA});
  ASSERT_EQ(many.size(), kMaxDirectoryIds);
  EXPECT_EQ(many.front().address, "http://s/3");
  // Past the bytes too: long addresses fill the file before the count does.
  DirectoryIdList large;
  const std::string tail(1500, 'x');
  for (int i = 0; i < 1000; ++i)
    large.push_back({"http://s/" + std::to_string(i) + "/" + tail, kUuidA});
  const std::string file = formatDirectoryIds(large);
  EXPECT_LE(file.size(), kMaxDirectoryIdsBytes);
  const DirectoryIdList back = parseDirectoryIds(file);
  ASSERT_FALSE(back.empty());
  EXPECT_LT(back.size(), large.size());
  EXPECT_EQ(back.back(), large.back()) << "the newest stay";
}

TEST(DirectoryIds, RememberedAcrossRunsMovedWithTheStationAndNotReadFromAPipe) {
  QTemporaryDir dir;
  const std::string path = QDir(dir.path()).filePath("state/directory-ids.tsv").toStdString();
  {
    DirectoryIds ids(path);
    ids.remember(" http://a/1 ", kUuidA);
    ids.remember("http://a/2", kUuidB);
    ids.remember("http://a/3", "no id");  // not the directory's kind: not kept
    ids.move("http://a/1", "http://b/1");
    ids.waitForDisk();
  }
  const files::Read read = files::readFile(path, 1 << 20, files::Links::Refuse);
  ASSERT_FALSE(read.failure.failed());
  EXPECT_EQ(read.bytes, "http://a/2\t" + kUuidB + "\nhttp://b/1\t" + kUuidA + "\n");

  DirectoryIds again(path);
  again.waitForDisk();
  EXPECT_EQ(again.uuidFor("http://b/1"), kUuidA);
  EXPECT_EQ(again.uuidFor("http://a/2 "), kUuidB);
  EXPECT_FALSE(again.uuidFor("http://a/1"));

  {  // Two programs on the file: neither writes over what the other remembered since it read it.
    DirectoryIds first(path);
    first.waitForDisk();
    again.remember("http://c/1", kUuidA);
    again.waitForDisk();
    first.remember("http://c/2", kUuidB);
    first.waitForDisk();
    EXPECT_EQ(first.uuidFor("http://c/1"), kUuidA) << "learnt when it wrote";
  }
  DirectoryIds third(path);
  third.waitForDisk();
  EXPECT_EQ(third.uuidFor("http://c/1"), kUuidA);
  EXPECT_EQ(third.uuidFor("http://c/2"), kUuidB);
  EXPECT_EQ(third.uuidFor("http://b/1"), kUuidA);

  // A pipe at the path is refused without waiting for a writer; the ids live on in memory.
  const std::string fifo = QDir(dir.path()).filePath("fifo.tsv").toStdString();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  DirectoryIds piped(fifo);
  piped.remember("http://a/1", kUuidA);
  piped.waitForDisk();
  EXPECT_EQ(piped.uuidFor("http://a/1"), kUuidA);
}

directory::Station station(std::string uuid, std::string name, std::string url) {
  directory::Station s;
  s.uuid = std::move(uuid);
  s.name = std::move(name);
  s.url = std::move(url);
  return s;
}

directory::Outcome answer(std::vector<directory::Station> stations) {
  directory::Outcome out;
  out.list.stations = std::move(stations);
  return out;
}

TEST(StationMender, TheDirectorysAnswerGivesOneNewAddressOrNone) {
  directory::Outcome failed;
  failed.failure = directory::Failure::TimedOut;
  struct Case {
    const char* what;
    directory::Outcome answer;
    std::string uuid, name;
    std::optional<std::string> want;
  };
  const std::vector<Case> cases = {
      {"by id",
       answer({station(kUuidB, "Other", "http://x/"), station(kUuidA, "R", "http://new/")}), kUuidA,
       "Name in the list", "http://new/"},
      {"by id, the same address", answer({station(kUuidA, "R", "http://old/")}), kUuidA, "R", {}},
      {"by id, not found", answer({station(kUuidB, "R", "http://new/")}), kUuidA, "R", {}},
      {"a failure", failed, kUuidA, "R", {}},
      {"by name, exactly one",
       answer({station(kUuidA, "Radio X Plus", "http://plus/"),
               station(kUuidB, "Radio X", "http://new/")}),
       "", " Radio X ", "http://new/"},
      {"by name, two at one address",
       answer(
           {station(kUuidA, "Radio X", "http://new/"), station(kUuidB, "Radio X", "http://new/")}),
       "", "Radio X", "http://new/"},
      {"by name, two at different addresses",
       answer(
           {station(kUuidA, "Radio X", "http://new/"), station(kUuidB, "Radio X", "http://n2/")}),
       "",
       "Radio X",
       {}},
      {"by name, none exactly",
       answer({station(kUuidA, "radio x", "http://new/")}),
       "",
       "Radio X",
       {}},
  };
  for (const Case& c : cases) {
    const auto got = movedTo(c.answer, c.uuid, c.name, " http://old/ ");
    EXPECT_EQ(got ? std::optional(got->url) : std::nullopt, c.want) << c.what;
  }
}

// The directory and the player as the mender sees them, answering from threads of their own.
struct StandIns {
  std::mutex mutex;
  std::vector<std::string> byUuid;         // ids asked for
  std::vector<directory::Query> searches;  // searches asked for
  directory::Outcome answer;               // what each request gets
  std::set<std::string> playing;
  std::vector<std::pair<std::string, bool>> plays;  // addresses asked about, publicOnly

  StationMender::Directory directory() {
    const auto reply = [this](directory::Callback done) {
      std::thread([this, done = std::move(done)] { done(answer); }).detach();
    };
    return {[this, reply](const std::string& uuid, directory::Callback done) {
              const std::lock_guard lock(mutex);
              byUuid.push_back(uuid);
              reply(std::move(done));
            },
            [this, reply](const directory::Query& q, directory::Callback done) {
              const std::lock_guard lock(mutex);
              searches.push_back(q);
              reply(std::move(done));
            }};
  }
  StationMender::Plays player() {
    return [this](const std::string& url, bool publicOnly) {
      const std::lock_guard lock(mutex);
      plays.emplace_back(url, publicOnly);
      return playing.contains(url);
    };
  }
};

TEST(StationMender, AGoneLineIsLookedUpOnceAndAnAddressThatPlaysOffered) {
  StandIns fake;
  DirectoryIds ids("");
  ids.remember("http://old/1", kUuidA);
  fake.answer = answer({station(kUuidA, "Radio One", "http://new/1")});
  fake.playing = {"http://new/1"};
  StationMender mender(fake.directory(), fake.player(), ids);
  QSignalSpy offered(&mender, &StationMender::offered);

  const GoneLine line{3, "Radio One", "http://old/1", StreamGone::NotFound};
  mender.lineGone(line);
  mender.lineGone(line);  // the other stream of the channel tells it too
  ASSERT_TRUE(offered.wait(5000));
  const MovedStation want{3, "Radio One", "http://old/1", "http://new/1"};
  EXPECT_EQ(mender.offers(), QList<MovedStation>{want});
  EXPECT_EQ(mender.offer(3), want);
  EXPECT_FALSE(mender.offer(2));
  {
    const std::lock_guard lock(fake.mutex);
    EXPECT_EQ(fake.byUuid, std::vector<std::string>{kUuidA}) << "asked once, by its id";
    EXPECT_TRUE(fake.searches.empty());
    ASSERT_EQ(fake.plays.size(), 1u);
    EXPECT_TRUE(fake.plays[0].second) << "a public directory's address: public networks only";
  }

  // Without an id: by the name. A new address that does not play is not offered.
  fake.answer = answer({station(kUuidB, "Radio Two", "http://new/2")});
  mender.lineGone({5, "Radio Two", "http://old/2", StreamGone::NoSuchHost});
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        const std::lock_guard lock(fake.mutex);
        return fake.plays.size() == 2;
      },
      5000));
  QTest::qWait(100);  // the answer's way back to this thread
  EXPECT_EQ(offered.count(), 1);
  {
    const std::lock_guard lock(fake.mutex);
    ASSERT_EQ(fake.searches.size(), 1u);
    EXPECT_EQ(fake.searches[0].name, "Radio Two");
    EXPECT_EQ(fake.plays[1].first, "http://new/2");
  }

  // An id the directory no longer knows: asked again by the name.
  ids.remember("http://old/7", kUuidB);
  fake.answer = answer({station(kUuidA, "Radio Four", "http://new/4")});
  fake.playing.insert("http://new/4");
  mender.lineGone({7, "Radio Four", "http://old/7", StreamGone::NotFound});
  ASSERT_TRUE(offered.wait(5000));
  EXPECT_EQ(mender.offer(7)->newAddress, "http://new/4");
  {
    const std::lock_guard lock(fake.mutex);
    EXPECT_EQ(fake.byUuid.back(), kUuidB);
    ASSERT_EQ(fake.searches.size(), 2u);
    EXPECT_EQ(fake.searches[1].name, "Radio Four");
  }

  mender.withdraw(3);
  mender.withdraw(7);
  EXPECT_TRUE(mender.offers().isEmpty());
  // A row not in the list, or no name to search by: nothing is asked.
  mender.lineGone({-1, "Radio Three", "http://old/3", StreamGone::NoAudio});
  mender.lineGone({6, "  ", "http://old/4", StreamGone::NoAudio});
  QTest::qWait(100);
  const std::lock_guard lock(fake.mutex);
  EXPECT_EQ(fake.byUuid.size() + fake.searches.size(), 4u);
}

class MendWindowTest : public WindowTest {
 protected:
  void postGone(DWORD handle) {
    PlaybackEvent e;
    e.kind = PlaybackEvent::Kind::Gone;
    e.handle = handle;
    e.gone = StreamGone::NotFound;
    controls.post(e);
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
  }
  // Replaces the address and waits for the save's outcome.
  std::optional<Outcome> replace(int row, const QString& old, const QString& now) {
    std::optional<Outcome> outcome;
    if (!form->control().replaceAddress(row, old, now, [&](const Outcome& o) { outcome = o; }))
      return std::nullopt;
    EXPECT_TRUE(waitUntil([&] { return outcome.has_value(); }));
    return outcome;
  }
};

TEST_F(MendWindowTest, OnlyTheLineThatFailedIsToldAndOnlyItsAddressRewritten) {
  writeLists({"One", "Two", "Three"}, {"http://a/1", "http://a/2", "http://a/3"});
  writeGlyphs();
  startAndSettle();
  clickRow(form->ListBox1, 1);
  ASSERT_TRUE(settle());
  QSignalSpy gone(player.get(), &Player::lineGone);
  postGone(StreamHandle);
  ASSERT_EQ(gone.count(), 1);
  const auto told = gone.takeFirst().at(0).value<GoneLine>();
  EXPECT_EQ(told.row, 1);
  EXPECT_EQ(told.name, "Two");
  EXPECT_EQ(told.address, "http://a/2");
  postGone(12345);  // no stream of the channel's
  EXPECT_EQ(gone.count(), 0);

  const std::string names = readFile("Name.txt");
  EXPECT_FALSE(replace(1, "http://a/9", "http://b/2")) << "the line holds another address";
  EXPECT_FALSE(replace(7, "http://a/2", "http://b/2"));
  const std::optional<Outcome> saved = replace(1, "http://a/2", "http://b/2");
  ASSERT_TRUE(saved);
  EXPECT_TRUE(saved->done());
  EXPECT_EQ(readFile("url.txt"), "http://a/1\r\nhttp://b/2\r\nhttp://a/3\r\n");
  EXPECT_EQ(readFile("Name.txt"), names);
  EXPECT_EQ(form->control().stations().at(1).address, "http://b/2");

  // The streams were made from the old address, which the line no longer holds.
  postGone(AacStreamHandle);
  EXPECT_EQ(gone.count(), 0);
  // An address played from outside the list is no line's.
  form->control().playAddress("http://a/3");
  postGone(StreamHandle);
  EXPECT_EQ(gone.count(), 0);

  // A save that fails says why and puts the old address back.
  ASSERT_TRUE(QFile::remove(path("url.txt")) && QDir().mkdir(path("url.txt")));
  const std::optional<Outcome> failed = replace(0, "http://a/1", "http://b/1");
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->code, Outcome::Code::CannotCreate);
  EXPECT_EQ(form->control().stations().at(0).address, "http://a/1");
}

}  // namespace
