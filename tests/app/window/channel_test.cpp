// Choosing channels, the resync countdown, START STOP, adding and deleting lines.

#include <QTest>

#include "app/window/globals.h"
#include "app/window/vcl.h"
#include "tests/app/window_fixture.h"

using radiolist::itemIndex;
using Calls = std::vector<std::string>;

namespace {

QStringList numbered(const char* prefix, int n) {
  QStringList out;
  for (int i = 0; i < n; ++i) out << QString::fromLatin1(prefix) + QString::number(i);
  return out;
}

Calls channelStart(const std::string& url) {
  return {"Free",          "Init", "Create G:" + url, "Create A:" + url, "Play G:" + url,
          "Play A:" + url, "Start"};
}

}  // namespace

TEST_F(WindowTest, ChoosingANameRestartsThePreviousAddressFirstThenItsOwnAfterTheCountdown) {
  writeLists(numbered("name", 3), numbered("http://h/", 3));
  writeGlyphs();
  startAndSettle();
  audio.clear();

  clickRow(form->ListBox1, 2);
  EXPECT_EQ(audio.calls, channelStart("http://h/0"))
      << "the address list still selects the previous channel";
  EXPECT_EQ(ChannelIndex, 2);
  EXPECT_EQ(form->Label1->text(), QStringLiteral("2"));
  ASSERT_TRUE(settle());
  Calls expected = channelStart("http://h/0");
  const Calls second = channelStart("http://h/2");
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(audio.calls, expected);
  EXPECT_EQ(itemIndex(form->ListBox2), 2);
  EXPECT_EQ(form->Edit2->text(), QStringLiteral("http://h/2"));
  EXPECT_EQ(ResyncCountdown, 10);
  // Hinted at the press, by the click and by the countdown's run; nothing else.
  EXPECT_GE(audio.hints.size(), 2u);
  EXPECT_EQ(std::count(audio.hints.begin(), audio.hints.end(), "http://h/2"),
            static_cast<std::ptrdiff_t>(audio.hints.size()));
}

TEST_F(WindowTest, ChoosingAgainWithinTheCountdownGivesOneDelayedRun) {
  writeLists(numbered("name", 3), numbered("http://h/", 3));
  writeGlyphs();
  startAndSettle();
  audio.clear();
  clickRow(form->ListBox1, 1);
  clickRow(form->ListBox1, 2);
  ASSERT_TRUE(settle());
  const auto creates =
      std::count_if(audio.calls.begin(), audio.calls.end(),
                    [](const std::string& c) { return c.rfind("Create G:", 0) == 0; });
  EXPECT_EQ(creates, 3) << "two immediate runs and one delayed";
  EXPECT_EQ(audio.calls[audio.calls.size() - 5], "Create G:http://h/2");
}

TEST_F(WindowTest, ANameWithoutAddressLineKeepsPlayingTheSelectedAddress) {
  writeLists(numbered("name", 3), numbered("http://h/", 2));
  writeGlyphs();
  startAndSettle();
  audio.clear();
  clickRow(form->ListBox1, 2);
  ASSERT_TRUE(settle());
  for (const std::string& call : audio.calls)
    EXPECT_EQ(call.find("http://h/2"), std::string::npos) << call;
  EXPECT_EQ(itemIndex(form->ListBox2), 0);
}

TEST_F(WindowTest, StartStopRestartsThenStopsBothStreams) {
  writeLists({"one"}, {"http://h/0"});
  writeGlyphs();
  startAndSettle();
  audio.clear();

  form->SpeedButton2->click();
  const Calls start{"Free",
                    "Init",
                    "Create G:http://h/0",
                    "Play G:http://h/0",
                    "Create A:http://h/0",
                    "Play A:http://h/0",
                    "Start"};
  EXPECT_EQ(audio.calls, start);
  EXPECT_EQ(form->SpeedButton2->Tag, 1);
  EXPECT_EQ(GlyphPath, path("imag/play.bmp"));
  EXPECT_TRUE(form->Timer1->isActive()) << "a start press leaves the station-name poll as it was";

  audio.clear();
  form->SpeedButton2->click();
  EXPECT_EQ(audio.calls, (Calls{"Stop G:http://h/0", "Stop A:http://h/0"}))
      << "what is heard must stop, AAC too";
  EXPECT_EQ(form->SpeedButton2->Tag, 0);
  EXPECT_EQ(GlyphPath, path("imag/stop.bmp"));
  EXPECT_FALSE(form->Timer1->isActive());

  audio.clear();
  form->SpeedButton2->click();
  EXPECT_EQ(form->SpeedButton2->Tag, 1);
  EXPECT_FALSE(form->Timer1->isActive()) << "only a channel start polls the station name again";
}

