// The list file byte format: which encoding a file is read in, how text is cut into lines, and
// what a save writes. Inputs are literal bytes; expected lines are written out in full.

#include "channels/list_file.h"

#include <gtest/gtest.h>

#include <span>
#include <stdexcept>

using namespace std::literals;
using radiolist::CodePage;
using radiolist::ListLines;

namespace {

const CodePage& utf8Page() {
  static const CodePage page = CodePage::utf8();
  return page;
}

const CodePage& cp1251() {
  static const CodePage page{"CP1251"};
  return page;
}

const CodePage& koi8r() {
  static const CodePage page{"KOI8-R"};
  return page;
}

// Reads as the program does on a UTF-8 system with the usual fallback.
ListLines read(std::string_view bytes, const CodePage& ansi = utf8Page()) {
  return radiolist::decodeListBytes(bytes, ansi, cp1251());
}

struct LineCase {
  const char* what;
  std::string_view bytes;
  ListLines lines;
};

}  // namespace

TEST(ListLineRules, CutTextAsTheReadingRulesSay) {
  const LineCase cases[] = {
      {"empty text", ""sv, {}},
      {"a lone CR LF", "\r\n"sv, {u""}},
      {"two words, no final break", "one\r\ntwo"sv, {u"one", u"two"}},
      {"two words, final break", "one\r\ntwo\r\n"sv, {u"one", u"two"}},
      {"CR LF CR LF at the end", "one\r\n\r\n"sv, {u"one", u""}},
      {"lone LF breaks", "a\nb\nc\n"sv, {u"a", u"b", u"c"}},
      {"lone CR breaks", "a\rb\rc"sv, {u"a", u"b", u"c"}},
      {"LF CR starts an empty line", "a\n\rb"sv, {u"a", u"", u"b"}},
      {"CR CR LF", "a\r\r\nb"sv, {u"a", u"", u"b"}},
      {"mixed breaks", "a\r\nb\rc\nd"sv, {u"a", u"b", u"c", u"d"}},
      {"blanks and duplicates stay", "  x \r\n  x \r\n\t"sv, {u"  x ", u"  x ", u"\t"}},
      {"NUL inside a line", "ab\0cd\r\nef"sv, {u"ab"}},
      {"NUL after a break", "ab\r\n\0cd"sv, {u"ab"}},
      {"NUL first", "\0ab\r\n"sv, {}},
      {"NUL after a lone CR", "ab\r\0cd"sv, {u"ab"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(read(c.bytes), c.lines);
    EXPECT_EQ(radiolist::countListBytes(c.bytes, utf8Page(), cp1251()), c.lines.size());
  }
}

TEST(ListByteOrderMarks, ChooseTheEncodingBeforeTheAnsiPage) {
  const ListLines cyrillic{u"AП", u"B"};
  // Each with CP1251 as the ANSI page, which would read every one of them differently.
  EXPECT_EQ(read("\xFF\xFE"
                 "A\0\x1F\x04\r\0\n\0B\0"sv,
                 cp1251()),
            cyrillic);
  EXPECT_EQ(read("\xFE\xFF"
                 "\0A\x04\x1F\0\r\0\n\0B"sv,
                 cp1251()),
            cyrillic);
  EXPECT_EQ(read("\xEF\xBB\xBF"
                 "A\xD0\x9F\nB\r\n"sv,
                 cp1251()),
            cyrillic);
  EXPECT_EQ(read("\xEF\xBB\xBF"sv), ListLines{});
  EXPECT_EQ(read("\xFF\xFE"sv), ListLines{});
}

TEST(ListByteOrderMarks, Utf16OddLastByteIsIgnored) {
  EXPECT_EQ(read("\xFF\xFE"
                 "A\0B"sv),
            ListLines{u"A"});
  EXPECT_EQ(read("\xFE\xFF"
                 "\0A\0B\0"sv),
            (ListLines{u"AB"}));
}

TEST(ListByteOrderMarks, FfFe0000IsUtf16LittleEndianStartingWithNul) {
  // Read as UTF-32 it would be a mark followed by "A"; as UTF-16 the first unit is NUL.
  EXPECT_EQ(read("\xFF\xFE\0\0A\0\0\0"sv), ListLines{});
  EXPECT_EQ(radiolist::countListBytes("\xFF\xFE\0\0A\0\0\0"sv, utf8Page(), cp1251()), 0u);
}

TEST(ListByteOrderMarks, Utf16SurrogatesPassThrough) {
  EXPECT_EQ(read("\xFF\xFE"
                 "\x3D\xD8\x00\xDE\r\0\n\0"sv),
            ListLines{u"\U0001F600"});
}

TEST(ListByteOrderMarks, MalformedUtf8KeepsEveryLineWithReplacements) {
  // The bad bytes: FF (never valid), C0 80 (overlong, two bad bytes), E2 82 (cut short).
  const auto bytes =
      "\xEF\xBB\xBF"
      "ok\r\nbad\xFF\xC0\x80x\r\n\xE2\x82\r\nlast"sv;
  EXPECT_EQ(read(bytes), (ListLines{u"ok", u"bad\uFFFD\uFFFD\uFFFDx", u"\uFFFD", u"last"}));
  // Surrogates encoded in UTF-8 and values above U+10FFFF are malformed too.
  EXPECT_EQ(read("\xEF\xBB\xBF"
                 "\xED\xA0\x80|\xF4\x90\x80\x80|\xF0\x9F\x98\x80"sv),
            ListLines{u"\uFFFD\uFFFD\uFFFD|\uFFFD\uFFFD\uFFFD\uFFFD|\U0001F600"});
}

TEST(ListAnsiPage, Utf16WithoutMarkIsReadAsAnsiAndStopsAtFirstZero) {
  const auto bytes = "N\0a\0m\0e\0\r\0\n\0x\0"sv;
  EXPECT_EQ(read(bytes), ListLines{u"N"});
  EXPECT_EQ(read(bytes, cp1251()), ListLines{u"N"});
}

TEST(ListAnsiPage, SingleBytePagesDecodeTheirOwnLetters) {
  EXPECT_EQ(read("\xCF\xF0\xE8\r\nz\r\n"sv, cp1251()), (ListLines{u"При", u"z"}));
  EXPECT_EQ(read("\xF0\xD2\xC9\r\n"sv, koi8r()), ListLines{u"При"});
  // Valid UTF-8 under a CP1251 system is still CP1251 text: no guessing then.
  EXPECT_EQ(read("\xD0\x9F\r\n"sv, cp1251()), ListLines{u"Рџ"});
}

TEST(ListAnsiPage, InvalidUtf8WithoutMarkFallsBackToTheLegacyPage) {
  const auto legacy = "Radio \xCF\xF0\xE8\r\n"sv;  // CP1251 bytes, not UTF-8
  EXPECT_EQ(read(legacy), ListLines{u"Radio При"});
  // The fallback is whatever the caller passes.
  EXPECT_EQ(radiolist::decodeListBytes("\xF0\xD2\xC9\r\n"sv, utf8Page(), koi8r()),
            ListLines{u"При"});
  // Valid UTF-8 never takes the fallback.
  EXPECT_EQ(read("Radio \xD0\x9F\r\n"sv), ListLines{u"Radio П"});
  EXPECT_EQ(radiolist::countListBytes(legacy, utf8Page(), cp1251()), 1u);
}

TEST(ListWrittenFormat, EveryLineEndsWithCrLfAndThereIsNoMark) {
  EXPECT_EQ(radiolist::encodeListBytes(ListLines{}, utf8Page()), "");
  EXPECT_EQ(radiolist::encodeListBytes(ListLines{u""}, utf8Page()), "\r\n");
  EXPECT_EQ(radiolist::encodeListBytes(ListLines{u"a", u"", u"b "}, utf8Page()), "a\r\n\r\nb \r\n");
  EXPECT_EQ(radiolist::encodeListBytes(ListLines{u"П"}, utf8Page()), "\xD0\x9F\r\n");
  EXPECT_EQ(radiolist::encodeListBytes(ListLines{u"При"}, cp1251()), "\xCF\xF0\xE8\r\n");
}

TEST(ListWrittenFormat, CharactersOutsideThePageBecomeLookAlikesOrQuestionMarks) {
  // é has a look-alike, 中 none; the emoji is one character (two UTF-16 units), one '?'.
  EXPECT_EQ(radiolist::encodeListBytes(ListLines{u"é中\U0001F600€"}, cp1251()), "e??\x88\r\n");
  EXPECT_EQ(read(radiolist::encodeListBytes(ListLines{u"Café 中"}, cp1251()), cp1251()),
            ListLines{u"Cafe ?"});
  // A lone surrogate cannot be written in UTF-8.
  EXPECT_EQ(radiolist::encodeListBytes(ListLines{u"a\xD800"
                                                 u"b"},
                                       utf8Page()),
            "a\xEF\xBF\xBD"
            "b\r\n");
  EXPECT_EQ(radiolist::encodeListBytes(ListLines{u"a\xDC00"}, cp1251()), "a?\r\n");
}

TEST(ListWrittenFormat, LineBreaksInsideALineComeBackAsSeveralLines) {
  const auto bytes = radiolist::encodeListBytes(ListLines{u"a\r\nb", u"c\nd"}, utf8Page());
  EXPECT_EQ(read(bytes), (ListLines{u"a", u"b", u"c", u"d"}));
}

struct PageText {
  const char* page;
  std::u16string text;  // letters the page holds
};

class ListRoundTrip : public testing::TestWithParam<PageText> {};

TEST_P(ListRoundTrip, SaveThenLoadGivesTheSameLines) {
  const CodePage page{GetParam().page};
  const ListLines lines{GetParam().text, u"", u"  spaced  ", GetParam().text + u" 2", u"http://x/"};
  const std::string bytes = radiolist::encodeListBytes(lines, page);
  EXPECT_EQ(radiolist::decodeListBytes(bytes, page, cp1251()), lines);
  EXPECT_EQ(radiolist::countListBytes(bytes, page, cp1251()), lines.size());
}

INSTANTIATE_TEST_SUITE_P(EveryKindOfPage, ListRoundTrip,
                         testing::Values(PageText{"UTF-8", u"Радио Ёлка — 中文 \U0001F600"},
                                         PageText{"CP1251", u"Радио Ёлка — №1 €"},
                                         PageText{"KOI8-R", u"Радио Ёлка"},
                                         PageText{"ISO-8859-5", u"Радио Ёлка §"},
                                         PageText{"ISO-8859-1", u"Café Größe"},
                                         PageText{"EUC-JP", u"ラジオ 放送局"}),
                         [](const testing::TestParamInfo<PageText>& page) {
                           std::string name;
                           for (const char c : std::string_view(page.param.page))
                             name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           return name;
                         });

TEST(ListCodePage, ChoiceFromTheLocaleCodeset) {
  EXPECT_TRUE(CodePage::forLocaleCodeset("UTF-8").isUtf8());
  EXPECT_TRUE(CodePage::forLocaleCodeset("utf8").isUtf8());
  EXPECT_TRUE(CodePage::forLocaleCodeset("ANSI_X3.4-1968").isUtf8());  // C and POSIX
  EXPECT_TRUE(CodePage::forLocaleCodeset("").isUtf8());
  EXPECT_TRUE(CodePage::forLocaleCodeset("NO-SUCH-SET").isUtf8());
  EXPECT_EQ(CodePage::forLocaleCodeset("CP1251").name(), "CP1251");
  EXPECT_EQ(CodePage::forLocaleCodeset("KOI8-R").name(), "KOI8-R");
  EXPECT_FALSE(CodePage::forLocaleCodeset("ISO-8859-5").isUtf8());
  EXPECT_THROW(CodePage("NO-SUCH-SET"), std::invalid_argument);
  EXPECT_EQ(CodePage::legacyDefault().encode(u"Ж"), "\xC6");
}

TEST(ListCodePage, BytesThePageLacksReadAsReplacementCharacters) {
  EXPECT_EQ(cp1251().decode("\xCF\x98\xF0"), u"П\uFFFDр");  // 98 is unassigned in CP1251
  EXPECT_EQ(CodePage("EUC-JP").decode("a\xA5\xE9\xA5"), u"aラ\uFFFD");  // cut short
}

// The size a save will write is known without writing: it must agree with the bytes themselves,
// in UTF-8 (counted) and in another page (encoded), for every kind of character.
TEST(ListWrittenFormat, EncodedSizeIsTheSizeOfTheBytes) {
  const ListLines lines{u"",         u"ascii",       u"Радио",
                        u"中文 é",   u"\U0001F3B5",  std::u16string(1, u'\xD800'),
                        u"a\xDC00z", u"\u2028\u202E"};
  for (const CodePage* page : {&utf8Page(), &cp1251(), &koi8r()}) {
    for (std::size_t n = 0; n <= lines.size(); ++n) {
      const std::span<const std::u16string> some(lines.data(), n);
      EXPECT_EQ(radiolist::encodedListSize(some, *page),
                radiolist::encodeListBytes(some, *page).size())
          << page->name() << ", " << n << " lines";
    }
  }
}
