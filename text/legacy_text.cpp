#include "text/legacy_text.h"
#include "text/utf8.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace radiolist::text {
namespace {

using CodeTable = std::array<char16_t, 128>;  // bytes 0x80..0xFF

constexpr CodeTable kWindows1251 = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0xFFFD, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,  // C0
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,  // C8
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,  // D0
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,  // D8
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,  // E0
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,  // E8
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,  // F0
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,  // F8
};

constexpr CodeTable kWindows1252 = {
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD,  // 88
    0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178,  // 98
    0x00A0, 0x00A1, 0x00A2, 0x00A3, 0x00A4, 0x00A5, 0x00A6, 0x00A7,  // A0
    0x00A8, 0x00A9, 0x00AA, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x00AF,  // A8
    0x00B0, 0x00B1, 0x00B2, 0x00B3, 0x00B4, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x00B8, 0x00B9, 0x00BA, 0x00BB, 0x00BC, 0x00BD, 0x00BE, 0x00BF,  // B8
    0x00C0, 0x00C1, 0x00C2, 0x00C3, 0x00C4, 0x00C5, 0x00C6, 0x00C7,  // C0
    0x00C8, 0x00C9, 0x00CA, 0x00CB, 0x00CC, 0x00CD, 0x00CE, 0x00CF,  // C8
    0x00D0, 0x00D1, 0x00D2, 0x00D3, 0x00D4, 0x00D5, 0x00D6, 0x00D7,  // D0
    0x00D8, 0x00D9, 0x00DA, 0x00DB, 0x00DC, 0x00DD, 0x00DE, 0x00DF,  // D8
    0x00E0, 0x00E1, 0x00E2, 0x00E3, 0x00E4, 0x00E5, 0x00E6, 0x00E7,  // E0
    0x00E8, 0x00E9, 0x00EA, 0x00EB, 0x00EC, 0x00ED, 0x00EE, 0x00EF,  // E8
    0x00F0, 0x00F1, 0x00F2, 0x00F3, 0x00F4, 0x00F5, 0x00F6, 0x00F7,  // F0
    0x00F8, 0x00F9, 0x00FA, 0x00FB, 0x00FC, 0x00FD, 0x00FE, 0x00FF,  // F8
};

unsigned byteAt(std::string_view s, std::size_t i) { return static_cast<unsigned char>(s[i]); }

// One step of a UTF-8 scan at `i`: the length of the well-formed sequence there, or 0 when there
// is none. `cutAtEnd` tells that the bytes ran out inside a sequence that was well-formed so far.
struct Step {
  std::size_t length = 0;
  bool cutAtEnd = false;
};

Step utf8StepAt(std::string_view s, std::size_t i) {
  const unsigned lead = byteAt(s, i);
  if (lead < 0x80) return {1, false};
  std::size_t trail = 0;
  unsigned low = 0x80;  // the second byte's range narrows to keep out overlongs and surrogates
  unsigned high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    trail = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    trail = 2;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    trail = 3;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {0, false};
  }
  for (std::size_t k = 1; k <= trail; ++k) {
    if (i + k >= s.size()) return {0, true};
    const unsigned b = byteAt(s, i + k);
    if (b < low || b > high) return {0, false};
    low = 0x80;
    high = 0xBF;
  }
  return {trail + 1, false};
}

bool isAsciiLetter(unsigned b) { return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z'); }

// A letter in either page: 0xC0..0xFF are letters in both (but for two signs of Windows-1252),
// and the Cyrillic letters Windows-1251 keeps below 0xC0 (Ё, Ђ, Ї, Ў ...) must join their words.
bool isHighLetter(unsigned b) {
  if (b >= 0xC0) return true;
  if (b < 0x80) return false;
  const char16_t c = kWindows1251[b - 0x80];
  return c >= 0x0400 && c <= 0x04FF;
}

// One-letter words of Russian, Ukrainian or Bulgarian whose byte is no word of its own in a
// Western language: в, к, о, с, я and their capitals. ("а", "и", "у" are also à, è, ó.)
bool isCyrillicOnlyWord(unsigned b) {
  constexpr std::string_view kWords = "\xE2\xEA\xEE\xF1\xFF\xC2\xCA\xCE\xD1\xDF";
  return kWords.find(static_cast<char>(b)) != std::string_view::npos;
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const Step step = utf8StepAt(bytes, i);
    if (step.length == 0) return false;
    i += step.length;
  }
  return true;
}

