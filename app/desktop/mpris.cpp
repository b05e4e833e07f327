#include "app/desktop/mpris.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QStringList>
#include <unistd.h>

#include "app/desktop/dbus_properties.h"

namespace radiolist {
namespace {

const QString kObjectPath = QStringLiteral("/org/mpris/MediaPlayer2");
const QString kPlayerInterface = QStringLiteral("org.mpris.MediaPlayer2.Player");

class RootAdaptor : public QDBusAbstractAdaptor {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2")
  Q_PROPERTY(bool CanQuit READ yes)
  Q_PROPERTY(bool CanRaise READ yes)
  Q_PROPERTY(bool HasTrackList READ no)
  Q_PROPERTY(QString Identity READ identity)
  Q_PROPERTY(QString DesktopEntry READ identity)
  Q_PROPERTY(QStringList SupportedUriSchemes READ schemes)
  Q_PROPERTY(QStringList SupportedMimeTypes READ mimeTypes)

 public:
  RootAdaptor(MprisService* service) : QDBusAbstractAdaptor(service), service_(service) {}
  [[nodiscard]] bool yes() const { return true; }
  [[nodiscard]] bool no() const { return false; }
  [[nodiscard]] QString identity() const { return QStringLiteral("radiolist"); }
  [[nodiscard]] QStringList schemes() const {
    return {QStringLiteral("http"), QStringLiteral("https")};
  }
  [[nodiscard]] QStringList mimeTypes() const { return {}; }

 public slots:
  void Raise() {
    service_->later([window = &service_->window()] { window->show(); });
  }
  void Quit() {
    service_->later([window = &service_->window()] { window->close(); });
  }

 private:
  MprisService* service_;
};

class PlayerAdaptor : public QDBusAbstractAdaptor {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2.Player")
  Q_PROPERTY(QString PlaybackStatus READ playbackStatus)
  Q_PROPERTY(double Rate READ one)
  Q_PROPERTY(double MinimumRate READ one)
  Q_PROPERTY(double MaximumRate READ one)
  Q_PROPERTY(double Volume READ one)
  Q_PROPERTY(QVariantMap Metadata READ metadata)
  Q_PROPERTY(qlonglong Position READ position)
  Q_PROPERTY(bool CanGoNext READ canGoNext)
  Q_PROPERTY(bool CanGoPrevious READ canGoPrevious)
  Q_PROPERTY(bool CanPlay READ yes)
  Q_PROPERTY(bool CanPause READ yes)
  Q_PROPERTY(bool CanSeek READ canSeek)
  Q_PROPERTY(bool CanControl READ yes)

 public:
  PlayerAdaptor(MprisService* service) : QDBusAbstractAdaptor(service), service_(service) {
    connect(service, &MprisService::seeked, this, &PlayerAdaptor::Seeked);
  }
  [[nodiscard]] QString playbackStatus() const { return service_->state().playbackStatus; }
  [[nodiscard]] QVariantMap metadata() const { return service_->state().metadata; }
  [[nodiscard]] bool canGoNext() const { return service_->state().canGoNext; }
  [[nodiscard]] bool canGoPrevious() const { return service_->state().canGoPrevious; }
  [[nodiscard]] double one() const { return 1.0; }
  [[nodiscard]] qlonglong position() const { return service_->position(); }
  [[nodiscard]] bool canSeek() const { return service_->state().canSeek; }
  [[nodiscard]] bool yes() const { return true; }
  [[nodiscard]] bool no() const { return false; }

 public slots:
  // Pause keeps receiving; Play goes on from where it paused (or starts the channel); Stop is
  // the window's stop.
  void PlayPause() {
    service_->later([player = &service_->player()] { player->playPause(); });
  }
  void Play() {
    service_->later([player = &service_->player()] { player->play(); });
  }
  void Pause() {
    service_->later([player = &service_->player()] { player->pause(); });
  }
  void Stop() {
    service_->later([player = &service_->player()] { player->stop(); });
  }
  void Next() {
    service_->later([player = &service_->player()] { player->stepChannel(+1); });
  }
  void Previous() {
    service_->later([player = &service_->player()] { player->stepChannel(-1); });
  }
  // Within what the stream kept, never past live.
  void Seek(qlonglong offset) {
    service_->later([player = &service_->player(), offset] { player->seekBy(offset); });
  }
  // Ignored for another track than the one playing, as the interface asks.
  void SetPosition(const QDBusObjectPath& track, qlonglong position) {
    if (service_->state()
            .metadata.value(QStringLiteral("mpris:trackid"))
            .value<QDBusObjectPath>() != track)
      return;
    service_->later([player = &service_->player(), position] { player->seekTo(position); });
  }
  void OpenUri(const QString&) {}

