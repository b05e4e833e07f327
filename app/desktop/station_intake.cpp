#include "app/desktop/station_intake.h"

#include <sys/stat.h>

#include <QCoreApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QMimeData>
#include <QUrl>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "app/desktop/outcome_text.h"
#include "app/log_domain.h"
#include "files/file.h"
#include "playback/formats/stations.h"
#include "playback/log/log.h"
#include "playback/log/thread_name.h"
#include "text/hidden.h"

namespace radiolist {

namespace {

// Why an item that is no web address nor a file cannot be added.
Outcome notPlayable(const QString& item, const formats::LeftOut& why) {
  using Code = Outcome::Code;
  return Outcome::about(why.notPlain > 0  ? Code::AddressNotPlain
                        : why.tooLong > 0 ? Code::AddressTooLong
                                          : Code::NotAnAddress,
                        item.toStdString());
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
  using Code = Outcome::Code;
  const auto failed = [](Outcome why) {
    GatheredStations none;
    none.error = std::move(why);
    return none;
  };
  std::vector<formats::Station> found;
  formats::LeftOut leftOut;
  QStringList filesLeftOut;
  std::size_t bytesRead = 0;
  const auto take = [&](const formats::StationsFound& stations) {
    leftOut += stations.leftOut;
    for (const formats::Station& station : stations.stations) {
      if (found.size() >= formats::kMaxImportStations)
        ++leftOut.overCap;
      else
        found.push_back(station);
    }
  };
  for (const QString& raw : items) {
    const QString item = raw.trimmed();
    if (item.isEmpty()) continue;
    if (isWebAddress(item)) {
      const formats::StationsFound stations = formats::stationsInText(item.toStdString());
      if (stations.stations.empty()) return failed(notPlayable(item, stations.leftOut));
      take(stations);
      continue;
    }
    QString path = item;
    if (item.startsWith(QLatin1String("file:"), Qt::CaseInsensitive)) {
      path = QUrl(item).toLocalFile();
    } else if (item.contains(QLatin1String("://"))) {
      return failed(notPlayable(item, {}));
    }
    if (path.isEmpty()) return failed(Outcome::about(Code::NotAFile, item.toStdString()));
    path = QDir::current().absoluteFilePath(path);
    // Each file may be as large as the whole budget; one that would take the request past it
    // is left out (and told), not the whole request.
    const files::Read file = files::readFile(QFile::encodeName(path).toStdString(),
                                             formats::kMaxImportBytes, files::Links::Follow);
    if (file.failure.failed())
      return failed(Outcome::file(Code::CannotOpen, path.toStdString(), file.failure));
    const std::string& bytes = file.bytes;
    if (bytes.size() > formats::kMaxImportBytes - bytesRead) {
      filesLeftOut << path;
      continue;
    }
    bytesRead += bytes.size();
    const QByteArray base = QUrl::fromLocalFile(path).toEncoded();
    const formats::StationsFound stations = formats::stationsInFile(
        bytes, QFileInfo(path).fileName().toStdString(), base.toStdString());
    if (stations.source == formats::StationSource::Hls)
      return failed(Outcome::about(Code::HlsPlaylist, path.toStdString()));
    if (stations.stations.empty())
      return failed(Outcome::about(Code::NoStations, path.toStdString()));
    take(stations);
  }
  GatheredStations gathered;
  gathered.leftOut = leftOut;
  gathered.filesLeftOut = filesLeftOut;
  gathered.stations.reserve(static_cast<qsizetype>(found.size()));
  for (const formats::Station& station : found) {
    const std::string name =
        station.name.empty() ? formats::nameFromAddress(station.url) : station.name;
    gathered.stations.push_back(
        {QString::fromStdString(name), QString::fromStdString(station.url)});
  }
  return gathered;
}

void tellLeftOut(const GatheredStations& gathered, StationsAdded& added) {
  const formats::LeftOut& files = gathered.leftOut;
  QStringList why;
  const auto count = [&](std::size_t n, const char* text) {
    if (n > 0)
      why << QCoreApplication::translate("radiolist::StationIntake", text, nullptr,
                                         static_cast<int>(std::min<std::size_t>(n, INT_MAX)));
  };
  count(files.overCap, QT_TRANSLATE_N_NOOP("radiolist::StationIntake",
                                           "%n past the 10,000 stations taken at a time"));
  count(files.notWeb,
        QT_TRANSLATE_N_NOOP("radiolist::StationIntake", "%n not an http or https address"));
  count(
      files.notPlain + static_cast<std::size_t>(added.notPlain),
      QT_TRANSLATE_N_NOOP("radiolist::StationIntake",
                          "%n with a line break, a control character or one that shows nothing in "
                          "the address"));
  count(files.tooLong,
        QT_TRANSLATE_N_NOOP("radiolist::StationIntake", "%n with an address longer than 16 KiB"));
  count(static_cast<std::size_t>(added.noRoom),
        QT_TRANSLATE_N_NOOP(
            "radiolist::StationIntake",
            "%n that would make a list file larger than the 32 MiB the program reads"));
  for (const QString& file : gathered.filesLeftOut)
    why << StationIntake::tr("\"%1\": more than 16 MiB of files at a time").arg(shownText(file));
  // An address the list holds already is no news on its own.
  if (why.isEmpty()) return;
  count(static_cast<std::size_t>(added.known),
        QT_TRANSLATE_N_NOOP("radiolist::StationIntake", "%n already in the list"));
  added.leftOut =
      StationIntake::tr("Stations added: %1. Left out: %2.").arg(added.added).arg(why.join(u"; "));
  if (added.added == 0 && added.outcome.done())
    added.outcome = Outcome::about(Outcome::Code::NothingAdded);
}

Outcome exportStations(const QString& path, const QList<ListedStation>& stations) {
  std::vector<formats::Station> list;
  list.reserve(static_cast<std::size_t>(stations.size()));
  for (const ListedStation& s : stations)
    list.push_back({s.name.toStdString(), s.address.toStdString()});
  const std::string bytes = formats::extendedM3u(list);

  const QString target = QDir::current().absoluteFilePath(path);
  // A link is followed, to the file the user keeps the playlist in.
  const QFileInfo info(target);
  const QString final = info.isSymLink() && info.exists() ? info.canonicalFilePath() : target;
  const files::Failure failed = files::replace(QFile::encodeName(final).toStdString(), bytes, 0666);
  if (failed.failed())
    return Outcome::file(Outcome::Code::CannotCreate, target.toStdString(), failed);
  return {};
}

StationIntake::StationIntake(Player& player, WindowShell& window)
    : player_(player), window_(window) {
  disk_.setMaxThreadCount(1);
  window_.acceptDrops(this);
}

StationIntake::~StationIntake() { disk_.waitForDone(); }

void StationIntake::add(QStringList items, std::function<void(const StationsAdded&)> done) {
  disk_.start([this, items = std::move(items), done = std::move(done)]() mutable {
    log::nameThisThread("rl-intake");
    GatheredStations gathered = gatherStations(items);
    QMetaObject::invokeMethod(this, [this, gathered = std::move(gathered),
                                     done = std::move(done)]() mutable {
      const auto tell = [gathered, done = std::move(done)](StationsAdded result) {
        if (result.outcome.done()) tellLeftOut(gathered, result);
        if (!result.outcome.done())
          log::warning(kDesktopLog, "stations not added: ", additionError(result).toStdString());
        else if (!result.leftOut.isEmpty())
          log::warning(kDesktopLog, result.leftOut.toStdString());
        done(result);
      };
      if (!gathered.error.done())
        tell(StationsAdded::failed(gathered.error));
      else
        player_.addStations(gathered.stations, tell);
    });
  });
}

void StationIntake::exportTo(QString path, std::function<void(const Outcome&)> done) {
  disk_.start(
      [this, path = std::move(path), stations = player_.stations(), done = std::move(done)] {
        log::nameThisThread("rl-intake");
        Outcome error = exportStations(path, stations);
        QMetaObject::invokeMethod(this, [error = std::move(error), done] { done(error); });
      });
}

void tellResult(const WindowShell& window, const StationsAdded& result) {
  if (!result.outcome.done())
    window.showError(additionError(result));
  else if (!result.leftOut.isEmpty())
    window.showError(result.leftOut);
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
      add(items, [this](const StationsAdded& result) { tellResult(window_, result); });
      return true;
    }
    default: break;
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace radiolist
