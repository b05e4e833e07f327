#include "channels/ui/list_views.h"

#include <QFile>
#include <QListWidget>
#include <QStringList>
#include <cstring>

#include "app/unit1.h"
#include "app/vcl.h"
#include "channels/core/list_file.h"
#include "channels/core/utf8.h"

namespace radiolist {
namespace {

std::filesystem::path nativePath(const QString& path) { return QFile::encodeName(path).toStdString(); }

const CodePage& legacyPage() {
  static const CodePage page = CodePage::legacyDefault();
  return page;
}

std::u16string_view utf16(const QString& text) {
  return {reinterpret_cast<const char16_t*>(text.utf16()), static_cast<std::size_t>(text.size())};
}

}  // namespace

void loadListView(QListWidget* list, const QString& path) {
  const ListLines lines = loadListFile(nativePath(path), CodePage::system(), legacyPage());
  QStringList rows;
  rows.reserve(static_cast<qsizetype>(lines.size()));
  for (const std::u16string& line : lines) rows.append(QString::fromStdU16String(line));
  list->clear();
  list->addItems(rows);
  list->setCurrentRow(-1);
}

void saveListView(const QListWidget* list, const QString& path) {
  std::vector<std::u16string> lines;
  lines.reserve(static_cast<std::size_t>(list->count()));
  for (int row = 0; row < list->count(); ++row) lines.emplace_back(list->item(row)->text().toStdU16String());
  saveListFile(nativePath(path), lines, CodePage::system());
}

int countListLines(const QString& path) {
  return static_cast<int>(countListFile(nativePath(path), CodePage::system(), legacyPage()));
}

QString narrowToListCodePage(const QString& text) {
  const CodePage& page = CodePage::system();
  if (page.isUtf8()) return text;
  return QString::fromStdU16String(page.decode(page.encode(utf16(text))));
}

QString decodeUtf8Lossy(const char* bytes) {
  std::u16string text;
  utf8::append(std::string_view(bytes, std::strlen(bytes)), text);
  return QString::fromStdU16String(text);
}

}  // namespace radiolist

// The hidden button's click: loads the name list, then the address list.
void TForm1::SpeedButton1Click(QObject*) {
  radiolist::loadListView(ListBox1, radiolist::currentDir() + QStringLiteral("/Name.txt"));
  radiolist::loadListView(ListBox2, radiolist::currentDir() + QStringLiteral("/url.txt"));
}