 signals:
  void Seeked(qlonglong Position);

 private:
  MprisService* service_;
};

}  // namespace

MprisState mprisStateOf(const OnAir& now) {
  MprisState state;
  switch (now.state) {
    case OnAir::State::Playing: state.playbackStatus = QStringLiteral("Playing"); break;
    case OnAir::State::Paused: state.playbackStatus = QStringLiteral("Paused"); break;
    case OnAir::State::Stopped: state.playbackStatus = QStringLiteral("Stopped"); break;
  }
  state.canSeek = now.canSeek && now.state != OnAir::State::Stopped;
  state.canGoNext = now.channel + 1 < now.channels;
  state.canGoPrevious = now.channel > 0 && now.channel - 1 < now.channels;
  state.metadata.insert(
      QStringLiteral("mpris:trackid"),
      QVariant::fromValue(QDBusObjectPath(
          now.onRow() ? QStringLiteral("/org/radiolist/channel/%1").arg(now.channel)
                      : QStringLiteral("/org/mpris/MediaPlayer2/TrackList/NoTrack"))));
  state.metadata.insert(QStringLiteral("xesam:title"),
                        now.title ? QString::fromStdString(now.title->text) : QString());
  state.metadata.insert(QStringLiteral("xesam:artist"), QStringList{now.station});
  return state;
}

MprisService::MprisService(Player& player, WindowShell& window, QString serviceName)
    : QObject(&player),
      player_(player),
      window_(window),
      serviceName_(std::move(serviceName)),
      state_(mprisStateOf(player.nowPlaying().now())) {
  new RootAdaptor(this);
  new PlayerAdaptor(this);
  const NowPlaying* now = &player.nowPlaying();
  for (const auto change :
       {&NowPlaying::channelChanged, &NowPlaying::stationChanged, &NowPlaying::titleChanged,
        &NowPlaying::stateChanged, &NowPlaying::shiftChanged})
    connect(now, change, this, &MprisService::refresh);
  connect(now, &NowPlaying::positionJumped, this, &MprisService::jumped);
}

MprisService::~MprisService() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  bus.unregisterObject(kObjectPath);
  bus.unregisterService(serviceName_);
}

std::unique_ptr<MprisService> MprisService::publish(Player& player, WindowShell& window) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return nullptr;
  QString name = QStringLiteral("org.mpris.MediaPlayer2.radiolist");
  if (bus.interface()->isServiceRegistered(name))
    name += QStringLiteral(".instance%1").arg(::getpid());
  std::unique_ptr<MprisService> service(new MprisService(player, window, name));
  if (!bus.registerObject(kObjectPath, service.get(), QDBusConnection::ExportAdaptors) ||
      !bus.registerService(name))
    return nullptr;
  return service;
}

void MprisService::later(Action action) {
  if (!pending_.push(std::move(action)) || runScheduled_) return;
  runScheduled_ = true;
  QMetaObject::invokeMethod(this, &MprisService::runNext, Qt::QueuedConnection);
}

void MprisService::runNext() {
  runScheduled_ = false;
  const std::optional<Action> action = pending_.pop();
  if (!action) return;
  // Scheduled before the action runs: an error box's own loop then carries on with the queue.
  if (!pending_.empty()) {
    runScheduled_ = true;
    QMetaObject::invokeMethod(this, &MprisService::runNext, Qt::QueuedConnection);
  }
  (*action)();
}

void MprisService::refresh() {
  const MprisState now = mprisStateOf(player_.nowPlaying().now());
  QVariantMap changed;
  if (now.playbackStatus != state_.playbackStatus)
    changed.insert(QStringLiteral("PlaybackStatus"), now.playbackStatus);
  if (now.metadata != state_.metadata) changed.insert(QStringLiteral("Metadata"), now.metadata);
  if (now.canGoNext != state_.canGoNext) changed.insert(QStringLiteral("CanGoNext"), now.canGoNext);
  if (now.canGoPrevious != state_.canGoPrevious)
    changed.insert(QStringLiteral("CanGoPrevious"), now.canGoPrevious);
  if (now.canSeek != state_.canSeek) changed.insert(QStringLiteral("CanSeek"), now.canSeek);
  state_ = now;
  sendPropertiesChanged(kObjectPath, kPlayerInterface, changed);
}

qlonglong MprisService::position() const {
  const std::optional<ShiftState> shift = player_.shift();
  return shift ? shift->positionUs : 0;
}

void MprisService::jumped() { emit seeked(position()); }

}  // namespace radiolist

#include "mpris.moc"
