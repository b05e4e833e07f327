// Without a sound server the library refuses to initialise and nothing plays, silently.
#include <gtest/gtest.h>

#include <cstdlib>

#include "playback/bass.h"

TEST(NoSoundServerTest, InitFailsAndCreationsGiveZero) {
  // A socket path where no server listens; libpulse must neither find nor spawn one.
  ASSERT_EQ(setenv("PULSE_SERVER", "unix:/nonexistent/radiolist/native", 1), 0);
  EXPECT_EQ(BASS_Free(), 0);  // before the first init: does nothing
  EXPECT_EQ(BASS_Init(-1, 44100, BASS_UNICODE, nullptr, nullptr), 0);
  const char16_t url[] = u"http://127.0.0.1:9/a.mp3";
  const HSTREAM general = BASS_StreamCreateURL(url, 0, BASS_UNICODE, nullptr, nullptr);
  const HSTREAM aac = BASS_AAC_StreamCreateURL(url, 0, BASS_UNICODE, nullptr, nullptr);
  EXPECT_EQ(general, 0u);
  EXPECT_EQ(aac, 0u);
  EXPECT_EQ(BASS_ChannelPlay(general, 1), 0);
  EXPECT_EQ(BASS_ChannelIsActive(general), BASS_ACTIVE_STOPPED);
  EXPECT_EQ(BASS_ChannelGetTags(general, BASS_TAG_HTTP), nullptr);
  EXPECT_EQ(BASS_Start(), 0);
  BASS_Free();
  EXPECT_EQ(BASS_Init(-1, 44100, 0, nullptr, nullptr), 0);  // and again
}
