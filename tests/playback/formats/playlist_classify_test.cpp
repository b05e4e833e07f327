#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "playback/formats/playlist.h"

namespace radiolist::formats {
namespace {

using namespace std::string_literals;

const std::string kM3u = "#EXTM3U\r\n#EXTINF:-1,Radio One\r\nhttp://127.0.0.1:8000/a.mp3\r\n";
const std::string kPlainM3u = "http://stream.example.com:8000/live\n";
const std::string kPls =
    "[playlist]\nNumberOfEntries=1\nFile1=http://127.0.0.1:8000/a.mp3\nTitle1=One\nVersion=2\n";
const std::string kXspf =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<playlist version=\"1\" "
    "xmlns=\"http://xspf.org/ns/0/\">\n"
    "  "
    "<trackList><track><location>http://127.0.0.1:8000/a.mp3</location></track></trackList>\n</"
    "playlist>\n";
const std::string kAsx =
    "<ASX VERSION=\"3.0\">\n<ENTRY><REF HREF=\"http://127.0.0.1:8000/a.mp3\" /></ENTRY>\n</ASX>\n";
const std::string kHlsMedia =
    "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:2\n#EXT-X-MEDIA-SEQUENCE:17\n#EXTINF:2.0,"
    "\nseg17.ts\n";
const std::string kHlsMaster =
    "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=128000,CODECS=\"mp4a.40.2\"\nchunklist_128.m3u8\n";

// The first bytes of real media, as a server sends them.
std::string mp3Frames() {
  std::string b = "\xFF\xFB\x90\x64"s;  // MPEG-1 layer III, 128 kbit/s, 44.1 kHz
  for (int i = 0; i < 600; ++i) b.push_back(static_cast<char>((i * 37) % 256));
  return b;
}
std::string adtsFrames() { return "\xFF\xF1\x50\x80\x02\x1F\xFC"s + std::string(300, '\x21'); }
std::string oggPage() { return "OggS\0\x02"s + std::string(20, '\0') + "\x01\x1E\x01vorbis"s; }
std::string id3Mp3() { return "ID3\x04\0\0\0\0\x01\x00"s + std::string(128, '\0') + mp3Frames(); }
std::string asfHeader() {
  return "\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C"s +
         std::string(64, '\0');
}
std::string mp3MidFrame() {  // a server that starts the body inside a frame: no sync word first
  std::string b;
  for (int i = 0; i < 1024; ++i) b.push_back(static_cast<char>((i * 151 + 7) % 256));
  return b;
}

TEST(ClassifyBody, PlaylistsUnderTheirOwnTypes) {
  EXPECT_EQ(classifyBody("audio/x-mpegurl", kM3u), BodyKind::Playlist);
  EXPECT_EQ(classifyBody("audio/mpegurl", kPlainM3u), BodyKind::Playlist);
  EXPECT_EQ(classifyBody("audio/x-scpls", kPls), BodyKind::Playlist);
  EXPECT_EQ(classifyBody("application/xspf+xml", kXspf), BodyKind::Playlist);
  EXPECT_EQ(classifyBody("video/x-ms-asf", kAsx), BodyKind::Playlist);
  EXPECT_EQ(classifyBody("audio/x-ms-wax", kAsx), BodyKind::Playlist);
  // Relative entries without a header cannot be told from text by their look; the type says it.
  EXPECT_EQ(classifyBody("audio/x-mpegurl", "stream.mp3\n"), BodyKind::Playlist);
  EXPECT_EQ(classifyBody("Audio/X-MpegURL; charset=utf-8", "stream.mp3\n"), BodyKind::Playlist);
}

TEST(ClassifyBody, PlaylistsUnderWrongOrMissingTypesByTheirLook) {
  for (const char* type :
       {"audio/mpeg", "text/plain", "application/octet-stream", "", "text/html", "audio/aacp"}) {
    EXPECT_EQ(classifyBody(type, kM3u), BodyKind::Playlist) << type;
    EXPECT_EQ(classifyBody(type, kPlainM3u), BodyKind::Playlist) << type;
    EXPECT_EQ(classifyBody(type, kPls), BodyKind::Playlist) << type;
    EXPECT_EQ(classifyBody(type, kXspf), BodyKind::Playlist) << type;
    EXPECT_EQ(classifyBody(type, kAsx), BodyKind::Playlist) << type;
    EXPECT_EQ(classifyBody(type, "[Reference]\r\nRef1=http://h/x?MSWMExt=.asf\r\n"),
              BodyKind::Playlist)
        << type;
    EXPECT_EQ(classifyBody(type, "\xEF\xBB\xBF" + kPls), BodyKind::Playlist) << type;
    EXPECT_EQ(classifyBody(type, "\n\n  File1=http://h/a\nTitle1=x\n"), BodyKind::Playlist) << type;
  }
}

TEST(ClassifyBody, HlsWhateverItsType) {
  for (const char* type :
       {"application/vnd.apple.mpegurl", "audio/x-mpegurl", "audio/mpeg", "text/plain", ""}) {
    EXPECT_EQ(classifyBody(type, kHlsMedia), BodyKind::Hls) << type;
    EXPECT_EQ(classifyBody(type, kHlsMaster), BodyKind::Hls) << type;
    EXPECT_EQ(classifyBody(type, "\xEF\xBB\xBF#EXTM3U\r\n#EXT-X-MEDIA-SEQUENCE:1\r\n"),
              BodyKind::Hls)
        << type;
  }
  // Control bytes after the header do not make it media: the decoder must never see a playlist.
  const std::string junk = "# \x01\x02\x03\x04\x05\x06\x07\x08\x0E\x0F\x10\x11\x12\x13\x14\x15\n"s;
  for (const char* type : {"application/vnd.apple.mpegurl", "audio/mpeg", ""}) {
    EXPECT_EQ(
        classifyBody(type, "#EXTM3U\n" + junk + junk + "#EXT-X-STREAM-INF:BANDWIDTH=1\nv.m3u8\n"),
        BodyKind::Hls)
        << type;
    EXPECT_EQ(classifyBody(type, " #extm3u\r\n" + junk + junk + "http://h/a\n"), BodyKind::Playlist)
        << type;
  }
  // #EXTINF and #EXT-X-VERSION alone are no HLS: radio M3U files carry them too.
  EXPECT_EQ(
      classifyBody("audio/x-mpegurl", "#EXTM3U\n#EXT-X-VERSION:3\n#EXTINF:-1,R\nhttp://h/a\n"),
      BodyKind::Playlist);
  // HLS needs its header; a tag in a plain list does not make one.
  EXPECT_EQ(classifyBody("audio/x-mpegurl", "http://h/a\n#EXT-X-TARGETDURATION:2\n"),
            BodyKind::Playlist);
}

TEST(ClassifyBody, MediaStaysMediaUnderAnyType) {
  for (const char* type :
       {"audio/mpeg", "audio/x-mpegurl", "audio/x-scpls", "video/x-ms-asf", "text/plain", "",
        "application/vnd.apple.mpegurl", "application/octet-stream"}) {
    EXPECT_EQ(classifyBody(type, mp3Frames()), BodyKind::Media) << type;
    EXPECT_EQ(classifyBody(type, adtsFrames()), BodyKind::Media) << type;
    EXPECT_EQ(classifyBody(type, oggPage()), BodyKind::Media) << type;
    EXPECT_EQ(classifyBody(type, id3Mp3()), BodyKind::Media) << type;
    EXPECT_EQ(classifyBody(type, asfHeader()), BodyKind::Media) << type;
    EXPECT_EQ(classifyBody(type, mp3MidFrame()), BodyKind::Media) << type;
    EXPECT_EQ(classifyBody(type,
                           "\0\0\0\x20"
                           "ftypM4A \0\0\0\0"s),
              BodyKind::Media)
        << type;
  }
}

std::string fileBytes(const std::string& name) {
  const std::string path = std::string(RL_FORMATS_MEDIA_DIR) + "/" + name;
  std::string bytes(std::filesystem::file_size(path), '\0');
  std::ifstream(path, std::ios::binary)
      .read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

TEST(ClassifyBody, EncodedAudioFromAnyOffsetIsMediaEvenUnderPlaylistTypes) {
  for (const char* name : {"tone.mp3", "silence.mp3", "tone.aac", "tone.ogg"}) {
    const std::string audio = fileBytes(name);
    ASSERT_GT(audio.size(), 10'000u) << name;
    for (std::size_t offset = 0; offset + 1024 <= audio.size(); offset += 331) {
      const std::string_view first = std::string_view(audio).substr(offset, 1024);
      for (const char* type : {"audio/x-mpegurl", "audio/x-scpls", "video/x-ms-asf", ""}) {
        ASSERT_EQ(classifyBody(type, first), BodyKind::Media)
            << name << " at " << offset << " " << type;
      }
    }
  }
}

TEST(ClassifyBody, PagesAndOtherTextAreMedia) {
  const std::string page =
      "<!DOCTYPE html>\n<html><head><title>Login</title></head><body>No</body></html>\n";
  EXPECT_EQ(classifyBody("text/html", page), BodyKind::Media);
  EXPECT_EQ(classifyBody("audio/x-mpegurl", page), BodyKind::Media);
  EXPECT_EQ(classifyBody("audio/x-scpls", "<html><body>404</body></html>"), BodyKind::Media);
  EXPECT_EQ(classifyBody("text/plain", "Service temporarily unavailable\n"), BodyKind::Media);
  EXPECT_EQ(classifyBody("", "stream.mp3\n"), BodyKind::Media);
  EXPECT_EQ(classifyBody("audio/mpeg", ""), BodyKind::Media);
  // A body that has not started yet under a playlist type: the caller reads it as a playlist
  // and finds no entries.
  EXPECT_EQ(classifyBody("audio/x-scpls", ""), BodyKind::Playlist);
}

TEST(ClassifyBody, Utf16PlaylistsAreReadButAnMpegSyncIsNotText) {
  auto utf16le = [](std::string_view ascii) {
    std::string out = "\xFF\xFE";
    for (const char c : ascii) {
      out.push_back(c);
      out.push_back('\0');
    }
    return out;
  };
  EXPECT_EQ(classifyBody("video/x-ms-asf", utf16le(kAsx)), BodyKind::Playlist);
  EXPECT_EQ(classifyBody("", utf16le(kPls)), BodyKind::Playlist);
  // 0xFF 0xFE is also a layer I frame header.
  EXPECT_EQ(classifyBody("audio/mpeg", "\xFF\xFE\x90\x64"s + std::string(400, '\x55')),
            BodyKind::Media);
  EXPECT_EQ(playlistEntries(utf16le(kAsx), "http://h/"),
            (std::vector<std::string>{"http://127.0.0.1:8000/a.mp3"}));
}

TEST(IsPlaylistContentType, KnowsTheTypesServersUse) {
  for (const char* type : {"audio/x-mpegurl", "audio/mpegurl", "application/x-mpegurl",
                           "application/vnd.apple.mpegurl", "audio/x-scpls", "application/pls+xml",
                           "application/xspf+xml", "video/x-ms-asf", "video/x-ms-asx",
                           "audio/x-ms-wax", "AUDIO/X-SCPLS", " audio/x-mpegurl ; charset=x"}) {
    EXPECT_TRUE(isPlaylistContentType(type)) << type;
  }
  for (const char* type : {"", "audio/mpeg", "audio/aac", "application/ogg", "text/plain",
                           "text/html", "audio/x-mpegurlx", "x-mpegurl"}) {
    EXPECT_FALSE(isPlaylistContentType(type)) << type;
  }
}

TEST(SniffPlaylist, NamesTheFormat) {
  EXPECT_EQ(sniffPlaylist(kM3u), PlaylistFormat::M3u);
  EXPECT_EQ(sniffPlaylist(kPlainM3u), PlaylistFormat::M3u);
  EXPECT_EQ(sniffPlaylist("# comment\n\nmms://h/x\n"), PlaylistFormat::M3u);
  EXPECT_EQ(sniffPlaylist(kPls), PlaylistFormat::Pls);
  EXPECT_EQ(sniffPlaylist("  [PlayList]\r\n"), PlaylistFormat::Pls);
  EXPECT_EQ(sniffPlaylist(kXspf), PlaylistFormat::Xspf);
  EXPECT_EQ(
      sniffPlaylist("<!-- made by hand -->\n<xspf:playlist xmlns:xspf=\"http://xspf.org/ns/0/\">"),
      PlaylistFormat::Xspf);
  EXPECT_EQ(sniffPlaylist(kAsx), PlaylistFormat::Asx);
  EXPECT_EQ(sniffPlaylist("<asx version='3'>"), PlaylistFormat::Asx);
  EXPECT_EQ(sniffPlaylist("[Reference]\nRef1=http://h/\n"), PlaylistFormat::Reference);
  EXPECT_EQ(sniffPlaylist("<html><body>x</body></html>"), PlaylistFormat::Unknown);
  EXPECT_EQ(sniffPlaylist("hello world\nhttp://h/\n"), PlaylistFormat::Unknown);
  EXPECT_EQ(sniffPlaylist("see http://h/ for more\n"), PlaylistFormat::Unknown);
  EXPECT_EQ(sniffPlaylist(""), PlaylistFormat::Unknown);
}

}  // namespace
}  // namespace radiolist::formats
