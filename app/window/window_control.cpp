#include "app/window/window_control.h"

#include <QIcon>

#include "app/window/globals.h"
#include "app/window/handlers/list_views.h"
#include "app/window/list_saver.h"
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
  view.streamRow = form_.streamRow();
  view.streamAddress = form_.streamAddress();
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

bool WindowControl::replaceAddress(int row, const QString& old, const QString& now,
                                   std::function<void(const Outcome&)> done) {
  settleListSaves();  // the rows as saved, before this changes one
  TListBox* addresses = form_.ListBox2;
  if (row < 0 || row >= addresses->count() || rowText(addresses, row) != old) return false;
  const QString urlsPath = currentDir() + QStringLiteral("/url.txt");
  if (std::optional<Outcome> refusal = listRefusal(urlsPath, true)) {
    done(*refusal);
    return true;
  }
  const auto put = [addresses, row](const QString& from, const QString& to) {
    if (row >= addresses->count() || rowText(addresses, row) != from) return;
    const int selected = itemIndex(addresses);
    addresses->rows().remove(row);
    addresses->rows().insert(row, to.toStdU16String());
    if (selected == row) setItemIndex(addresses, row);
  };
  put(old, now);
  form_.publishNowPlaying();
  TForm1& form = form_;
  // Only the address list is written; a failure puts the old address back on the row.
  const auto rollback = [&form, put, old, now] {
    put(now, old);
    form.publishNowPlaying();
  };
  ListSaver::current()->save({}, {}, urlsPath, addresses->rows().lines(), addresses->count(),
                             rollback, std::move(done));
  return true;
}

void WindowControl::show() {
  form_.showNormal();
  form_.raise();
  form_.activateWindow();
}

void WindowControl::close() { form_.close(); }

QIcon WindowControl::icon() const { return form_.windowIcon(); }

}  // namespace radiolist
