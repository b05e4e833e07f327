#include "app/window/handlers/list_views.h"

#include <QFile>

#include "app/window/unit1.h"
#include "app/window/vcl.h"
#include "channels/list_file.h"
#include "text/utf8.h"

namespace radiolist {
namespace {

std::filesystem::path nativePath(const QString& path) {
  return QFile::encodeName(path).toStdString();
}

const CodePage& legacyPage() {
  static const CodePage page = CodePage::legacyDefault();
  return page;
}

std::u16string_view utf16(const QString& text) {
  return {reinterpret_cast<const char16_t*>(text.utf16()), static_cast<std::size_t>(text.size())};
}

}  // namespace

void loadListView(TListBox* list, const QString& path) {
  list->rows().replace(loadListFile(nativePath(path), CodePage::system(), legacyPage()));
  setItemIndex(list, -1);
}

void saveListView(const TListBox* list, const QString& path) {
  saveListFile(nativePath(path), list->rows().lines(), CodePage::system());
}

int countListLines(const QString& path) {
  return static_cast<int>(countListFile(nativePath(path), CodePage::system(), legacyPage()));
}

QString narrowToListCodePage(const QString& text) {
  const CodePage& page = CodePage::system();
  if (page.isUtf8()) return text;
  return QString::fromStdU16String(page.decode(page.encode(utf16(text))));
}

}  // namespace radiolist

// The hidden button's click: loads the name list, then the address list.
void TForm1::SpeedButton1Click(QObject*) {
  radiolist::loadListView(ListBox1, radiolist::currentDir() + QStringLiteral("/Name.txt"));
  radiolist::loadListView(ListBox2, radiolist::currentDir() + QStringLiteral("/url.txt"));
}
