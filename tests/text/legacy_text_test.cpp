#include "text/legacy_text.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <string>

namespace radiolist::text {
namespace {

using namespace std::string_literals;

struct LegacyCase {
  const char* bytes;  // as the server sends it
  const char* utf8;   // as it must be shown
};

// Titles and station names as they come from stations in each page, written with the bytes
// escaped so that the source stays UTF-8.
const LegacyCase kCyrillicTitles[] = {
    {"\xCA\xE8\xED\xEE - \xC3\xF0\xF3\xEF\xEF\xE0 \xEA\xF0\xEE\xE2\xE8", "Кино - Группа крови"},
    {"\xC4\xC4\xD2 - \xD7\xF2\xEE \xF2\xE0\xEA\xEE\xE5 \xEE\xF1\xE5\xED\xFC",
     "ДДТ - Что такое осень"},
    {"\xC7\xE5\xEC\xF4\xE8\xF0\xE0 - \xD5\xEE\xF7\xE5\xF8\xFC?", "Земфира - Хочешь?"},
    {"\xC0\xF0\xE8\xFF", "Ария"},
    {"\xCE\xEA\xE5\xE0\xED \xC5\xEB\xFC\xE7\xE8 - \xCE\xE1\xB3\xE9\xEC\xE8",
     "Океан Ельзи - Обійми"},
    {"\xD1\xEA\xF0\xFF\xE1\xB3\xED - \xCB\xFE\xE4\xE8 \xFF\xEA \xEA\xEE\xF0\xE0\xE1\xEB\xB3",
     "Скрябін - Люди як кораблі"},
    {"\xD1\xEB\xE0\xE2\xE0 \xC2\xE0\xEA\xE0\xF0\xF7\xF3\xEA - \xAF\xE6\xE0\xEA",
     "Слава Вакарчук - Їжак"},
    {"\xC4\xE6\xE0\xEC\xE0\xEB\xE0 - \xD1\xF2\xE5\xF4\xE0\xED\xB3\xFF", "Джамала - Стефанія"},
    {"\xCB\xE8\xEB\xE8 \xC8\xE2\xE0\xED\xEE\xE2\xE0 - \xCA\xE0\xEC\xE8\xED\xEE",
     "Лили Иванова - Камино"},
    {"\xD9\xF3\xF0\xF6\xE8\xF2\xE5 - \xCA\xEB\xE5\xF2\xED\xE8\xEA", "Щурците - Клетник"},
    {"\x80\xEE\xF0\x90\xE5 \xC1\xE0\xEB\xE0\xF8\xE5\xE2\xE8\x9E - \xCD\xE5 "
     "\xEB\xEE\xEC\xE8\xF2\xE5 \xEC\xE8 \xE1\xE0\xE3\xF0\xE5\x9C\xE5",
     "Ђорђе Балашевић - Не ломите ми багрење"},
    {"\xC1\xF0\xE5\xE3\xEE\xE2\xE8\x9E - \x80\xF3\xF0\x90\xE5\xE2\xE4\xE0\xED",
     "Бреговић - Ђурђевдан"},
    {"Artist - \xCD\xE0\xE7\xE2\xE0\xED\xE8\xE5", "Artist - Название"},
    {"DJ Smash - \xDF", "DJ Smash - Я"},
    {"Metallica - \xCD\xE5\xF7\xF2\xEE", "Metallica - Нечто"},
    {"Queen - \xC1\xEE\xE3\xE5\xEC\xF1\xEA\xE0\xFF \xF0\xE0\xEF\xF1\xEE\xE4\xE8\xFF",
     "Queen - Богемская рапсодия"},
    {"t.A.T.u. - \xDF \xF1\xEE\xF8\xEB\xE0 \xF1 \xF3\xEC\xE0", "t.A.T.u. - Я сошла с ума"},
    {"\xDF", "Я"},
    {"\xD2\xFB", "Ты"},
    {"\xDD\xF5\xEE", "Эхо"},
    {"\xD1\xEE\xED", "Сон"},
    {"\xA8\xE6", "Ёж"},
    {"\xD2\xFB \xE8 \xFF", "Ты и я"},
    {"\xCA\xC8\xCD\xCE - \xCF\xC0\xD7\xCA\xC0 \xD1\xC8\xC3\xC0\xD0\xC5\xD2",
     "КИНО - ПАЧКА СИГАРЕТ"},
    {"\xC1\xE8-2 \x96 \xAB\xCF\xEE\xEB\xEA\xEE\xE2\xED\xE8\xEA\xF3 \xED\xE8\xEA\xF2\xEE \xED\xE5 "
     "\xEF\xE8\xF8\xE5\xF2\xBB",
     "Би-2 – «Полковнику никто не пишет»"},
    {"\xD0\xF3\xEA\xE8 \xC2\xE2\xE5\xF0\xF5! - 18 \xEC\xED\xE5 \xF3\xE6\xE5",
     "Руки Вверх! - 18 мне уже"},
    {"Radio Record - \xD1\xF3\xEF\xE5\xF0\xE4\xE8\xF1\xEA\xEE\xF2\xE5\xEA\xE0 90-\xF5",
     "Radio Record - Супердискотека 90-х"},
    {"\xCB\xE5\xED\xE8\xED\xE3\xF0\xE0\xE4 \x97 WWW", "Ленинград — WWW"},
    {"Verka Serduchka - \xC4\xEE\xEB\xFC\xF7\xE5 \xC3\xE0\xE1\xE1\xE0\xED\xE0",
     "Verka Serduchka - Дольче Габбана"},
    // Harder ones: Latin letters inside, signs, Macedonian letters below 0xC0, all capitals.
    {"\xC2\xC8\xC0 \xC3\xF0\xE0 - \xCF\xEE\xEF\xFB\xF2\xEA\xE0 \xB9"
     "5",
     "ВИА Гра - Попытка №5"},
    {"\xC3\xEB\xFE\xEA'oZa - \xD8\xE2\xE5\xE9\xF6\xE0\xF0\xE8\xFF", "Глюк'oZa - Швейцария"},
    {"\xD1\xE5\xF0\xE5\xE1\xF0\xEE - Mi Mi Mi", "Серебро - Mi Mi Mi"},
    {"Noize MC - \xC2\xF1\xE5\xEB\xE5\xED\xED\xE0\xFF \xE1\xE5\xF1\xEA\xEE\xED\xE5\xF7\xED\xE0?",
     "Noize MC - Вселенная бесконечна?"},
    {"\xD6\xE5\xF6\xE0 - \xCA\xF3\xEA\xE0\xE2\xE8\xF6\xE0", "Цеца - Кукавица"},
    {"\xD2\xEE\xF8\xE5 \xCF\xF0\xEE\xE5\xF1\xEA\xE8 - \x81\xF3\xF0\x83\xE5\xE2\xE4\xE0\xED",
     "Тоше Проески - Ѓурѓевдан"},
    {"\xCB\xFF\xEF\xE8\xF1 \xD2\xF0\xF3\xE1\xE5\xF6\xEA\xEE\xE9 - \xC2\xEE\xE8\xED\xFB "
     "\xF1\xE2\xE5\xF2\xE0",
     "Ляпис Трубецкой - Воины света"},
    {"\xCB\xD1\xCF", "ЛСП"},
    {"\xC0\xE7\xE8\xF1 - \xCC\xF0\xE0\xE7\xE8\xF8", "Азис - Мразиш"},
};
const LegacyCase kWesternTitles[] = {
    {"Caf\xE9", "Café"},
    {"Mot\xF6rhead - Ace of Spades", "Motörhead - Ace of Spades"},
    {"Sigur R\xF3s - Hopp\xEDpolla", "Sigur Rós - Hoppípolla"},
    {"Beyonc\xE9 - D\xE9j\xE0 Vu", "Beyoncé - Déjà Vu"},
    {"Bj\xF6rk - J\xF3ga", "Björk - Jóga"},
    {"M\xF6tley Cr\xFC"
     "e - Kickstart My Heart",
     "Mötley Crüe - Kickstart My Heart"},
    {"\xC9"
     "dith Piaf - Non, je ne regrette rien",
     "Édith Piaf - Non, je ne regrette rien"},
    {"Fran\xE7oise Hardy - Tous les gar\xE7ons et les filles",
     "Françoise Hardy - Tous les garçons et les filles"},
    {"Die \xC4rzte - Schrei nach Liebe", "Die Ärzte - Schrei nach Liebe"},
    {"Herbert Gr\xF6nemeyer - M\xE4nner", "Herbert Grönemeyer - Männer"},
    {"Man\xE1 - Rayando el sol", "Maná - Rayando el sol"},
    {"Shakira - Ojos as\xED", "Shakira - Ojos así"},
    {"Ana Bel\xE9n - \xBFY qui\xE9n sabe?", "Ana Belén - ¿Y quién sabe?"},
    {"R\xF6yksopp - Eple", "Röyksopp - Eple"},
    {"Kent - 747 (16 \xE5r senare)", "Kent - 747 (16 år senare)"},
    {"\xD3lafur Arnalds - \xDE\xFA ert s\xF3lin", "Ólafur Arnalds - Þú ert sólin"},
    {"Christophe Ma\xE9 - Il est o\xF9 le bonheur", "Christophe Maé - Il est où le bonheur"},
    {"Joe Dassin - \xC0 toi", "Joe Dassin - À toi"},
    {"Indila - Derni\xE8re danse", "Indila - Dernière danse"},
    {"Myl\xE8ne Farmer - D\xE9senchant\xE9"
     "e",
     "Mylène Farmer - Désenchantée"},
    {"Roberto Carlos - Cora\xE7\xE3o", "Roberto Carlos - Coração"},
    {"Ti\xEBsto - Adagio for Strings", "Tiësto - Adagio for Strings"},
    {"Queen - Don\x92t Stop Me Now", "Queen - Don’t Stop Me Now"},
    {"Je t'aime \xE0 la folie", "Je t'aime à la folie"},
    {"\xC7"
     "a",
     "Ça"},
    {"Se\xF1or", "Señor"},
    {"No\xEBl", "Noël"},
    {"\xDC"
     "ber",
     "Über"},
    {"MOT\xD6RHEAD", "MOTÖRHEAD"},
    {"BJ\xD6RK - J\xD3GA", "BJÖRK - JÓGA"},
    {"Die Stra\xDF"
     "e \x96 Gr\xF6\xDF"
     "e",
     "Die Straße – Größe"},
    {"Caetano Veloso - N\xE3o Enche", "Caetano Veloso - Não Enche"},
    {"\xC5sa Jinder - V\xE4lkommen", "Åsa Jinder - Välkommen"},
    {"M\xF8 - Final Song", "Mø - Final Song"},
    {"Lucio Dalla - Caruso \xE8", "Lucio Dalla - Caruso è"},
    // Harder ones: one-letter words, Œ and ´ and ¿, accents in pairs, all capitals.
    {"\xC0 la claire fontaine", "À la claire fontaine"},
    {"\x8Cuvre compl\xE8te", "Œuvre complète"},
    {"\xC7"
     "a va ? O\xF9 \xEAtes-vous ?",
     "Ça va ? Où êtes-vous ?"},
    {"Irm\xE3os - Cora\xE7\xF5"
     "es",
     "Irmãos - Corações"},
    {"\xC9 o Tchan", "É o Tchan"},
    {"Don\xB4t Stop", "Don´t Stop"},
    {"\xBF Qu\xE9 pasa ?", "¿ Qué pasa ?"},
    {"H\xE4\xE4y\xF6", "Hääyö"},
    {"GR\xD6\xDF"
     "E",
     "GRÖßE"},
    {"\xD1u - Fuego", "Ñu - Fuego"},
};

TEST(LegacyToUtf8, CyrillicTitlesReadAsWindows1251) {
  for (const auto& c : kCyrillicTitles) {
    EXPECT_EQ(guessLegacyPage(c.bytes), LegacyPage::Windows1251) << c.utf8;
    EXPECT_EQ(legacyToUtf8(c.bytes), c.utf8);
  }
}

TEST(LegacyToUtf8, WesternTitlesReadAsWindows1252) {
  for (const auto& c : kWesternTitles) {
    EXPECT_EQ(guessLegacyPage(c.bytes), LegacyPage::Windows1252) << c.utf8;
    EXPECT_EQ(legacyToUtf8(c.bytes), c.utf8);
  }
}

TEST(LegacyToUtf8, TextWithoutLettersAboveAsciiReadsAsWindows1252) {
  // Dashes, quotes and signs are the same in both pages; nothing points to Cyrillic.
  EXPECT_EQ(legacyToUtf8("Artist \x96 Title \x85 \xA9 2001"), "Artist – Title … © 2001");
  EXPECT_EQ(legacyToUtf8("\x93Hit\x94 \xB0"), "“Hit” °");
}

TEST(LegacyToUtf8, ValidUtf8IsKeptAsItIs) {
  for (const std::string& s :
       {""s, "Plain ASCII - Title"s, "Кино - Группа крови"s, "Beyoncé - Déjà Vu"s,
        "日本語のタイトル"s, "Emoji \xF0\x9F\x8E\xB5 note"s, "nul\0inside"s, "\x7F\x01\x1F"s}) {
    EXPECT_TRUE(isValidUtf8(s)) << s;
    EXPECT_EQ(legacyToUtf8(s), s);
  }
}

TEST(LegacyToUtf8, Utf8CutOrDamagedByTheServerStaysUtf8) {
  // A title cut inside its last letter: the letter goes, the rest stays readable.
  EXPECT_EQ(legacyToUtf8("Кино - Группа кров\xD0"s), "Кино - Группа кров");
  EXPECT_EQ(legacyToUtf8("Emoji \xF0\x9F\x8E"s), "Emoji ");
  // A stray byte among many good sequences becomes U+FFFD.
  EXPECT_EQ(legacyToUtf8("Кино\xFF - Группа"s), "Кино\xEF\xBF\xBD - Группа");
  // One good sequence among many bad bytes is chance: the text is legacy.
  EXPECT_EQ(legacyToUtf8("\xC4\xC4\xD2\xBB \xEF\xE5\xF1\xED\xFF"s), "ДДТ» песня");
}

TEST(LegacyToUtf8, OutputIsValidUtf8ForEveryByte) {
  for (int b = 0; b < 256; ++b) {
    const std::string one(1, static_cast<char>(b));
    EXPECT_TRUE(isValidUtf8(legacyToUtf8(one))) << b;
    EXPECT_TRUE(isValidUtf8(legacyToUtf8("ab" + one + "cd"))) << b;
  }
}

TEST(IsValidUtf8, RefusesOverlongsSurrogatesAndOutOfRange) {
  for (const std::string& s :
       {"\xC0\x80"s, "\xC1\xBF"s, "\xE0\x80\x80"s, "\xE0\x9F\xBF"s, "\xED\xA0\x80"s,
        "\xED\xBF\xBF"s, "\xF0\x80\x80\x80"s, "\xF0\x8F\xBF\xBF"s, "\xF4\x90\x80\x80"s,
        "\xF5\x80\x80\x80"s, "\xFF"s, "\x80"s, "\xC3"s, "\xE2\x82"s, "a\xC3(b"s}) {
    EXPECT_FALSE(isValidUtf8(s)) << testing::PrintToString(s);
  }
  for (const std::string& s :
       {"\xC2\x80"s, "\xDF\xBF"s, "\xE0\xA0\x80"s, "\xED\x9F\xBF"s, "\xEE\x80\x80"s,
        "\xEF\xBF\xBF"s, "\xF0\x90\x80\x80"s, "\xF4\x8F\xBF\xBF"s}) {
    EXPECT_TRUE(isValidUtf8(s)) << testing::PrintToString(s);
  }
}

// glibc's iconv as an independent table: every byte either page defines must match.
std::string iconvToUtf8(const char* page, std::string in) {
  iconv_t cd = iconv_open("UTF-8", page);
  if (cd == reinterpret_cast<iconv_t>(-1)) return "(no " + std::string(page) + ")";
  std::string out(16, '\0');
  char* inPtr = in.data();
  std::size_t inLeft = in.size();
  char* outPtr = out.data();
  std::size_t outLeft = out.size();
  const std::size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
  iconv_close(cd);
  if (rc == static_cast<std::size_t>(-1)) return "\xEF\xBF\xBD";  // not defined in this page
  out.resize(out.size() - outLeft);
  return out;
}

TEST(DecodeLegacy, BothTablesMatchTheSystemsConverterOnAllHighBytes) {
  for (int b = 0x80; b <= 0xFF; ++b) {
    const std::string one(1, static_cast<char>(b));
    EXPECT_EQ(decodeLegacy(one, LegacyPage::Windows1251), iconvToUtf8("CP1251", one))
        << std::hex << b;
    EXPECT_EQ(decodeLegacy(one, LegacyPage::Windows1252), iconvToUtf8("CP1252", one))
        << std::hex << b;
  }
  EXPECT_EQ(decodeLegacy("\xC0\xFF\xA8\xB8\xB9\x80\x88", LegacyPage::Windows1251), "АяЁё№Ђ€");
  EXPECT_EQ(decodeLegacy("\x80\x9F\xE9\x8A\x9A\x81", LegacyPage::Windows1252), "€ŸéŠš\xEF\xBF\xBD");
  EXPECT_EQ(decodeLegacy("ASCII stays\t\r\n", LegacyPage::Windows1251), "ASCII stays\t\r\n");
}

}  // namespace
}  // namespace radiolist::text
