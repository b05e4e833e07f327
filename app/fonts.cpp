#include "app/fonts.h"

#include <QFontDatabase>
#include <QStringList>

namespace radiolist {

void ensureTahoma() {
  if (QFontDatabase::families().contains(QStringLiteral("Tahoma"), Qt::CaseInsensitive)) return;
  for (const char* file : {"/usr/share/wine/fonts/tahoma.ttf", "/usr/share/wine/fonts/tahomabd.ttf"})
    QFontDatabase::addApplicationFont(QString::fromLatin1(file));
}

}  // namespace radiolist
