// The station name (Label1) and the title on air (Label2), polled from the audio library.

#include "app/globals.h"
#include "app/unit1.h"
#include "app/vcl.h"
#include "channels/ui/list_views.h"
#include "playback/audio_library.h"
#include "playback/metadata_text.h"

using namespace radiolist;

const char* TForm1::channelTags(DWORD type) const {
  // An AAC station sounds through the AAC stream; the general one then has nothing to say.
  if (const char* tags = audio_.ChannelGetTags(StreamHandle, type)) return tags;
  return audio_.ChannelGetTags(AacStreamHandle, type);
}

void TForm1::Timer1Timer(QObject*) {
  const auto headerBlock = [this](HSTREAM handle) -> const char* {
    if (const char* icy = audio_.ChannelGetTags(handle, BASS_TAG_ICY)) return icy;
    return audio_.ChannelGetTags(handle, BASS_TAG_HTTP);
  };
  const char* block = headerBlock(StreamHandle);
  if (block == nullptr) block = headerBlock(AacStreamHandle);
  if (block == nullptr) return;
  const HeaderBlockScan scan = scanHeaderBlock(block);
  if (scan.stationName) setCaption(Label1, decodeUtf8Lossy(scan.stationName->c_str()));
  if (scan.hadLines) setTimerEnabled(Timer1, false);
}

void TForm1::Timer3Timer(QObject*) {
  setTimerEnabled(Timer3, false);
  if (const char* meta = channelTags(BASS_TAG_META)) {
    const QString text = decodeUtf8Lossy(meta);
    const std::u16string title =
        extractStreamTitle({reinterpret_cast<const char16_t*>(text.utf16()), static_cast<std::size_t>(text.size())});
    setCaption(Label2, narrowToListCodePage(QString::fromStdU16String(title)));
  }
  setTimerEnabled(Timer3, true);
}
