#include "app/desktop/companion.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QTimer>
#include <algorithm>
#include <tuple>
#include <QDBusError>
#include <QDateTime>
#include <QWidget>
#include <QDir>
#include <QFileDialog>
#include <QStandardPaths>
#include <QIcon>
#include <QMenu>
#include <QMessageBox>
#include <QStyle>
#include <QSystemTrayIcon>
#include <utility>

#include "app/desktop/dbus_properties.h"
#include "app/desktop/outcome_text.h"
#include "app/log_domain.h"
#include "radiolist1_adaptor.h"
#include "playback/log/log.h"
#include "playback/log/thread_name.h"

namespace radiolist {

namespace {

const QString kObjectPath = QStringLiteral("/org/radiolist/Radiolist");

QString errorName(SongSave::Status status);

}  // namespace

QDBusArgument& operator<<(QDBusArgument& out, const BusTitle& t) {
  out.beginStructure();
  out << t.time << t.station << t.title;
  out.endStructure();
  return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, BusTitle& t) {
  in.beginStructure();
  in >> t.time >> t.station >> t.title;
  in.endStructure();
  return in;
}

// Answered once the file is made (or not): the disk is never waited for in the bus call.
QString Companion::SaveSong() {
  setDelayedReply(true);
  const bool asked = saveSong([message = message()](const SongSave& save) {
    QDBusConnection::sessionBus().send(
        save.status == SongSave::Status::Saving
            ? message.createReply(QString::fromStdString(save.path))
            : message.createErrorReply(errorName(save.status), Companion::describe(save)));
  });
  if (!asked) {
    QDBusConnection::sessionBus().send(
        message().createErrorReply(QDBusError::LimitsExceeded, tr("too many requests")));
  }
  return {};
}

QList<BusTitle> Companion::RecentTitles(uint count) {
  QList<BusTitle> out;
  for (const TitleEntry& e : titles_.newest(count)) out.push_back({e.time, e.station, e.title});
  return out;
}

void Companion::SleepAfter(uint seconds) { sleep_.start(seconds); }

void Companion::GoLive() { goLive(); }

// Answered once the files are read and the lists saved, with the lines each file gained.
uint Companion::AddStations(const QStringList& items) {
  setDelayedReply(true);
  intake_.add(items, [this, items, message = message()](const StationsAdded& result) {
    if (result.outcome.done()) countClicks(items);
    QDBusConnection::sessionBus().send(
        result.outcome.done()
            ? message.createReply(static_cast<uint>(result.added))
            : message.createErrorReply(QStringLiteral("org.radiolist.Radiolist1.Error.CannotAdd"),
                                       additionError(result)));
  });
  return 0;
}

void Companion::ExportList(const QString& path) {
  setDelayedReply(true);
  intake_.exportTo(path, [message = message()](const Outcome& outcome) {
    QDBusConnection::sessionBus().send(
        outcome.done()
            ? message.createReply()
            : message.createErrorReply(QStringLiteral("org.radiolist.Radiolist1.Error.CannotWrite"),
                                       outcomeText(outcome)));
  });
}

void Companion::ShowFindStations() { showFindStations(); }

// Answered once a mirror has (or none could): the bus call never waits for the directory.
QList<QVariantMap> Companion::FindStations(const QString& query, uint limit) {
  setDelayedReply(true);
  directory::Query q;
  q.name = query.toStdString();
  q.limit = std::clamp<std::size_t>(limit, 1, directory::kMaxStationsPerPage);
  std::ignore = directory().search(
      q, [post = answers_, this, message = message()](const directory::Outcome& out) {
        post->post([this, message, out] {
          if (out.failure != directory::Failure::None) {
            QDBusConnection::sessionBus().send(message.createErrorReply(
                QStringLiteral("org.radiolist.Radiolist1.Error.DirectoryUnreachable"),
                directoryText(out)));
            return;
          }
          noteFound(out.list.stations);
          QList<QVariantMap> rows;
          for (const directory::Station& s : out.list.stations) {
            rows.push_back({{QStringLiteral("name"), QString::fromStdString(s.name)},
                            {QStringLiteral("url"), QString::fromStdString(s.url)},
                            {QStringLiteral("country"), QString::fromStdString(s.country)},
                            {QStringLiteral("codec"), QString::fromStdString(s.codec)},
                            {QStringLiteral("bitrate"), static_cast<uint>(s.bitrate)},
                            {QStringLiteral("tags"), QString::fromStdString(s.tags)},
                            {QStringLiteral("votes"), static_cast<qlonglong>(s.votes)},
                            {QStringLiteral("uuid"), QString::fromStdString(s.uuid)},
                            {QStringLiteral("lastcheckok"), s.lastCheckOk}});
          }
          QDBusConnection::sessionBus().send(message.createReply(QVariant::fromValue(rows)));
        });
      });
  return {};
}

directory::Client& Companion::directory() {
  if (!directory_) directory_ = std::make_unique<directory::Client>();
  return *directory_;
}

void Companion::noteFound(const std::vector<directory::Station>& stations) {
  for (const directory::Station& s : stations) {
    if (s.uuid.empty()) continue;
    const QString url = QString::fromStdString(s.url);
    if (!foundUuids_.contains(url)) foundOrder_.push_back(url);
    foundUuids_.insert(url, QString::fromStdString(s.uuid));
  }
  while (foundOrder_.size() > kMaxFoundAddresses) {
    foundUuids_.remove(foundOrder_.front());
    foundOrder_.pop_front();
  }
}

void Companion::countClicks(const QStringList& addresses) {
  for (const QString& address : addresses) {
    const auto found = foundUuids_.constFind(address.trimmed());
    if (found == foundUuids_.cend()) continue;
    std::ignore = directory().click(found->toStdString());
    ids_.remember(found.key().toStdString(), found->toStdString());
  }
}

void Companion::showFindStations() {
  if (finder_ == nullptr) {
    finder_ = new StationFinder(
        directory(),
        [this](const directory::Station& s) {
          if (!s.uuid.empty()) std::ignore = directory().click(s.uuid);
          playFoundStation(player_, s);
        },
        [this](const directory::Station& s) {
          const QString url = QString::fromStdString(s.url);
          player_.addStations({{QString::fromStdString(s.name), url}},
                              [this, url, uuid = s.uuid](const StationsAdded& result) {
                                if (result.outcome.done() && !uuid.empty()) {
                                  std::ignore = directory().click(uuid);
                                  ids_.remember(url.toStdString(), uuid);
                                }
                                tellResult(window_, result);
                              });
        });
  }
  finder_->open();
}

namespace {

QString errorName(SongSave::Status status) {
  switch (status) {
    case SongSave::Status::Saving: break;
    case SongSave::Status::NothingToSave:
      return QStringLiteral("org.radiolist.Radiolist1.Error.NothingToSave");
    case SongSave::Status::CannotWrite:
      return QStringLiteral("org.radiolist.Radiolist1.Error.CannotWrite");
    case SongSave::Status::NamesUsedUp:
      return QStringLiteral("org.radiolist.Radiolist1.Error.NamesUsedUp");
  }
  return QStringLiteral("org.freedesktop.DBus.Error.Failed");
}

QString minutesAndSeconds(unsigned seconds) {
  return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

}  // namespace

Companion::Companion(Player& player, WindowShell& window, QString titlesPath, QString settingsPath,
                     std::string directoryIdsPath)
    : player_(player),
      window_(window),
      titles_(std::move(titlesPath)),
      sleep_([&player](float volume) { player.setVolume(volume); }, [&player] { player.stop(); }),
      intake_(player, window),
      settings_(std::move(settingsPath)),
      levelLoudness_(settings_.flag(QStringLiteral("level-loudness"), true)),
      notify_(settings_.flag(QStringLiteral("notify"), true)),
      windowMenu_(window,
                  [this](QPoint at, bool fromKeyboard) { showMenuOnWindow(at, fromKeyboard); }),
      ids_(std::move(directoryIdsPath)) {
  player_.setLevelLoudness(levelLoudness_);
  qDBusRegisterMetaType<BusTitle>();
  qDBusRegisterMetaType<QList<BusTitle>>();
  qDBusRegisterMetaType<QList<QVariantMap>>();
  qDBusRegisterMetaType<BusMovedStation>();
  qDBusRegisterMetaType<QList<BusMovedStation>>();
  mender_ = makeMender();
  properties_ = std::make_unique<BusProperties>(*new Radiolist1Adaptor(this), kObjectPath);
  buildMenu();
  QIcon icon = window.icon();
  if (icon.isNull()) icon = QIcon::fromTheme(QStringLiteral("radiolist"));
  if (icon.isNull()) icon = QApplication::style()->standardIcon(QStyle::SP_MediaVolume);
  notifier_ = new Notifier(QDBusConnection::sessionBus(), icon.pixmap(64).toImage(),
                           QStringLiteral("radiolist"), this);
  connect(notifier_, &Notifier::actionInvoked, this, &Companion::movedAnswered);
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    tray_ = new QSystemTrayIcon(icon, this);
    tray_->setContextMenu(menu_.get());
    tray_->setToolTip(toolTip());
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
      if (r == QSystemTrayIcon::Trigger) window_.show();
    });
    tray_->show();
  }
  connect(&sleep_, &SleepTimer::changed, this, &Companion::showTime);
  QDBusConnection::systemBus().connect(
      QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
      QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"), this,
      SLOT(onPrepareForSleep(bool)));
  saver_.setMaxThreadCount(1);
  const NowPlaying* now = &player.nowPlaying();
  connect(now, &NowPlaying::titleChanged, this, &Companion::noteTitle);
  connect(now, &NowPlaying::saveFailed, this, &Companion::tellSaveFailure);
  connect(now, &NowPlaying::stateChanged, this, &Companion::noteShift);
  connect(now, &NowPlaying::shiftChanged, this, &Companion::noteShift);
  connect(&player, &Player::lineGone, mender_, &StationMender::lineGone);
  connect(mender_, &StationMender::offersChanged, this, &Companion::showMovedOffers);
  connect(mender_, &StationMender::offered, this, &Companion::tellMoved);
  noteTitle();
}