LegacyPage guessLegacyPage(std::string_view bytes) {
  std::size_t cyrillic = 0;    // evidence for Windows-1251
  std::size_t western = 0;     // evidence for Windows-1252
  std::size_t ambiguous = 0;   // one-letter high words that read either way
  std::size_t latinWords = 0;  // words with ASCII letters in them
  for (std::size_t i = 0; i < bytes.size();) {
    const unsigned first = byteAt(bytes, i);
    if (!isAsciiLetter(first) && !isHighLetter(first)) {
      ++i;
      continue;
    }
    std::size_t ascii = 0;
    std::size_t high = 0;
    std::size_t wordCyrillic = 0;
    std::size_t wordWestern = 0;
    while (i < bytes.size()) {
      const unsigned b = byteAt(bytes, i);
      if (isAsciiLetter(b)) {
        ++ascii;
        ++i;
      } else if (isHighLetter(b)) {
        std::size_t run = 0;
        while (i < bytes.size() && isHighLetter(byteAt(bytes, i))) {
          ++run;
          ++i;
        }
        high += run;
        (run >= 3 ? wordCyrillic : wordWestern) += run;
      } else {
        break;
      }
    }
    if (ascii > 0) {
      ++latinWords;
      cyrillic += wordCyrillic;
      western += wordWestern;
    } else if (high >= 2) {
      cyrillic += high;
    } else if (isCyrillicOnlyWord(byteAt(bytes, i - 1))) {
      ++cyrillic;
    } else {
      ++ambiguous;
    }
  }
  if (cyrillic != western)
    return cyrillic > western ? LegacyPage::Windows1251 : LegacyPage::Windows1252;
  if (cyrillic == 0 && ambiguous > 0 && latinWords == 0) return LegacyPage::Windows1251;
  return LegacyPage::Windows1252;
}

std::string decodeLegacy(std::string_view bytes, LegacyPage page) {
  const CodeTable& table = page == LegacyPage::Windows1251 ? kWindows1251 : kWindows1252;
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const unsigned b = byteAt(bytes, i);
    if (b < 0x80)
      out.push_back(static_cast<char>(b));
    else
      utf8::appendCodePoint(out, table[b - 0x80]);
  }
  return out;
}

std::string legacyToUtf8(std::string_view bytes) {
  // One pass counts what a UTF-8 reading would keep and what it would break.
  std::size_t multiByte = 0;
  std::size_t broken = 0;
  std::size_t cutTail = bytes.size();
  for (std::size_t i = 0; i < bytes.size();) {
    const Step step = utf8StepAt(bytes, i);
    if (step.cutAtEnd) {
      cutTail = i;
      break;
    }
    if (step.length == 0) {
      ++broken;
      ++i;
    } else {
      if (step.length > 1) ++multiByte;
      i += step.length;
    }
  }
  if (broken == 0 && cutTail == bytes.size()) return std::string(bytes);
  // A lead byte with its first trail bytes, cut off by the end, is UTF-8 as much as a whole
  // sequence is; a lone lead byte at the end is as likely "é" in "Café".
  if (bytes.size() - cutTail >= 2) ++multiByte;

  // Legacy text almost never forms valid multi-byte sequences; UTF-8 with damage keeps most.
  if (multiByte > 0 && broken * 2 <= multiByte) {
    std::string out;
    out.reserve(cutTail + broken * 2);
    for (std::size_t i = 0; i < cutTail;) {
      const Step step = utf8StepAt(bytes.substr(0, cutTail), i);
      if (step.length == 0) {
        out += "\xEF\xBF\xBD";
        ++i;
      } else {
        out.append(bytes.substr(i, step.length));
        i += step.length;
      }
    }
    return out;
  }
  return decodeLegacy(bytes, guessLegacyPage(bytes));
}

}  // namespace radiolist::text
