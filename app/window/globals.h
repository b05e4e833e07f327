#pragma once
// Process-wide state shared by the window's handlers. Everything here belongs to the UI thread:
// handlers run one at a time, so no lock guards it. resetGlobalState() restores the start
// values (the tests run several windows in one process).

#include <QString>
#include <cstdint>

#include "playback/bass.h"

class TForm1;

struct TItemRect {
  std::int32_t Left = 0;
  std::int32_t Top = 0;
  std::int32_t Right = 0;  // exclusive, as Left + width
  std::int32_t Bottom = 0;
};

extern QString WorkDir;     // current directory, read again before each path is built
extern QString ListPath;    // list file about to be saved or loaded by the add/delete buttons
extern TItemRect ItemRect;  // rectangle of the name row the name editor was last opened for
extern std::int32_t ChannelIndex;  // the current channel's row
extern QString ChannelIndexText;   // ChannelIndex as decimal text
extern HSTREAM StreamHandle;       // general stream of the current channel, 0 = none
extern HSTREAM AacStreamHandle;    // AAC stream of the current channel, 0 = none
extern TForm1* Form1;              // the main window
extern std::int32_t ResyncCountdown;
extern std::int32_t UrlCount;
extern std::int32_t NameCount;
extern QString GlyphPath;  // glyph file about to be loaded

void resetGlobalState();
