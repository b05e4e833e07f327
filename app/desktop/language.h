#pragma once
// The program's own texts (tray, bus errors, messages) in the user's language: English and
// Russian are built in. The window's designed texts are its own and never translated.

class QLocale;

namespace radiolist {

// Puts the translation for `locale` in place of the one before (English, the source language,
// when the locale's is not built in: it gives the plurals their forms). True when the locale's
// own language was found.
bool useLanguage(const QLocale& locale);

}  // namespace radiolist
