#include "app/window/now_playing.h"

#include <QIcon>
#include <utility>

#include "app/window/globals.h"
#include "app/window/unit1.h"
#include "app/window/vcl.h"

namespace radiolist {

NowPlaying::NowPlaying(QObject* parent) : QObject(parent) {}

void NowPlaying::update(OnAir now) {
  uiThread_.check();
  if (now == now_) return;
  const OnAir before = std::exchange(now_, std::move(now));
  // Every value is in place before the first signal: a listener may read all of them.
  if (before.channel != now_.channel || before.channels != now_.channels ||
      before.channelName != now_.channelName)
    emit channelChanged();
  if (before.station != now_.station) emit stationChanged();
  if (before.title != now_.title) emit titleChanged();
  if (before.state != now_.state) emit stateChanged();
}

void NowPlaying::reportSaveFailure(const SongSave& failure) {
  uiThread_.check();
  emit saveFailed(failure);
}

WindowControl::WindowControl(TForm1& form) : form_(form) {}

NowPlaying& WindowControl::nowPlaying() const { return form_.nowPlaying(); }

AudioLibrary& WindowControl::audio() const { return form_.audio(); }

QIcon WindowControl::icon() const { return form_.windowIcon(); }

void WindowControl::startOrStop() {
  guarded([&] { form_.SpeedButton2Click(form_.SpeedButton2); });
  form_.publishNowPlaying();
}

void WindowControl::start() {
  guarded([&] { form_.StartPress(); });
  form_.publishNowPlaying();
}

void WindowControl::stop() {
  guarded([&] { form_.StopPress(); });
  form_.publishNowPlaying();
}

void WindowControl::stepChannel(int step) {
  const int row = ChannelIndex + step;
  if (row < 0 || row >= form_.ListBox1->count()) return;
  guarded([&] {
    selectRow(form_.ListBox1, row);
    form_.ListBox1Click(form_.ListBox1);
  });
  form_.publishNowPlaying();
}

void WindowControl::show() {
  form_.showNormal();
  form_.raise();
  form_.activateWindow();
}

void WindowControl::close() { form_.close(); }

}  // namespace radiolist
