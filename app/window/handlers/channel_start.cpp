// Choosing a channel and the START STOP button.

#include "app/window/globals.h"
#include "app/window/unit1.h"
#include "app/window/vcl.h"
#include "app/window/handlers/list_views.h"
#include "playback/audio_library.h"

using namespace radiolist;

namespace {

constexpr DWORD kInitFlags = 0x80000000u;

// The address on ListBox2's row `row`, NUL-terminated UTF-16 as the library takes it.
std::u16string addressOnRow(const TListBox* urls, int row) {
  const QString text = rowText(urls, row);
  return {reinterpret_cast<const char16_t*>(text.utf16()), static_cast<std::size_t>(text.size())};
}

std::u16string selectedAddress(const TListBox* urls) { return addressOnRow(urls, itemIndex(urls)); }

}  // namespace

void TForm1::createAndPlayStreams(bool testActivity) {
  const auto inactive = [&](HSTREAM handle) {
    return !testActivity || audio_.ChannelIsActive(handle) != BASS_ACTIVE_PLAYING;
  };
  if (testActivity) {
    if (inactive(StreamHandle) || inactive(AacStreamHandle)) noteStreamRow();
    if (inactive(StreamHandle))
      StreamHandle = audio_.StreamCreateURL(selectedAddress(ListBox2).c_str(), 0, BASS_UNICODE);
    if (inactive(AacStreamHandle))
      AacStreamHandle =
          audio_.AacStreamCreateURL(selectedAddress(ListBox2).c_str(), 0, BASS_UNICODE);
    if (inactive(StreamHandle)) audio_.ChannelPlay(StreamHandle, 1);
    if (inactive(AacStreamHandle)) audio_.ChannelPlay(AacStreamHandle, 1);
  } else {
    createAndPlayStreams(selectedAddress(ListBox2));
    noteStreamRow();
    return;
  }
  audio_.Start();
}

void TForm1::createAndPlayStreams(const std::u16string& address) {
  streamRow_ = -1;  // the callers from a row say which
  streamAddress_ = QString::fromStdU16String(address);
  StreamHandle = audio_.StreamCreateURL(address.c_str(), 0, BASS_UNICODE);
  audio_.ChannelPlay(StreamHandle, 1);
  AacStreamHandle = audio_.AacStreamCreateURL(address.c_str(), 0, BASS_UNICODE);
  audio_.ChannelPlay(AacStreamHandle, 1);
  audio_.Start();
}

void TForm1::noteStreamRow() {
  const int row = itemIndex(ListBox2);
  const bool listed = row >= 0 && row < ListBox2->count();
  streamRow_ = listed ? row : -1;
  streamAddress_ = listed ? rowText(ListBox2, row) : QString();
}

void TForm1::prepareAddressOnRow(int row) {
  if (row < 0 || row >= ListBox2->count()) return;
  const std::u16string address = addressOnRow(ListBox2, row);
  if (!address.empty()) audio_.PrepareURL(address.c_str());
}

void TForm1::ListBox1Click(QObject*) {
  OpenNameEditor();
  prepareAddressOnRow(ChannelIndex);
  audio_.Free();
  StreamHandle = 0;
  audio_.Init(-1, 44100, kInitFlags);
  createAndPlayStreams(/*testActivity=*/true);
  WorkDir = currentDir();
  UrlCount = countListLines(WorkDir + QStringLiteral("/url.txt"));
  NameCount = countListLines(WorkDir + QStringLiteral("/Name.txt"));
  WorkDir = currentDir();
  GlyphPath = WorkDir + QStringLiteral("/imag/play.bmp");
  loadGlyph(SpeedButton2, GlyphPath);
  setTimerEnabled(Timer2, true);
  ResyncCountdown = 10;
  setTimerEnabled(Timer3, true);
  setTimerEnabled(Timer1, true);
}

void TForm1::SpeedButton2Click(QObject*) {
  if (SpeedButton2->Tag == 0)
    StartPress();
  else
    StopPress();
}

void TForm1::StartPress() {
  GlyphPath = currentDir() + QStringLiteral("/imag/play.bmp");
  loadGlyph(SpeedButton2, GlyphPath);
  audio_.Free();
  StreamHandle = 0;
  audio_.Init(-1, 44100, kInitFlags);
  createAndPlayStreams(/*testActivity=*/false);
  SpeedButton2->Tag = 1;
}

void TForm1::PlayAddress(const QString& address) {
  // The countdown would start the selected row again in place of the address.
  setTimerEnabled(Timer2, false);
  GlyphPath = currentDir() + QStringLiteral("/imag/play.bmp");
  loadGlyph(SpeedButton2, GlyphPath);
  audio_.Free();
  StreamHandle = 0;
  audio_.Init(-1, 44100, kInitFlags);
  createAndPlayStreams(std::u16string(reinterpret_cast<const char16_t*>(address.utf16()),
                                      static_cast<std::size_t>(address.size())));
  SpeedButton2->Tag = 1;
  setTimerEnabled(Timer1, true);
}

void TForm1::StopPress() {
  GlyphPath = currentDir() + QStringLiteral("/imag/stop.bmp");
  loadGlyph(SpeedButton2, GlyphPath);
  setTimerEnabled(Timer1, false);
  stopChannelStreams();
  SpeedButton2->Tag = 0;
}
