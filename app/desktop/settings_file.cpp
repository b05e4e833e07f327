#include "app/desktop/settings_file.h"

#include <QFile>
#include <QStandardPaths>
#include <cerrno>
#include <cstring>

#include "app/desktop/regular_file.h"
#include "playback/engine/state_file.h"
#include "playback/log/log.h"
#include "playback/log/thread_name.h"

namespace radiolist {

namespace {

constexpr qsizetype kMaxLine = 1024;

// The file's bytes; nothing when it is missing, and the reason is logged when it is there but
// cannot be used (a pipe there is not waited on).
QByteArray readSettings(const QString& path) {
  RegularFileRead file = readRegularFile(path, SettingsFile::kMaxBytes);
  if (!file.reason.isEmpty() && file.error != ENOENT)
    log::warning(log::Domain::Desktop, "settings not read from ", path.toStdString(), ": ",
                 file.reason.toStdString());
  return std::move(file.bytes);
}

}  // namespace

SettingsFile::SettingsFile(QString path)
    : path_(std::move(path)), values_(parse(readSettings(path_))) {
  writer_.setMaxThreadCount(1);
}

SettingsFile::~SettingsFile() { writer_.waitForDone(); }

QString SettingsFile::defaultPath() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
         QStringLiteral("/radiolist/settings");
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
    // By the state files' rule: a link or pipe at the path is refused, not replaced.
    const std::string why = state::replaceStateFile(
        QFile::encodeName(path).toStdString(), std::string_view(bytes.constData(), bytes.size()));
    if (!why.empty())
      log::warning(log::Domain::Desktop, "settings not written to ", path.toStdString(), ": ", why);
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
