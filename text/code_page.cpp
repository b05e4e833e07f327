#include "text/code_page.h"

#include "text/utf8.h"

#include <bit>
#include <cerrno>
#include <clocale>
#include <cstring>
#include <iconv.h>
#include <langinfo.h>
#include <stdexcept>

namespace radiolist {

namespace {

constexpr char16_t kReplacement = u'\uFFFD';
const auto kIconvFailed = static_cast<std::size_t>(-1);

const char* nativeUtf16() {
  return std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";
}

// One conversion descriptor, owned. iconv descriptors carry shift state, so each conversion
// opens its own; glibc caches the modules, which keeps opening cheap.
class Converter {
 public:
  Converter(const std::string& to, const std::string& from)
      : cd_(iconv_open(to.c_str(), from.c_str())) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  [[nodiscard]] bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // One iconv() step over [in, in + inLeft) into [out, out + outLeft); returns errno, or 0.
  int step(const char*& in, std::size_t& inLeft, char*& out, std::size_t& outLeft) {
    char* input = const_cast<char*>(in);
    const std::size_t r = iconv(cd_, in ? &input : nullptr, in ? &inLeft : nullptr, &out, &outLeft);
    in = input;
    return r == kIconvFailed ? errno : 0;
  }

 private:
  iconv_t cd_;
};

// "utf-8", "UTF8", "ISO_8859-5" -> "UTF8", "UTF8", "ISO88595": names compared loosely, and
// independently of the locale (a Turkish one would not upper-case 'i' to 'I').
std::string squeezed(std::string_view name) {
  std::string out;
  for (const char c : name) {
    if (c == '-' || c == '_') continue;
    out.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
  }
  return out;
}

bool namesUtf8(std::string_view name) { return squeezed(name) == "UTF8"; }

// The C/POSIX locale reports plain ASCII; it stands for "no particular page", so UTF-8.
bool namesAscii(std::string_view name) {
  const std::string s = squeezed(name);
  return s == "ANSIX3.41968" || s == "ASCII" || s == "USASCII" || s == "646" || s == "ISO646US";
}

// Length in bytes of the character at the front of UTF-16 input (a surrogate pair is one).
std::size_t frontCharBytes(const char* in, std::size_t inLeft) {
  if (inLeft >= 4) {
    char16_t units[2];
    std::memcpy(units, in, sizeof units);
    if (units[0] >= 0xD800 && units[0] <= 0xDBFF && units[1] >= 0xDC00 && units[1] <= 0xDFFF)
      return 4;
  }
  return inLeft < 2 ? inLeft : 2;
}

// iconv's look-alikes come from the LC_CTYPE locale of the calling thread, so the same text
// would save differently under different locales (the C locale knows hardly any). Saves use
// the fuller tables of C.UTF-8 whatever the process locale is, while this scope lasts.
class TransliterationLocale {
 public:
  TransliterationLocale() {
    static const locale_t tables = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
    if (tables != locale_t{}) previous_ = uselocale(tables);
  }
  ~TransliterationLocale() {
    if (previous_ != locale_t{}) uselocale(previous_);
  }
  TransliterationLocale(const TransliterationLocale&) = delete;
  TransliterationLocale& operator=(const TransliterationLocale&) = delete;

 private:
  locale_t previous_{};
};

}  // namespace

const CodePage& CodePage::system() {
  static const CodePage page = [] {
    std::setlocale(LC_ALL, "");
    return forLocaleCodeset(nl_langinfo(CODESET));
  }();
  return page;
}

CodePage CodePage::forLocaleCodeset(std::string_view codeset) {
  if (codeset.empty() || namesAscii(codeset)) return utf8();
  try {
    return CodePage(std::string(codeset));
  } catch (const std::invalid_argument&) {
    return utf8();
  }
}

CodePage CodePage::utf8() { return CodePage("UTF-8"); }

CodePage CodePage::legacyDefault() { return CodePage("CP1251"); }

CodePage::CodePage(std::string name) : name_(std::move(name)), utf8_(namesUtf8(name_)) {
  if (utf8_) {
    name_ = "UTF-8";
    return;
  }
  if (name_.empty() || !Converter(name_ + "//TRANSLIT", nativeUtf16()).ok() ||
      !Converter(nativeUtf16(), name_).ok())
    throw std::invalid_argument("Unknown code page: " + name_);
}

std::string CodePage::encode(std::u16string_view text) const {
  std::string out;
  if (utf8_) {
    utf8::append(text, out);
    return out;
  }
  const TransliterationLocale lookAlikes;
  Converter cd(name_ + "//TRANSLIT", nativeUtf16());
  out.resize(text.size() + 16);
  std::size_t done = 0;
  const char* in = reinterpret_cast<const char*>(text.data());
  std::size_t inLeft = text.size() * sizeof(char16_t);
  const auto convert = [&](const char*& from, std::size_t& fromLeft) {
    char* outPtr = out.data() + done;
    std::size_t outLeft = out.size() - done;
    const int err = cd.step(from, fromLeft, outPtr, outLeft);
    done = static_cast<std::size_t>(outPtr - out.data());
    if (err == E2BIG || done == out.size()) out.resize(out.size() * 2);
    return err;
  };
  while (inLeft > 0) {
    const int err = convert(in, inLeft);
    if (err != 0 && err != E2BIG) {
      // EILSEQ: nothing looks like it; EINVAL: a lone surrogate at the very end.
      out[done++] = '?';
      const std::size_t skip = frontCharBytes(in, inLeft);
      in += skip;
      inLeft -= skip;
    }
  }
  // Stateful sets must end in their initial shift state.
  const char* none = nullptr;
  std::size_t noneLeft = 0;
  while (convert(none, noneLeft) == E2BIG) {
  }
  out.resize(done);
  return out;
}

std::u16string CodePage::decode(std::string_view bytes) const {
  std::u16string out;
  if (utf8_) {
    utf8::append(bytes, out);
    return out;
  }
  Converter cd(nativeUtf16(), name_);
  out.resize(bytes.size() + 8);
  std::size_t done = 0;  // UTF-16 units
  const char* in = bytes.data();
  std::size_t inLeft = bytes.size();
  while (inLeft > 0) {
    char* const start = reinterpret_cast<char*>(out.data());
    char* outPtr = start + done * sizeof(char16_t);
    std::size_t outLeft = (out.size() - done) * sizeof(char16_t);
    const int err = cd.step(in, inLeft, outPtr, outLeft);
    done = static_cast<std::size_t>(outPtr - start) / sizeof(char16_t);
    if (err == E2BIG) {
      out.resize(out.size() * 2);
    } else if (err != 0) {
      if (done == out.size()) out.resize(out.size() * 2);
      out[done++] = kReplacement;
      // EINVAL: an incomplete sequence that runs to the end, one replacement for all.
      const std::size_t skip = err == EINVAL ? inLeft : 1;
      in += skip;
      inLeft -= skip;
    }
  }
  out.resize(done);
  return out;
}

}  // namespace radiolist
