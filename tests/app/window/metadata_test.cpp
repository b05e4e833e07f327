// The station name and title on air: the cutting rules on literal inputs, and the two polls.

#include <QTest>

#include "app/window/globals.h"
#include "app/window/handlers/metadata_text.h"
#include "tests/app/window_fixture.h"

using radiolist::extractStreamTitle;
using radiolist::scanHeaderBlock;

TEST(StreamTitle, CutsBetweenTheQuotesOfTheUsualForm) {
  EXPECT_EQ(extractStreamTitle(u"StreamTitle='Artist - Song';"), u"Artist - Song");
  EXPECT_EQ(extractStreamTitle(u"StreamTitle='A - B';StreamUrl='';"), u"A - B");
  EXPECT_EQ(extractStreamTitle(u"StreamTitle='Кино - Группа крови';"), u"Кино - Группа крови");
  EXPECT_EQ(extractStreamTitle(u"StreamTitle='';"), u"");
}

TEST(StreamTitle, KeepsItsArithmeticOnUnusualTexts) {
  EXPECT_EQ(extractStreamTitle(u"abcdefghijklmnopq;"), u"mnop") << "no key: k = 0";
  EXPECT_EQ(extractStreamTitle(u"abcdefghijklmnopq"), u"") << "no ';'";
  EXPECT_EQ(extractStreamTitle(u"abcdefghijklm;"), u"") << "';' at position 14";
  EXPECT_EQ(extractStreamTitle(u"x;StreamTitle='Song';"), u"") << "';' before the title";
  EXPECT_EQ(extractStreamTitle(u"StreamTitle='Rock;Roll';"), u"Roc");
  EXPECT_EQ(extractStreamTitle(u"StreamTitle=Hello;"), u"ell");
  EXPECT_EQ(extractStreamTitle(u""), u"");
  EXPECT_EQ(extractStreamTitle(u";"), u"");
}

TEST(StreamTitle, NeverReadsPastTheText) {
  // ';' far behind a short start: the length runs past the end and stops there.
  std::u16string text = u"StreamTitle='ab";
  EXPECT_EQ(extractStreamTitle(text), u"");
  text = u"0123456789abcdefghij";
  for (std::size_t cut = 0; cut <= text.size(); ++cut) {
    const std::u16string piece = text.substr(0, cut) + u";";
    const std::u16string title = extractStreamTitle(piece);
    EXPECT_LE(title.size(), piece.size());
    EXPECT_NE(piece.find(title), std::u16string::npos);
  }
}

TEST(HeaderBlock, FindsTheLastExactIcyNameLine) {
  const char block[] = "ICY 200 OK\0icy-name: Radio\0icy-br:128\0";
  const auto scan = scanHeaderBlock(block);
  EXPECT_TRUE(scan.hadLines);
  EXPECT_EQ(scan.stationName, std::optional<std::string>(" Radio")) << "nothing is trimmed";

  const char two[] = "icy-name:First\0icy-name:Second\0";
  EXPECT_EQ(scanHeaderBlock(two).stationName, std::optional<std::string>("Second"));
  const char empty[] = "icy-name:\0";
  EXPECT_EQ(scanHeaderBlock(empty).stationName, std::optional<std::string>(""));
}

TEST(HeaderBlock, IgnoresOtherCaseAndShortLinesButCountsThem) {
  const char other[] = "Icy-Name:Radio\0icy-nam\0";
  const auto scan = scanHeaderBlock(other);
  EXPECT_TRUE(scan.hadLines);
  EXPECT_FALSE(scan.stationName.has_value());
  const auto none = scanHeaderBlock("");
  EXPECT_FALSE(none.hadLines);
  EXPECT_FALSE(none.stationName.has_value());
}

// A literal's bytes, embedded NULs included (the final NUL of the literal excluded).
template <std::size_t N>
std::string bytes(const char (&literal)[N]) {
  return std::string(literal, N - 1);
}

class MetadataPollTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    writeLists({"One"}, {"http://h/0"});
    writeGlyphs();
    startAndSettle();
  }
  void setTags(HSTREAM handle, DWORD type, const std::string& bytes) {
    audio.tags[{handle, type}] = bytes;
  }
};

TEST_F(MetadataPollTest, StationNameComesFromTheIcyBlockAndEndsThePoll) {
  setTags(StreamHandle, BASS_TAG_ICY, bytes("ICY 200 OK\0icy-name: Radio \xD0\xA0\xD0\xB0\0\0"));
  form->Timer1Timer(form->Timer1);
  EXPECT_EQ(form->Label1->text(), QStringLiteral(" Radio Ра"));
  EXPECT_FALSE(form->Timer1->isActive());
}

TEST_F(MetadataPollTest, IcyBlockWinsOverHttpAndABlockWithoutNameStillEndsThePoll) {
  setTags(StreamHandle, BASS_TAG_ICY, bytes("ICY 200 OK\0Icy-Name:Radio\0\0"));
  setTags(StreamHandle, BASS_TAG_HTTP, bytes("HTTP/1.0 200 OK\0icy-name:Other\0\0"));
  form->Timer1Timer(form->Timer1);
  EXPECT_EQ(form->Label1->text(), QStringLiteral("0")) << "the channel index stays";
  EXPECT_FALSE(form->Timer1->isActive());
}

TEST_F(MetadataPollTest, EmptyOrMissingBlockKeepsPolling) {
  setTags(StreamHandle, BASS_TAG_HTTP, bytes("\0"));
  form->Timer1Timer(form->Timer1);
  EXPECT_TRUE(form->Timer1->isActive());
  audio.tags.clear();
  form->Timer1Timer(form->Timer1);
  EXPECT_TRUE(form->Timer1->isActive());
  EXPECT_EQ(form->Label1->text(), QStringLiteral("0"));
}

TEST_F(MetadataPollTest, AacStationsShowTheirNameAndTitleToo) {
  setTags(AacStreamHandle, BASS_TAG_ICY, bytes("ICY 200 OK\0icy-name:AAC Radio\0\0"));
  setTags(AacStreamHandle, BASS_TAG_META, "StreamTitle='Aac Song';");
  form->Timer1Timer(form->Timer1);
  form->Timer3Timer(form->Timer3);
  EXPECT_EQ(form->Label1->text(), QStringLiteral("AAC Radio"));
  EXPECT_EQ(form->Label2->text(), QStringLiteral("Aac Song"));
}

TEST_F(MetadataPollTest, TitleFollowsEachTickAndAnEmptyTitleClearsIt) {
  setTags(StreamHandle, BASS_TAG_META, "StreamTitle='A & B <b>x</b>';StreamUrl='';");
  form->Timer3Timer(form->Timer3);
  EXPECT_EQ(form->Label2->text(), QStringLiteral("A & B <b>x</b>"));
  EXPECT_EQ(form->Label2->textFormat(), Qt::PlainText) << "titles are never markup";
  EXPECT_TRUE(form->Timer3->isActive());

  audio.tags.clear();
  form->Timer3Timer(form->Timer3);
  EXPECT_EQ(form->Label2->text(), QStringLiteral("A & B <b>x</b>"))
      << "no metadata keeps the caption";
  EXPECT_TRUE(form->Timer3->isActive());

  setTags(StreamHandle, BASS_TAG_META, "StreamTitle='';");
  form->Timer3Timer(form->Timer3);
  EXPECT_TRUE(form->Label2->text().isEmpty());

  setTags(StreamHandle, BASS_TAG_META, "StreamTitle='bad \xFF byte';");
  form->Timer3Timer(form->Timer3);
  EXPECT_EQ(form->Label2->text(), QStringLiteral("bad \uFFFD byte"));
}

TEST_F(MetadataPollTest, TimersPollOnTheirOwn) {
  setTags(StreamHandle, BASS_TAG_META, "StreamTitle='Live';");
  EXPECT_TRUE(waitUntil([&] { return form->Label2->text() == QStringLiteral("Live"); }, 2500));
}
