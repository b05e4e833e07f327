// The station name (Label1) and the title on air (Label2), polled from the audio library; the
// player core is told when they may have changed.

#include "app/window/globals.h"
#include "app/core/player.h"
#include "app/window/unit1.h"
#include "app/window/vcl.h"
#include "app/window/handlers/list_views.h"
#include "playback/audio_library.h"
#include "app/window/handlers/metadata_text.h"
#include "text/utf8.h"

using namespace radiolist;

namespace {

QString titleFrom(const char* meta) {
  const QString text = QString::fromStdU16String(utf8::decoded(meta));
  const std::u16string title = extractStreamTitle(
      {reinterpret_cast<const char16_t*>(text.utf16()), static_cast<std::size_t>(text.size())});
  return narrowToListCodePage(QString::fromStdU16String(title));
}

}  // namespace

// An AAC station sounds through the AAC stream; the general one then has nothing to say.
const char* TForm1::channelTags(DWORD type) const {
  if (const char* tags = audio_.ChannelGetTags(StreamHandle, type)) return tags;
  return audio_.ChannelGetTags(AacStreamHandle, type);
}

const char* TForm1::channelHeaderBlock() const {
  for (const HSTREAM handle : {StreamHandle, AacStreamHandle}) {
    if (const char* icy = audio_.ChannelGetTags(handle, BASS_TAG_ICY)) return icy;
    if (const char* http = audio_.ChannelGetTags(handle, BASS_TAG_HTTP)) return http;
  }
  return nullptr;
}

std::optional<QString> TForm1::stationNameOnAir() const {
  const char* block = channelHeaderBlock();
  if (block == nullptr) return std::nullopt;
  const HeaderBlockScan scan = scanHeaderBlock(block);
  if (!scan.stationName) return std::nullopt;
  return QString::fromStdU16String(utf8::decoded(scan.stationName->c_str()));
}

void TForm1::Timer1Timer(QObject*) {
  const char* block = channelHeaderBlock();
  if (block == nullptr) return;
  const HeaderBlockScan scan = scanHeaderBlock(block);
  if (scan.stationName)
    setCaption(Label1, QString::fromStdU16String(utf8::decoded(scan.stationName->c_str())));
  if (scan.hadLines) setTimerEnabled(Timer1, false);
}

void TForm1::Timer3Timer(QObject*) {
  setTimerEnabled(Timer3, false);
  if (const char* meta = channelTags(BASS_TAG_META)) setCaption(Label2, titleFrom(meta));
  setTimerEnabled(Timer3, true);
}

void TForm1::publishNowPlaying() { player_.windowChanged(); }
