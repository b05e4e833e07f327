#include "app/window/handlers/list_views.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <cerrno>

#include "app/window/list_saver.h"
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

// How each list file's last read ended, by full path: errno 0 when it was read, ENOENT when it
// was missing, else why it could not be read (a list that was not read is never saved over: the
// window holds none of it). UI thread only.
QHash<QString, int>& lastReads() {
  static QHash<QString, int> reads;
  return reads;
}

QString key(const QString& path) { return QFileInfo(path).absoluteFilePath(); }

void noteRead(const QString& path, int error) { lastReads().insert(key(path), error); }

void noteFailedRead(const QString& path, const ListFileError& failure) {
  // A file that cannot be opened for another reason than its absence still holds a list.
  noteRead(path, failure.error() != 0 ? failure.error() : EIO);
}

}  // namespace

void loadListView(TListBox* list, const QString& path) {
  settleListSaves();
  try {
    list->rows().replace(loadListFile(nativePath(path), CodePage::system(), legacyPage()));
  } catch (const ListFileError& failure) {
    noteFailedRead(path, failure);
    throw;
  }
  noteRead(path, 0);
  setItemIndex(list, -1);
}

void saveListView(const TListBox* list, const QString& path) {
  settleListSaves();
  const QString refusal = saveRefusal(path);
  if (!refusal.isEmpty()) throw ListFileError(refusal.toStdString());
  saveListFile(nativePath(path), list->rows().lines(), CodePage::system());
}

int countListLines(const QString& path) {
  settleListSaves();
  try {
    return static_cast<int>(countListFile(nativePath(path), CodePage::system(), legacyPage()));
  } catch (const ListFileError& failure) {
    noteFailedRead(path, failure);
    throw;
  }
}

std::optional<Outcome> listRefusal(const QString& path, bool unreadUnknown) {
  const QString file = key(path);
  // The two files of a list pair by line: while either could not be read, saving the other would
  // make them part.
  const QString dir = QFileInfo(file).absolutePath();
  const auto unread = [&](const QString& other, int error) {
    return error != 0 && error != ENOENT && QFileInfo(other).absolutePath() == dir;
  };
  auto read = lastReads().constFind(file);  // the file's own reason first
  if (read == lastReads().constEnd() || !unread(read.key(), *read)) {
    read = lastReads().constBegin();
    while (read != lastReads().constEnd() && !unread(read.key(), *read)) ++read;
  }
  if (read != lastReads().constEnd()) {
    Outcome refusal =
        Outcome::file(Outcome::Code::ListUnread, file.toStdString(), files::Failure::system(*read));
    refusal.detail = read.key().toStdString();
    return refusal;
  }
  if (unreadUnknown && !lastReads().contains(file) && QFileInfo::exists(file))
    return Outcome::about(Outcome::Code::ListNotLoaded, file.toStdString());
  return std::nullopt;
}

QString saveRefusal(const QString& path) {
  const std::optional<Outcome> refusal = listRefusal(path, false);
  if (!refusal) return {};
  return QCoreApplication::translate(
             "radiolist",
             "Cannot create file \"%1\". \"%2\" could not be read (%3), so the list is kept as "
             "it is")
      .arg(QString::fromStdString(refusal->path), QString::fromStdString(refusal->detail),
           systemErrorText(refusal->failure.error));
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