Companion::~Companion() {
  answers_->close();
  delete finder_.get();  // it asks the directory client and the player, which go with this object
  delete mender_;        // the same; it waits for a check under way
  mender_ = nullptr;
  if (published_) QDBusConnection::sessionBus().unregisterObject(kObjectPath);
  saver_.waitForDone();  // its answers are dropped: their receiver is going
}

bool Companion::publish() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  published_ =
      bus.isConnected() && bus.registerObject(kObjectPath, this, QDBusConnection::ExportAdaptors);
  return published_;
}

void Companion::onPrepareForSleep(bool goingToSleep) {
  if (!goingToSleep) player_.retryNow();
}

void Companion::noteTitle() {
  const OnAir& now = player_.nowPlaying().now();
  if (now.title)
    titles_.note(QDateTime::currentSecsSinceEpoch(), now.station,
                 QString::fromStdString(now.title->text));
  if (tray_ != nullptr) tray_->setToolTip(toolTip());
  const QWidget* window = window_.widget();
  if (const auto note =
          Notifier::decide({notify_, window != nullptr && window->isActiveWindow(), now.station,
                            now.title ? QString::fromStdString(now.title->text) : QString()}))
    notifier_->show(*note);
}

void Companion::tellSaveFailure(const SongSave& failure) {
  const QString path = QString::fromStdString(failure.path);
  const QString reason = reasonText(failure.why);
  log::warning(kDesktopLog, "saving the song stopped: ", failure.path, ": ", reason.toStdString());
  if (tray_ != nullptr)
    tray_->showMessage(tr("Saving the song stopped"), describe(failure), QSystemTrayIcon::Warning);
  emit SaveFailed(path, reason);
}

