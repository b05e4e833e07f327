#pragma once
// A song saved to a file: its name, its container and the file itself. FFmpeg's muxer for the
// container is fed the kept packets unchanged, with timestamps made anew from their durations (a
// live stream's own start anywhere), writing to the file made here (never to whatever the path
// names later), so a write error comes back with the system's reason. An M4A is fragmented (a
// fragment a second), so that the file plays while it grows and keeps what was written if the
// program is killed before it closes the file; its AAC comes as ADTS from most streams, which the
// header needs as an AudioSpecificConfig: the header waits for the first packet, which
// aac_adtstoasc turns into one. A file that got no packet is removed when closed: it would not
// play.
//
// Threads: a SongFile is used by one thread at a time: made by the save's thread (never the
// window's: it waits for the disk), then written by the source's decoder thread under the song
// buffer's lock, or, for a song of the past, by the save's thread alone.

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "playback/engine/ffmpeg_util.h"
#include "playback/engine/packet_store.h"
#include "playback/song_save.h"
#include "playback/song_title.h"

extern "C" {
#include <libavcodec/bsf.h>
}

namespace radiolist::audio {

// A file name for the song: its title's text ("Artist - Title") and ".ext", with what a file
// name cannot hold or should not show replaced by '_' ('/', control characters of C0 and C1, the
// bidirectional controls that would make "gnp.exe" read backwards, a leading '.'), cut to a sane
// length at a UTF-8 boundary; `n` > 1 adds " (n)" before the extension. `text` is UTF-8. Pure.
[[nodiscard]] std::string songFileName(std::string_view text, std::string_view extension,
                                       int n = 1);
// The names a song may take in one folder: " (2)" up to this.
inline constexpr int kMaxSongFileNumber = 999;

// The container a codec is saved in: "mp3", "m4a", "ogg", or "" for a codec not saved.
[[nodiscard]] std::string_view songExtension(std::string_view codec);

class SongFile {
 public:
  // Makes the song's file in `directory` (made if missing; a file already there is never
  // overwritten, nor a link followed: the first free " (n)") and opens it for `params`: the
  // file, or nothing and why not.
  static std::pair<std::unique_ptr<SongFile>, SongSave> make(
      const std::string& directory, const std::string& extension, const AVCodecParameters& params,
      AVRational timeBase, const SongTitle& title, const std::string& station);

  SongFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~SongFile() { close(); }
  SongFile(const SongFile&) = delete;
  SongFile& operator=(const SongFile&) = delete;

  // Writes one packet; false once the file has failed (error() says why).
  bool write(const PacketStore::Kept& kept, std::deque<std::uint8_t>::const_iterator bytes);
  // Hands what is written to the file now, so that it grows with the song.
  bool flush();

  [[nodiscard]] bool ok() const { return error_.done(); }
  [[nodiscard]] const Outcome& error() const { return error_; }
  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  // Done when the file is ready for packets, else why not.
  Outcome open(std::string_view extension, const AVCodecParameters& params, AVRational timeBase,
               const SongTitle& name, const std::string& station);
  void close();
  static int writeFile(void* opaque, std::uint8_t* data, int size);
  static std::int64_t seekFile(void* opaque, std::int64_t offset, int whence);
  // The system's reason when the file refused a write, else FFmpeg's.
  [[nodiscard]] Outcome ffmpegError(int result) const;
  bool fail(Outcome why);
  bool openAdtsFilter(const AVCodecParameters& params, AVRational timeBase);
  bool writeHeader();

  int fd_;
  std::string path_;
  AVFormatContext* out_ = nullptr;
  AVBSFContext* adts_ = nullptr;  // an M4A of ADTS packets only
  AVDictionary* options_ = nullptr;
  bool headerWritten_ = false;
  AVRational in_{1, 1};
  std::int64_t next_ = 0;
  std::int64_t frameDuration_ = 0;
  std::size_t packets_ = 0;  // written
  int errno_ = 0;            // of the write that failed
  Outcome error_;            // why the file failed; Done while it is fine
};

}  // namespace radiolist::audio