TEST_F(WindowTest, StartPressWithoutSelectedAddressReportsAndKeepsTag) {
  writeLists({"one"}, {"http://h/0"});
  writeGlyphs();
  startAndSettle();
  radiolist::setItemIndex(form->ListBox2, -1);
  audio.clear();
  form->SpeedButton2->click();
  ASSERT_EQ(errors.size(), 1);
  EXPECT_EQ(errors[0], QStringLiteral("List index out of bounds (-1)"));
  EXPECT_EQ(audio.calls, (Calls{"Free", "Init"}));
  EXPECT_EQ(StreamHandle, 0u);
  EXPECT_EQ(form->SpeedButton2->Tag, 0);
}

TEST_F(WindowTest, AddingAppendsANumberedRowAndAnEmptyAddressAndMakesItCurrent) {
  writeLists(numbered("name", 5), numbered("http://h/", 5));
  writeGlyphs();
  startAndSettle();
  audio.clear();
  form->SpeedButton3->click();
  EXPECT_EQ(audio.calls, (Calls{"Stop G:http://h/0", "Stop A:http://h/0"}));
  EXPECT_EQ(readFile("Name.txt"), "name0\r\nname1\r\nname2\r\nname3\r\nname4\r\n5)\r\n");
  EXPECT_EQ(readFile("url.txt"),
            "http://h/0\r\nhttp://h/1\r\nhttp://h/2\r\nhttp://h/3\r\nhttp://h/4\r\nhttp://\r\n");
  EXPECT_EQ(itemIndex(form->ListBox1), 5);
  ASSERT_TRUE(settle());
  EXPECT_EQ(ChannelIndex, 5);
  EXPECT_EQ(itemIndex(form->ListBox2), 5) << "an address typed next replaces \"http://\"";
  form->SpeedButton3->click();
  EXPECT_EQ(readFile("Name.txt").substr(readFile("Name.txt").size() - 8), "5)\r\n6)\r\n");
}

TEST_F(WindowTest, AddingBeforeAnyChannelStartNumbersTheRowZero) {
  writeLists({}, {});
  writeGlyphs();
  start();
  form->SpeedButton3->click();
  EXPECT_EQ(readFile("Name.txt"), "0)\r\n");
  EXPECT_EQ(readFile("url.txt"), "http://\r\n");
}

TEST_F(WindowTest, DeletingRemovesTheSameRowFromBothFiles) {
  writeLists(numbered("name", 5), numbered("http://h/", 5));
  writeGlyphs();
  startAndSettle();
  radiolist::setItemIndex(form->ListBox1, 2);
  radiolist::setItemIndex(form->ListBox2, 4);
  form->SpeedButton4->click();
  EXPECT_EQ(readFile("Name.txt"), "name0\r\nname1\r\nname3\r\nname4\r\n");
  EXPECT_EQ(readFile("url.txt"), "http://h/0\r\nhttp://h/1\r\nhttp://h/3\r\nhttp://h/4\r\n")
      << "names and addresses stay paired";
  ASSERT_TRUE(settle());
  EXPECT_EQ(ChannelIndex, 3) << "the name list's new last row becomes current";
}

TEST_F(WindowTest, DeletingWithOnlyAnAddressSelectedRemovesThatRowFromBoth) {
  writeLists(numbered("name", 3), numbered("http://h/", 3));
  writeGlyphs();
  startAndSettle();
  radiolist::setItemIndex(form->ListBox1, -1);
  radiolist::setItemIndex(form->ListBox2, 1);
  form->SpeedButton4->click();
  EXPECT_EQ(readFile("Name.txt"), "name0\r\nname2\r\n");
  EXPECT_EQ(readFile("url.txt"), "http://h/0\r\nhttp://h/2\r\n");
}

