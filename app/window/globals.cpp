#include "app/window/globals.h"

QString WorkDir;
QString ListPath;
TItemRect ItemRect;
std::int32_t ChannelIndex = 0;
QString ChannelIndexText;
HSTREAM StreamHandle = 0;
HSTREAM AacStreamHandle = 0;
TForm1* Form1 = nullptr;
std::int32_t ResyncCountdown = 0;
std::int32_t UrlCount = 0;
std::int32_t NameCount = 0;
QString GlyphPath;

void resetGlobalState() {
  WorkDir.clear();
  ListPath.clear();
  ItemRect = {};
  ChannelIndex = 0;
  ChannelIndexText.clear();
  StreamHandle = 0;
  AacStreamHandle = 0;
  Form1 = nullptr;
  ResyncCountdown = 0;
  UrlCount = 0;
  NameCount = 0;
  GlyphPath.clear();
}
