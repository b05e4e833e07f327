#include "app/desktop/language.h"

#include <QCoreApplication>
#include <QLocale>
#include <QTranslator>

namespace radiolist {

bool useLanguage(const QLocale& locale) {
  static QTranslator translation;  // one for the program's life: installed, it must outlive use
  QCoreApplication::removeTranslator(&translation);
  const bool found = translation.load(locale, QStringLiteral("radiolist"), QStringLiteral("_"),
                                      QStringLiteral(":/i18n"));
  if (found || translation.load(QStringLiteral(":/i18n/radiolist_en.qm")))
    QCoreApplication::installTranslator(&translation);
  return found;
}

}  // namespace radiolist
