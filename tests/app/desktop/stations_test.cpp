// Stations from outside the window: both files gain the same lines or neither does, and what
// cannot be read (or would make the program wait) changes nothing and says why.

#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QTemporaryDir>
#include <optional>

#include "app/desktop/outcome_text.h"
#include "app/desktop/station_intake.h"
#include "app/window/vcl.h"
#include "tests/app/window_fixture.h"

using namespace radiolist;

namespace {

class StationsTest : public WindowTest {
 protected:
  // Adds and waits until both files are saved (or not).
  StationsAdded addAndWait(WindowControl& window, const QList<ListedStation>& stations) {
    std::optional<StationsAdded> result;
    window.addStations(stations, [&](const StationsAdded& r) { result = r; });
    EXPECT_TRUE(waitUntil([&] { return result.has_value(); }));
    return result.value_or(StationsAdded::failed(Outcome::about(Outcome::Code::NothingAdded)));
  }
};

TEST_F(StationsTest, BothFilesGainTheNewAddressesPairedOrNeitherChanges) {
  writeLists({"One"}, {"http://a/1"});
  writeGlyphs();
  startAndSettle();
  WindowControl& window = form->control();
  StationsAdded added = addAndWait(window, {{"Two", "http://a/2"},
                                            {"One again", "http://a/1"},
                                            {"Two again", "http://a/2"},
                                            {"Three", " http://a/3 "}});
  EXPECT_TRUE(added.outcome.done());
  EXPECT_EQ(added.added, 2);
  const std::string names = "One\r\nTwo\r\nThree\r\n";
  const std::string urls = "http://a/1\r\nhttp://a/2\r\nhttp://a/3\r\n";
  EXPECT_EQ(readFile("Name.txt"), names);
  EXPECT_EQ(readFile("url.txt"), urls);
  EXPECT_EQ(window.stations().size(), 3);

  // The names cannot be saved (a directory took the file's place): the addresses are put back.
  ASSERT_TRUE(QFile::remove(path("Name.txt")) && QDir().mkdir(path("Name.txt")));
  added = addAndWait(window, {{"Four", "http://a/4"}});
  EXPECT_EQ(added.added, 0);
  EXPECT_EQ(added.outcome.code, Outcome::Code::CannotCreate);
  EXPECT_EQ(added.outcome.failure, files::Failure::system(EISDIR));
  EXPECT_TRUE(additionError(added).contains("Name.txt\". Is a directory"))
      << additionError(added).toStdString();
  EXPECT_EQ(readFile("url.txt"), urls);
  EXPECT_EQ(form->ListBox1->count(), 3);
  EXPECT_EQ(form->ListBox2->count(), 3);
  ASSERT_TRUE(QDir().rmdir(path("Name.txt")));
  writeFile("Name.txt", names);

  // Lists of unequal length would pair a name with another's address.
  appendRow(form->ListBox2, "http://a/extra");
  added = addAndWait(window, {{"Five", "http://a/5"}});
  EXPECT_EQ(added.added, 0);
  EXPECT_TRUE(additionError(added).contains("3 names and 4 addresses"))
      << additionError(added).toStdString();
  EXPECT_EQ(readFile("Name.txt"), names);
  EXPECT_EQ(readFile("url.txt"), urls);
}

// A drop anywhere on the window adds what it carries; a drop that cannot be read shows a box.
TEST_F(StationsTest, ADropOntoAListAddsItsAddressesAndAnUnreadableOneShowsWhy) {
  writeLists({"One"}, {"http://a/1"});
  writeGlyphs();
  startAndSettle();
  StationIntake intake{*player, form->control()};
  const auto drop = [&](QWidget* onto, QMimeData* data) {
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, data, Qt::LeftButton, {});
    QCoreApplication::sendEvent(onto, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent event(QPointF(5, 5), Qt::CopyAction, data, Qt::LeftButton, {});
    QCoreApplication::sendEvent(onto, &event);
    EXPECT_TRUE(event.isAccepted());
  };
  QMimeData text;
  text.setText("http://drop.example/live\n# a comment\nhttps://www.two.example/x\n");
  drop(form->ListBox1->viewport(), &text);
  ASSERT_TRUE(waitUntil([&] { return form->ListBox2->count() == 3; }));
  // The rows come at once, the files once the save thread has written them.
  EXPECT_TRUE(
      waitUntil([&] { return readFile("Name.txt") == "One\r\ndrop.example\r\ntwo.example\r\n"; }));

  QMimeData file;
  file.setUrls({QUrl::fromLocalFile(path("missing.pls"))});
  drop(form.get(), &file);
  ASSERT_TRUE(waitUntil([&] { return !errors.isEmpty(); }));
  EXPECT_TRUE(errors.back().contains("missing.pls")) << errors.back().toStdString();
  EXPECT_EQ(form->ListBox2->count(), 3);
}

TEST(GatherStations, WhatCannotBeReadChangesNothingAndSaysWhy) {
  QTemporaryDir dir;
  const auto at = [&](const char* name) { return dir.filePath(name); };
  ASSERT_EQ(::mkfifo(QFile::encodeName(at("pipe.m3u")).constData(), 0600), 0);
  ASSERT_TRUE(QDir().mkdir(at("folder.pls")));
  QFile big(at("big.m3u"));
  ASSERT_TRUE(big.open(QIODevice::WriteOnly) && big.resize((16 << 20) + 1));
  QFile hls(at("live.m3u8"));
  ASSERT_TRUE(hls.open(QIODevice::WriteOnly));
  hls.write("#EXTM3U\n#EXT-X-TARGETDURATION:6\n#EXTINF:6,\nseg1.ts\n");
  hls.close();
  QFile pls(at("good.pls"));
  ASSERT_TRUE(pls.open(QIODevice::WriteOnly));
  pls.write("[playlist]\nFile1=http://a.example/live\nTitle1=Good\nNumberOfEntries=1\n");
  pls.close();

  struct Case {
    QStringList items;
    const char* says;  // in the error; "" for none
  };
  const Case cases[] = {
      {{at("pipe.m3u")}, "not a regular file"},  // refused without waiting for a writer
      {{at("folder.pls")}, "Is a directory"},
      {{at("missing.pls")}, "No such file or directory"},
      {{at("big.m3u")}, "File too large"},
      {{at("live.m3u8")}, "HLS playlist"},
      {{at("good.pls"), "ftp://a.example/x"}, "not an address"},
      {{at("good.pls"), at("missing.pls")}, "missing.pls"},  // one bad item spoils the request
  };
  for (const Case& c : cases) {
    const GatheredStations got = gatherStations(c.items);
    EXPECT_TRUE(got.stations.isEmpty()) << c.items.join(' ').toStdString();
    EXPECT_TRUE(outcomeText(got.error).contains(c.says)) << outcomeText(got.error).toStdString();
  }

  const GatheredStations good =
      gatherStations({at("good.pls"), "https://www.radio.example:8000/stream"});
  EXPECT_TRUE(good.error.done());
  EXPECT_EQ(good.stations,
            (QList<ListedStation>{{"Good", "http://a.example/live"},
                                  {"radio.example", "https://www.radio.example:8000/stream"}}));

  // Out again, and in again: the same stations; a pipe in the way is refused, not waited on.
  EXPECT_TRUE(
      outcomeText(exportStations(at("pipe.m3u"), good.stations)).contains("not a regular file"));
  EXPECT_TRUE(exportStations(at("out.m3u"), good.stations).done());
  EXPECT_EQ(gatherStations({at("out.m3u")}).stations, good.stations);
  EXPECT_FALSE(QDir(dir.path()).entryList().join(' ').contains("out.m3u.")) << "no temporary left";
}

// What a request names but does not bring in is counted by why and told, and the rest is added:
// past the cap, past the bytes a request reads, and addresses that are not plain.
TEST_F(StationsTest, WhatIsLeftOutIsAddedUpByWhyAndTheRestGoesIn) {
  const auto write = [&](const char* name, const std::string& bytes) { writeFile(name, bytes); };
  std::string many = "#EXTM3U\n";
  for (int i = 0; i <= 10'000; ++i) many += "http://m/" + std::to_string(i) + "\n";
  write("many.m3u", many);
  // 10 MiB and 7 MiB: the second would take the request past 16 MiB.
  write("ten.m3u", "http://ten/1\n#" + std::string(10 << 20, 'x') + "\n");
  write("seven.m3u", "http://seven/1\n#" + std::string(7 << 20, 'x') + "\n");
  write("stations.csv",
        "Fine,http://c/fine\n"
        "LF,\"http://c/a\nb\"\n" +
            std::string("NUL,http://c/\0x\n", 17) + "Long,http://c/" + std::string(17 * 1024, 'l') +
            "\n"
            "Mirror,http://\u202Emoc.live/\n"
            "Ftp,ftp://c/x\n");
  write("bookmarks.json",
        "[{\"group\":\"g\",\"stations\":[{\"name\":\"J\",\"url\":\"http://j/\\r\\nx\"},"
        "{\"name\":\"\\u2028\",\"url\":\"http://j/sep\"},"
        "{\"name\":\"Evil \\u202Egnp.exe\",\"url\":\"http://j/evil\"}]}]");

  struct Case {
    QStringList items;
    formats::LeftOut leftOut;
    QStringList filesLeftOut;
    int stations;
  };
  const Case cases[] = {
      {{path("many.m3u")}, {.overCap = 1}, {}, 10'000},
      {{path("ten.m3u"), path("seven.m3u")}, {}, {path("seven.m3u")}, 1},
      {{path("stations.csv"), path("bookmarks.json")},
       {.notWeb = 1, .notPlain = 4, .tooLong = 1},
       {},
       3},
  };
  for (const Case& c : cases) {
    const GatheredStations got = gatherStations(c.items);
    SCOPED_TRACE(c.items.join(' ').toStdString());
    EXPECT_TRUE(got.error.done());
    EXPECT_EQ(got.stations.size(), c.stations);
    EXPECT_EQ(got.leftOut, c.leftOut);
    EXPECT_EQ(got.filesLeftOut, c.filesLeftOut);
  }
  // Names keep no character that shows nothing: a name of a line separator is no empty row.
  const GatheredStations named = gatherStations({path("bookmarks.json")});
  ASSERT_EQ(named.stations.size(), 2);
  EXPECT_EQ(named.stations[0].name, "_");
  EXPECT_EQ(named.stations[1].name, "Evil _gnp.exe");
  // An address alone that is not plain is refused with why.
  EXPECT_TRUE(
      outcomeText(gatherStations({"http://\u202Emoc.live/"}).error).contains("shows nothing"));

  // Through the window: what was added, what was left out and why, in one message.
  writeLists({"One"}, {"http://c/fine"});
  writeGlyphs();
  startAndSettle();
  StationIntake intake{*player, form->control()};
  std::optional<StationsAdded> result;
  intake.add({path("stations.csv"), path("ten.m3u"), path("seven.m3u")},
             [&](const StationsAdded& r) { result = r; });
  ASSERT_TRUE(waitUntil([&] { return result.has_value(); }, 10'000));
  EXPECT_TRUE(result->outcome.done());
  EXPECT_EQ(result->added, 1);  // http://ten/1; http://c/fine was there already
  for (const char* says : {"Stations added: 1", "1 not an http", "3 with a line break",
                           "1 with an address longer", "1 already in the list", "seven.m3u"})
    EXPECT_TRUE(result->leftOut.contains(says)) << says << " in " << result->leftOut.toStdString();
  EXPECT_TRUE(
      waitUntil([&] { return readFile("url.txt") == "http://c/fine\r\nhttp://ten/1\r\n"; }));

  // Nothing added (what was read is in the list) and a file left out: that is the error a drop
  // shows.
  result.reset();
  intake.add({path("ten.m3u"), path("seven.m3u")}, [&](const StationsAdded& r) { result = r; });
  ASSERT_TRUE(waitUntil([&] { return result.has_value(); }, 10'000));
  EXPECT_EQ(result->added, 0);
  EXPECT_EQ(result->outcome.code, Outcome::Code::NothingAdded);
  EXPECT_TRUE(additionError(*result).contains("seven.m3u")) << additionError(*result).toStdString();
}

}  // namespace

namespace radiolist {
namespace {

// Every result is worded in one place, naming what it concerns, with the system's reason where
// there is one; a name that would hide or reorder the text is shown defused.
TEST(OutcomeText, EachResultIsWordedWithWhatItConcernsAndWhy) {
  using Code = Outcome::Code;
  Outcome unpaired = Outcome::about(Code::Unpaired);
  unpaired.count = 3;
  unpaired.other = 4;
  Outcome unread = Outcome::file(Code::ListUnread, "/l/Name.txt", files::Failure::system(EACCES));
  unread.detail = "/l/url.txt";
  struct Case {
    Outcome outcome;
    QString says;
  };
  const Case cases[] = {
      {{}, ""},
      {Outcome::file(Code::CannotOpen, "/p/a.m3u", files::Failure::notRegular(S_IFIFO)),
       "Cannot open file \"/p/a.m3u\". It is not a regular file"},
      {Outcome::file(Code::CannotOpen, "/p/big.m3u", files::Failure::tooLarge()),
       "Cannot open file \"/p/big.m3u\". File too large"},
      {Outcome::cannotCreate("/p/\u202Eu3m.exe", EACCES),
       "Cannot create file \"/p/_u3m.exe\". Permission denied"},
      {unpaired,
       "The list has 3 names and 4 addresses: stations are added only to a list whose names and "
       "addresses pair up"},
      {unread,
       "Cannot create file \"/l/Name.txt\". \"/l/url.txt\" could not be read (Permission denied), "
       "so the list is kept as it is"},
      {Outcome::about(Code::AddressTooLong, "http://" + std::string(100, 'a')),
       "\"http://" + QString(57, u'a') +
           "\u2026\" is not an address that can be added: it is "
           "longer than 16 KiB"},
      {Outcome::about(Code::ListWriteFailed), "Stream write error"},
  };
  for (const Case& c : cases) EXPECT_EQ(outcomeText(c.outcome), c.says);

  using Status = SongSave::Status;
  const SongSave saves[] = {
      {Status::Saving, "/m/A - B.mp3", {}},
      {Status::NothingToSave, {}, Outcome::about(Code::CodecNotSaved, {}, "flac")},
      {Status::CannotWrite, "/m/A - B.mp3", Outcome::cannotCreate("/m/A - B.mp3", ENOSPC)},
      {Status::CannotWrite, "/m/A.m4a", Outcome::about(Code::MuxerFailed, "/m/A.m4a", "Bad")},
      {Status::NamesUsedUp, "/m", Outcome::about(Code::NamesUsedUp, "/m")},
  };
  const QString said[] = {
      "/m/A - B.mp3",
      "no song on air to save: the stream's flac is not saved (MP3, AAC, Vorbis and Opus are)",
      "/m/A - B.mp3: No space left on device",
      "/m/A.m4a: Bad",
      "/m: every name for this song is taken",
  };
  for (std::size_t i = 0; i < std::size(saves); ++i) EXPECT_EQ(songSaveText(saves[i]), said[i]);
}

}  // namespace
}  // namespace radiolist
