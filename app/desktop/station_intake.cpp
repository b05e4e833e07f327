#include "app/desktop/station_intake.h"

#include <sys/stat.h>

#include <QCoreApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QMimeData>
#include <QSaveFile>
#include <QUrl>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "app/desktop/regular_file.h"
#include "playback/formats/stations.h"
#include "playback/log/log.h"
#include "playback/log/thread_name.h"

namespace radiolist {

namespace {

QString cannotOpen(const QString& path, const QString& why) {
  return StationIntake::tr("Cannot open file \"%1\". %2").arg(path, why);
}

bool isWebAddress(const QString& item) {
  return item.startsWith(QLatin1String("http://"), Qt::CaseInsensitive) ||
         item.startsWith(QLatin1String("https://"), Qt::CaseInsensitive);
}

// The items a drop carries: local files as paths, other URLs as they are, else the text's lines.
QStringList dropItems(const QMimeData& data) {
  QStringList items;
  if (data.hasUrls()) {
    for (const QUrl& url : data.urls())
      items << (url.isLocalFile() ? url.toLocalFile() : url.toString(QUrl::FullyEncoded));
  } else if (data.hasText()) {
    for (const QString& line : data.text().split(u'\n', Qt::SkipEmptyParts))
      if (const QString item = line.trimmed(); !item.isEmpty() && !item.startsWith(u'#'))
        items << item;
  }
  return items;
}

}  // namespace

GatheredStations gatherStations(const QStringList& items) {
  std::vector<formats::Station> found;
  std::size_t bytesRead = 0;
  const auto take = [&](const formats::StationsFound& stations) {
    for (const formats::Station& station : stations.stations) {
      if (found.size() >= formats::kMaxImportStations) break;
      found.push_back(station);
    }
  };
  for (const QString& raw : items) {
    const QString item = raw.trimmed();
    if (item.isEmpty()) continue;
    if (isWebAddress(item)) {
      const formats::StationsFound stations = formats::stationsInText(item.toStdString());
      if (stations.stations.empty())
        return {{}, StationIntake::tr("\"%1\" is not an address that can be played").arg(item)};
      take(stations);
      continue;
    }
    QString path = item;
    if (item.startsWith(QLatin1String("file:"), Qt::CaseInsensitive)) {
      path = QUrl(item).toLocalFile();
    } else if (item.contains(QLatin1String("://"))) {
      return {{}, StationIntake::tr("\"%1\" is not an address that can be played").arg(item)};
    }
    if (path.isEmpty()) return {{}, StationIntake::tr("\"%1\" is not a file").arg(item)};
    path = QDir::current().absoluteFilePath(path);
    const RegularFileRead file =
        readRegularFile(path, static_cast<qint64>(formats::kMaxImportBytes - bytesRead));
    if (!file.reason.isEmpty()) return {{}, cannotOpen(path, file.reason)};
    const std::string bytes = file.bytes.toStdString();
    bytesRead += bytes.size();
    const QByteArray base = QUrl::fromLocalFile(path).toEncoded();
    const formats::StationsFound stations = formats::stationsInFile(
        bytes, QFileInfo(path).fileName().toStdString(), base.toStdString());
    if (stations.source == formats::StationSource::Hls)
      return {{},
              StationIntake::tr("\"%1\" is an HLS playlist: add its address instead").arg(path)};
    if (stations.stations.empty())
      return {{}, StationIntake::tr("\"%1\" holds no station addresses").arg(path)};
    take(stations);
  }
  GatheredStations gathered;
  gathered.stations.reserve(static_cast<qsizetype>(found.size()));
  for (const formats::Station& station : found) {
    const std::string name =
        station.name.empty() ? formats::nameFromAddress(station.url) : station.name;
    gathered.stations.push_back(
        {QString::fromStdString(name), QString::fromStdString(station.url)});
  }
  return gathered;
}

QString exportStations(const QString& path, const QList<ListedStation>& stations) {
  std::vector<formats::Station> list;
  list.reserve(static_cast<std::size_t>(stations.size()));
  for (const ListedStation& s : stations)
    list.push_back({s.name.toStdString(), s.address.toStdString()});
  const std::string bytes = formats::extendedM3u(list);

  const QString target = QDir::current().absoluteFilePath(path);
  const auto cannotWrite = [&](const QString& why) {
    return StationIntake::tr("Cannot create file \"%1\". %2").arg(target, why);
  };
  struct stat st {};
  if (::stat(QFile::encodeName(target).constData(), &st) == 0 && !S_ISREG(st.st_mode))
    return cannotWrite(S_ISDIR(st.st_mode) ? systemError(EISDIR)
                                           : StationIntake::tr("It is not a regular file"));
  QSaveFile file(target);  // a file beside it, synced and renamed over it on commit
  if (!file.open(QIODevice::WriteOnly) ||
      file.write(bytes.data(), static_cast<qint64>(bytes.size())) !=
          static_cast<qint64>(bytes.size()) ||
      !file.commit())
    return cannotWrite(file.errorString());
  return {};
}

StationIntake::StationIntake(WindowControl window) : window_(window) {
  disk_.setMaxThreadCount(1);
  window_.acceptDrops(this);
}

StationIntake::~StationIntake() { disk_.waitForDone(); }

void StationIntake::add(QStringList items, std::function<void(const StationsAdded&)> done) {
  disk_.start([this, items = std::move(items), done = std::move(done)]() mutable {
    log::nameThisThread("rl-intake");
    GatheredStations gathered = gatherStations(items);
    QMetaObject::invokeMethod(this, [this, gathered = std::move(gathered), done = std::move(done)] {
      StationsAdded result{0, gathered.error};
      if (result.error.isEmpty()) result = window_.addStations(gathered.stations);
      if (!result.error.isEmpty())
        log::warning(log::Domain::Desktop, "stations not added: ", result.error.toStdString());
      done(result);
    });
  });
}

void StationIntake::exportTo(QString path, std::function<void(const QString&)> done) {
  disk_.start(
      [this, path = std::move(path), stations = window_.stations(), done = std::move(done)] {
        log::nameThisThread("rl-intake");
        QString error = exportStations(path, stations);
        QMetaObject::invokeMethod(this, [error = std::move(error), done] { done(error); });
      });
}

bool StationIntake::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
      auto* drag = static_cast<QDragMoveEvent*>(event);
      if (drag->mimeData()->hasUrls() || drag->mimeData()->hasText()) {
        drag->acceptProposedAction();
        return true;
      }
      break;
    }
    case QEvent::Drop: {
      auto* drop = static_cast<QDropEvent*>(event);
      const QStringList items = dropItems(*drop->mimeData());
      if (items.isEmpty()) break;
      drop->acceptProposedAction();
      add(items, [this](const StationsAdded& result) {
        if (!result.error.isEmpty()) window_.showError(result.error);
      });
      return true;
    }
    default: break;
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace radiolist
