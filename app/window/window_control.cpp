#include "app/window/window_control.h"

#include <QIcon>

#include "app/window/globals.h"
#include "app/window/handlers/list_views.h"
#include "app/window/unit1.h"
#include "app/window/vcl.h"
#include "playback/audio_library.h"

namespace radiolist {

WindowControl::WindowControl(TForm1& form) : form_(form) {}

ChannelView WindowControl::channelView() const {
  ChannelView view;
  view.channel = ChannelIndex;
  view.channels = form_.ListBox1->count();
  if (view.channel >= 0 && view.channel < view.channels)
    view.channelName = rowText(form_.ListBox1, ChannelIndex);
  view.station = form_.stationNameOnAir();
  view.general = StreamHandle;
  view.aac = AacStreamHandle;
  for (const HSTREAM handle : {StreamHandle, AacStreamHandle}) {
    const DWORD state = form_.audio().ChannelIsActive(handle);
    if (state == BASS_ACTIVE_PLAYING || state == BASS_ACTIVE_STALLED) view.active = true;
  }
  return view;
}

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

void WindowControl::playAddress(const QString& address) {
  guarded([&] { form_.PlayAddress(address); });
  form_.publishNowPlaying();
}

void WindowControl::show() {
  form_.showNormal();
  form_.raise();
  form_.activateWindow();
}

void WindowControl::close() { form_.close(); }

QIcon WindowControl::icon() const { return form_.windowIcon(); }

}  // namespace radiolist