QString Companion::toolTip() const {
  QString text = QStringLiteral("radiolist");
  if (const std::optional<SongTitle>& title = player_.nowPlaying().now().title;
      title && !title->text.empty())
    text += QStringLiteral("\n") + QString::fromStdString(title->text);
  if (sleep_.running())
    text += QLatin1Char('\n') + tr("Sleep in %1").arg(minutesAndSeconds(sleep_.remainingSeconds()));
  return text;
}

QString Companion::songDirectory() {
  QString music = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
  if (music.isEmpty()) music = QDir::homePath() + QStringLiteral("/Music");
  return music + QStringLiteral("/radiolist");
}

bool Companion::saveSong(std::function<void(const SongSave&)> done) {
  if (waitingSaves_.size() >= kMaxWaitingSaves) return false;
  waitingSaves_.push_back(std::move(done));
  if (waitingSaves_.size() > 1) return true;  // the request under way answers this one too
  Player* player = &player_;
  saver_.start([this, player] {
    log::nameThisThread("rl-save");
    SongSave save = player->saveSong(songDirectory().toStdString());
    QMetaObject::invokeMethod(this, [this, save = std::move(save)] {
      for (const auto& answer : std::exchange(waitingSaves_, {})) answer(save);
    });
  });
  return true;
}

QString Companion::describe(const SongSave& save) { return songSaveText(save); }

std::uint32_t Companion::delay() const { return player_.nowPlaying().now().delay; }

void Companion::goLive() { player_.goLive(); }

void Companion::noteShift() {
  const OnAir& now = player_.nowPlaying().now();
  const bool plays = now.state != OnAir::State::Stopped;
  if (pause_ != nullptr) {
    pause_->setEnabled(plays);
    pause_->setChecked(now.state == OnAir::State::Paused);
    back_->setEnabled(plays && now.canSeek);
    live_->setEnabled(plays && now.delay > 0);
    save_->setEnabled(plays);
  }
  if (published_) properties_->tell();
}

void Companion::setLevelLoudness(bool on) {
  if (on == levelLoudness_) return;
  levelLoudness_ = on;
  player_.setLevelLoudness(on);
  settings_.setFlag(QStringLiteral("level-loudness"), on);
  emit levelLoudnessChanged(on);
  if (published_) properties_->tell();
}

void Companion::setNotify(bool on) {
  if (on == notify_) return;
  notify_ = on;
  settings_.setFlag(QStringLiteral("notify"), on);
  emit notifyChanged(on);
  if (published_) properties_->tell();
}

void Companion::exportList() {
  const QString path = QFileDialog::getSaveFileName(
      window_.widget(), tr("Export list"), QDir::homePath() + QStringLiteral("/radiolist.m3u"),
      tr("Playlists (*.m3u *.m3u8)"));
  if (path.isEmpty()) return;
  intake_.exportTo(path, [this, path](const Outcome& outcome) {
    if (outcome.done()) {
      if (tray_ != nullptr) tray_->showMessage(tr("List exported"), path);
    } else {
      window_.showError(outcomeText(outcome));
    }
  });
}

void Companion::showTime() {
  if (tray_ != nullptr) tray_->setToolTip(toolTip());
  if (published_) properties_->tell();
}

}  // namespace radiolist