TEST_F(WindowTest, DeletingWithNothingSelectedRewritesBothFilesUnchanged) {
  writeLists(numbered("name", 3), numbered("http://h/", 3));
  writeGlyphs();
  startAndSettle();
  radiolist::setItemIndex(form->ListBox1, -1);
  radiolist::setItemIndex(form->ListBox2, -1);
  form->SpeedButton4->click();
  EXPECT_EQ(readFile("Name.txt"), "name0\r\nname1\r\nname2\r\n");
  EXPECT_EQ(readFile("url.txt"), "http://h/0\r\nhttp://h/1\r\nhttp://h/2\r\n");
}

TEST_F(WindowTest, DeletingTheOnlyLineLeavesTheCountdownRunningFreeUntilAnAdditionArmsIt) {
  writeLists({"only"}, {"http://h/0"});
  writeGlyphs();
  startAndSettle();
  form->SpeedButton4->click();
  EXPECT_EQ(readFile("Name.txt"), "");
  EXPECT_EQ(readFile("url.txt"), "");
  ASSERT_TRUE(waitUntil([&] { return !errors.isEmpty(); }));
  EXPECT_EQ(errors[0], QStringLiteral("List index out of bounds (-1)"));
  QTest::qWait(60);
  EXPECT_TRUE(form->Timer2->isActive());
  EXPECT_LT(ResyncCountdown, 0) << "running free below zero";
  EXPECT_EQ(errors.size(), 1) << "no further clicks while running free";

  audio.clear();
  form->SpeedButton3->click();
  ASSERT_TRUE(settle()) << "an addition re-arms the countdown, which then completes";
  EXPECT_EQ(ResyncCountdown, 10);
  Calls expected{"Stop G:http://h/0", "Stop A:http://h/0"};
  const Calls run = channelStart("http://");
  expected.insert(expected.end(), run.begin(), run.end());
  EXPECT_EQ(audio.calls, expected);
}

TEST_F(WindowTest, DeletingFromEmptyListsChangesNothing) {
  writeLists({}, {});
  writeGlyphs();
  start();
  form->SpeedButton4->click();
  EXPECT_EQ(readFile("Name.txt"), "");
  EXPECT_EQ(readFile("url.txt"), "");
  EXPECT_EQ(UrlCount, -1);
}

TEST_F(WindowTest, CountsFollowTheFilesOnDiskAfterEveryChannelStart) {
  writeLists(numbered("name", 3), numbered("http://h/", 3));
  writeGlyphs();
  startAndSettle();
  writeFile(QStringLiteral("url.txt"), "a\r\nb\r\n\r\n\r\n");  // an empty last line counts
  clickRow(form->ListBox1, 1);
  EXPECT_EQ(UrlCount, 4);
  EXPECT_EQ(NameCount, 3);
}

// A station found outside the list plays on START's path, even while a chosen row's countdown
// runs: the countdown does not put the row back in its place, and both lists stay as they were.
TEST_F(WindowTest, PlayingAnAddressOutsideTheListLeavesTheListAndItsCountdownAlone) {
  writeLists(numbered("name", 3), numbered("http://h/", 3));
  writeGlyphs();
  startAndSettle();
  clickRow(form->ListBox1, 2);
  audio.clear();
  form->control().playAddress(QStringLiteral("http://found/stream"));
  const Calls played = {"Free",
                        "Init",
                        "Create G:http://found/stream",
                        "Play G:http://found/stream",
                        "Create A:http://found/stream",
                        "Play A:http://found/stream",
                        "Start"};
  EXPECT_EQ(audio.calls, played);
  EXPECT_EQ(form->SpeedButton2->Tag, 1) << "START STOP now stops it";
  QTest::qWait(1500);  // longer than the countdown's ten ticks would take to restart the row
  EXPECT_EQ(audio.calls, played);
  EXPECT_EQ(form->ListBox1->count(), 3);
  EXPECT_EQ(form->ListBox2->count(), 3);
}
