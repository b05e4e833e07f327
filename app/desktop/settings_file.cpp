#include "app/desktop/settings_file.h"

#include <QFile>

#include "app/log_domain.h"
#include "files/file.h"
#include "playback/log/log.h"
#include "playback/log/thread_name.h"

namespace radiolist {

namespace {

constexpr qsizetype kMaxLine = 1024;

// The file's bytes; nothing when it is missing, and the reason is logged when it is there but
// cannot be used (a pipe there is not waited on). A link is followed: users link their dotfiles.
QByteArray readSettings(const QString& path) {
  const files::Read file = files::readFile(QFile::encodeName(path).toStdString(),
                                           SettingsFile::kMaxBytes, files::Links::Follow);
  if (file.failure.failed() && !file.failure.missing())
    log::warning(kDesktopLog, "settings not read from ", path.toStdString(), ": ",
                 files::describe(file.failure));
  return QByteArray::fromStdString(file.bytes);
}

}  // namespace

SettingsFile::SettingsFile(QString path)
    : path_(std::move(path)), values_(parse(readSettings(path_))) {
  writer_.setMaxThreadCount(1);
}

SettingsFile::~SettingsFile() { writer_.waitForDone(); }

QString SettingsFile::defaultPath() {
  const std::string& dir = files::configDirectory();
  return dir.empty() ? QString() : QFile::decodeName(QByteArray::fromStdString(dir + "/settings"));
}

bool SettingsFile::flag(const QString& key, bool otherwise) const {
  const QString value = values_.value(key);
  if (value == QLatin1String("on")) return true;
  if (value == QLatin1String("off")) return false;
  return otherwise;
}

void SettingsFile::setFlag(const QString& key, bool on) {
  values_.insert(key, on ? QStringLiteral("on") : QStringLiteral("off"));
  writer_.start([path = path_, bytes = format(values_)] {
    log::nameThisThread("rl-settings");
    // A link or pipe at the path is refused, not replaced: never written through.
    const std::string native = QFile::encodeName(path).toStdString();
    files::makeParents(native);
    const files::Failure failed = files::replace(
        native, std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    if (failed.failed())
      log::warning(kDesktopLog, "settings not written to ", path.toStdString(), ": ",
                   files::describe(failed));
  });
}

QMap<QString, QString> SettingsFile::parse(const QByteArray& bytes) {
  QMap<QString, QString> values;
  for (const QByteArray& line : bytes.split('\n')) {
    const qsizetype equals = line.indexOf('=');
    if (equals <= 0 || line.size() > kMaxLine) continue;
    values.insert(QString::fromUtf8(line.left(equals)).trimmed(),
                  QString::fromUtf8(line.mid(equals + 1)).trimmed());
  }
  return values;
}

QByteArray SettingsFile::format(const QMap<QString, QString>& values) {
  QByteArray bytes;
  for (auto it = values.begin(); it != values.end(); ++it)
    bytes += it.key().toUtf8() + '=' + it.value().toUtf8() + '\n';
  return bytes;
}

}  // namespace radiolist
