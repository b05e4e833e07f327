// What guardPlaylist() lets through to the demuxer: the caps on a playlist's size and segments,
// and the one variant (and rendition) it keeps of a master playlist.

#include <gtest/gtest.h>

#include <string>

#include "playback/hls/playlist_guard.h"

namespace radiolist::hls {
namespace {

std::string media(std::size_t segments, const std::string& eol = "\n") {
  std::string body = "#EXTM3U" + eol;
  for (std::size_t i = 0; i < segments; ++i) body += "#EXTINF:1," + eol + "s.aac" + eol;
  return body;
}

TEST(PlaylistGuard, RefusesPlaylistsOverTheCaps) {
  const struct {
    std::string body;
    std::size_t baseUrlBytes;
    bool kept;
  } cases[] = {
      {media(kMaxSegments), 100, true},
      {media(kMaxSegments + 1), 100, false},
      {media(kMaxSegments + 1, "\r"), 100, false},  // lines that only CR ends count alike
      {media(1900), 4096, true},                    // 2,000 addresses of 4 KiB are 8 MiB
      {media(2100), 4096, false},
      {"#EXTM3U\n#" + std::string(kMaxPlaylistBytes, 'x') + "\n", 10, false},
  };
  for (const auto& c : cases) {
    const auto kept = guardPlaylist(c.body, c.baseUrlBytes);
    EXPECT_EQ(kept, c.kept ? std::optional(c.body) : std::nullopt) << c.body.size() << " bytes";
  }
}

TEST(PlaylistGuard, KeepsOneVariantOfAMasterPlaylist) {
  const std::string groups =
      "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"lo\",URI=\"lo.m3u8\"\n"
      "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"hi\",URI=\"hi-en.m3u8\"\n"
      "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"hi\",DEFAULT=YES,URI=\"hi-de.m3u8\"\n"
      "#EXT-X-MEDIA:TYPE=SUBTITLES,GROUP-ID=\"hi\",URI=\"subs.m3u8\"\n";
  const std::pair<std::string, std::string> cases[] = {
      // The highest bandwidth; ties go to the first.
      {"#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=64\na\n#EXT-X-STREAM-INF:BANDWIDTH=128\nb\n"
       "#EXT-X-STREAM-INF:BANDWIDTH=128\nc\n",
       "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=128\nb\n"},
      // Audio alone before a richer variant with video.
      {"#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=5000000,CODECS=\"avc1.64001f,mp4a.40.2\"\ntv\n"
       "#EXT-X-STREAM-INF:BANDWIDTH=64000,CODECS=\"mp4a.40.5\"\nradio\n",
       "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=64000,CODECS=\"mp4a.40.5\"\nradio\n"},
      // The default audio rendition of the chosen variant's group; no I-frame playlist.
      {"#EXTM3U\n" + groups + "#EXT-X-STREAM-INF:BANDWIDTH=1,AUDIO=\"lo\"\nlo\n" +
           "#EXT-X-I-FRAME-STREAM-INF:BANDWIDTH=9,URI=\"i.m3u8\"\n#EXT-X-STREAM-INF:BANDWIDTH=2,"
           "AUDIO=\"hi\"\nhi\n",
       "#EXTM3U\n#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"hi\",DEFAULT=YES,URI=\"hi-de.m3u8\"\n"
       "#EXT-X-STREAM-INF:BANDWIDTH=2,AUDIO=\"hi\"\nhi\n"},
  };
  for (const auto& [master, kept] : cases) EXPECT_EQ(guardPlaylist(master, 50), kept) << master;
}

}  // namespace
}  // namespace radiolist::hls
