#include "app/mpris.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QStringList>
#include <unistd.h>

#include "app/globals.h"
#include "app/unit1.h"
#include "app/vcl.h"
#include "playback/audio_library.h"

namespace radiolist {
namespace {

const QString kObjectPath = QStringLiteral("/org/mpris/MediaPlayer2");
const QString kPlayerInterface = QStringLiteral("org.mpris.MediaPlayer2.Player");

bool sounds(AudioLibrary& audio, HSTREAM handle) {
  const DWORD state = audio.ChannelIsActive(handle);
  return state == BASS_ACTIVE_PLAYING || state == BASS_ACTIVE_STALLED;
}

// Selects the name row `step` rows from the current channel and handles it as a user's click.
void chooseNeighbour(TForm1& form, int step) {
  const int row = ChannelIndex + step;
  if (row < 0 || row >= form.ListBox1->count()) return;
  guarded([&] {
    selectRow(form.ListBox1, row);
    form.ListBox1Click(form.ListBox1);
  });
}

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
    service_->later([](TForm1& form) {
      form.showNormal();
      form.raise();
      form.activateWindow();
    });
  }
  void Quit() {
    service_->later([](TForm1& form) { form.close(); });
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
  Q_PROPERTY(bool CanSeek READ no)
  Q_PROPERTY(bool CanControl READ yes)

 public:
  PlayerAdaptor(MprisService* service) : QDBusAbstractAdaptor(service), service_(service) {}
  [[nodiscard]] QString playbackStatus() const { return service_->state().playbackStatus; }
  [[nodiscard]] QVariantMap metadata() const { return service_->state().metadata; }
  [[nodiscard]] bool canGoNext() const { return service_->state().canGoNext; }
  [[nodiscard]] bool canGoPrevious() const { return service_->state().canGoPrevious; }
  [[nodiscard]] double one() const { return 1.0; }
  [[nodiscard]] qlonglong position() const { return 0; }
  [[nodiscard]] bool yes() const { return true; }
  [[nodiscard]] bool no() const { return false; }

 public slots:
  void PlayPause() {
    service_->later(
        [](TForm1& form) { guarded([&] { form.SpeedButton2Click(form.SpeedButton2); }); });
  }
  void Play() {
    service_->later([](TForm1& form) { guarded([&] { form.StartPress(); }); });
  }
  void Pause() { stop(); }
  void Stop() { stop(); }
  void Next() {
    service_->later([](TForm1& form) { chooseNeighbour(form, +1); });
  }
  void Previous() {
    service_->later([](TForm1& form) { chooseNeighbour(form, -1); });
  }
  // A live stream cannot seek; opening other addresses is the list's business.
  void Seek(qlonglong) {}
  void SetPosition(const QDBusObjectPath&, qlonglong) {}
  void OpenUri(const QString&) {}

 private:
  void stop() {
    service_->later([](TForm1& form) { guarded([&] { form.StopPress(); }); });
  }
  MprisService* service_;
};

}  // namespace

MprisState currentMprisState(const TForm1& form) {
  MprisState state;
  AudioLibrary& audio = form.audio();
  state.playbackStatus = sounds(audio, StreamHandle) || sounds(audio, AacStreamHandle)
                             ? QStringLiteral("Playing")
                             : QStringLiteral("Stopped");
  const int rows = form.ListBox1->count();
  const bool onRow = ChannelIndex >= 0 && ChannelIndex < rows;
  state.canGoNext = ChannelIndex + 1 < rows;
  state.canGoPrevious = ChannelIndex > 0 && ChannelIndex - 1 < rows;
  const QString name = onRow ? rowText(form.ListBox1, ChannelIndex) : QString();
  state.metadata.insert(QStringLiteral("mpris:trackid"),
                        QVariant::fromValue(QDBusObjectPath(
                            onRow ? QStringLiteral("/org/radiolist/channel/%1").arg(ChannelIndex)
                                  : QStringLiteral("/org/mpris/MediaPlayer2/TrackList/NoTrack"))));
  state.metadata.insert(QStringLiteral("xesam:title"), form.titleOnAir().value_or(QString()));
  state.metadata.insert(QStringLiteral("xesam:artist"),
                        QStringList{form.stationNameOnAir().value_or(name)});
  return state;
}

MprisService::MprisService(TForm1& form, QString serviceName)
    : QObject(&form),
      form_(form),
      serviceName_(std::move(serviceName)),
      state_(currentMprisState(form)) {
  new RootAdaptor(this);
  new PlayerAdaptor(this);
  poll_.setInterval(1000);
  connect(&poll_, &QTimer::timeout, this, &MprisService::refresh);
  poll_.start();
}

MprisService::~MprisService() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  bus.unregisterObject(kObjectPath);
  bus.unregisterService(serviceName_);
}

std::unique_ptr<MprisService> MprisService::publish(TForm1& form) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return nullptr;
  QString name = QStringLiteral("org.mpris.MediaPlayer2.radiolist");
  if (bus.interface()->isServiceRegistered(name))
    name += QStringLiteral(".instance%1").arg(::getpid());
  std::unique_ptr<MprisService> service(new MprisService(form, name));
  if (!bus.registerObject(kObjectPath, service.get(), QDBusConnection::ExportAdaptors) ||
      !bus.registerService(name))
    return nullptr;
  return service;
}

void MprisService::later(Action action) {
  if (!pending_.push(action) || runScheduled_) return;
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
  (*action)(form_);
  refresh();
}

void MprisService::refresh() {
  const MprisState now = currentMprisState(form_);
  QVariantMap changed;
  if (now.playbackStatus != state_.playbackStatus)
    changed.insert(QStringLiteral("PlaybackStatus"), now.playbackStatus);
  if (now.metadata != state_.metadata) changed.insert(QStringLiteral("Metadata"), now.metadata);
  if (now.canGoNext != state_.canGoNext) changed.insert(QStringLiteral("CanGoNext"), now.canGoNext);
  if (now.canGoPrevious != state_.canGoPrevious)
    changed.insert(QStringLiteral("CanGoPrevious"), now.canGoPrevious);
  state_ = now;
  if (changed.isEmpty()) return;
  QDBusMessage signal =
      QDBusMessage::createSignal(kObjectPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                 QStringLiteral("PropertiesChanged"));
  signal << kPlayerInterface << changed << QStringList();
  QDBusConnection::sessionBus().send(signal);
}

}  // namespace radiolist

#include "mpris.moc"
