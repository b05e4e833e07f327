#include "app/desktop/mpris.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QStringList>
#include <unistd.h>

#include "app/desktop/dbus_properties.h"
#include "mpris_player_adaptor.h"
#include "mpris_root_adaptor.h"

namespace radiolist {
namespace {

const QString kObjectPath = QStringLiteral("/org/mpris/MediaPlayer2");

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
  new MediaPlayer2Adaptor(this);
  properties_ = std::make_unique<BusProperties>(*new PlayerAdaptor(this), kObjectPath);
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
  state_ = mprisStateOf(player_.nowPlaying().now());
  properties_->tell();
}

void MprisService::Raise() {
  later([this] { window_.show(); });
}

void MprisService::Quit() {
  later([this] { window_.close(); });
}

void MprisService::PlayPause() {
  later([this] { player_.playPause(); });
}

void MprisService::Play() {
  later([this] { player_.play(); });
}

void MprisService::Pause() {
  later([this] { player_.pause(); });
}

void MprisService::Stop() {
  later([this] { player_.stop(); });
}

void MprisService::Next() {
  later([this] { player_.stepChannel(+1); });
}

void MprisService::Previous() {
  later([this] { player_.stepChannel(-1); });
}

void MprisService::Seek(qlonglong offset) {
  later([this, offset] { player_.seekBy(offset); });
}

void MprisService::SetPosition(const QDBusObjectPath& track, qlonglong position) {
  if (state_.metadata.value(QStringLiteral("mpris:trackid")).value<QDBusObjectPath>() != track)
    return;
  later([this, position] { player_.seekTo(position); });
}

qlonglong MprisService::position() const {
  const std::optional<ShiftState> shift = player_.shift();
  return shift ? shift->positionUs : 0;
}

void MprisService::jumped() { emit Seeked(position()); }

}  // namespace radiolist
