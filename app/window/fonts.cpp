#include "app/window/fonts.h"

#include <QFontDatabase>
#include <QStringList>

namespace radiolist {

QString windowFontFamily() {
  static const QString family = [] {
    const QStringList known = QFontDatabase::families();
    for (const char* candidate : {"Tahoma", "DejaVu Sans Condensed"})
      if (known.contains(QLatin1String(candidate), Qt::CaseInsensitive))
        return QString::fromLatin1(candidate);
    return QStringLiteral("DejaVu Sans Condensed");  // fontconfig matches it by name even unlisted
  }();
  return family;
}

QFont windowFont(int pixelSize, bool bold) {
  QFont font(windowFontFamily());
  font.setPixelSize(pixelSize);
  font.setBold(bold);
  return font;
}

}  // namespace radiolist
