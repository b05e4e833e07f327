#pragma once
// What a request of the listener's that touches files came to: a save of the song on air, an
// export of the list, an addition of stations, and requests of that kind to come. A code, the
// system's part where there is one, and what it concerns: never a sentence. The side that shows
// it words it, in the listener's language, in one place (app/desktop/outcome_text.h).

#include <cstdint>
#include <string>

#include "files/file.h"

namespace radiolist {

struct Outcome {
  enum class Code : std::uint8_t {
    Done,
    // A file could not be read or written: `path`, and `failure` says why.
    CannotOpen,
    CannotCreate,
    // Saving the song on air.
    NoAudioYet,
    NothingSounds,
    CodecNotSaved,  // `detail`: the stream's codec
    SongEnded,      // the song ended while its file was made
    NoAudioOfSong,  // none of the song heard behind live is kept
    NoMuxer,
    NoAacHeaders,
    OutOfMemory,
    MuxerFailed,  // `detail`: FFmpeg's own words
    NamesUsedUp,  // every name the song may take in the folder `path` exists
    // Adding stations.
    ListUnread,       // `path` may not be saved: `detail`'s last read failed (`failure`)
    ListNotLoaded,    // `path` exists and the window never read it
    Unpaired,         // `count` names and `other` addresses
    NotAFile,         // `path`: the item named no file
    NotAnAddress,     // `path`: an item that is no address that can be played
    AddressNotPlain,  // `path`: an address with characters that show nothing
    AddressTooLong,   // `path`: an address longer than an address may be
    HlsPlaylist,      // `path`
    NoStations,       // `path` holds no station addresses
    NothingAdded,     // all was left out (what, and why, the request's result says)
    ListWriteFailed,  // a list file was not written whole (a full disk, a size limit)
  };

  Code code = Code::Done;
  files::Failure failure;  // the system's part, where there is one
  std::string path;        // the file, folder or item it concerns, as shown (UTF-8)
  std::string detail;
  std::int64_t count = 0;
  std::int64_t other = 0;

  [[nodiscard]] bool done() const { return code == Code::Done; }
  [[nodiscard]] static Outcome file(Code code, std::string path, files::Failure failure) {
    return {code, failure, std::move(path), {}, 0, 0};
  }
  [[nodiscard]] static Outcome cannotCreate(std::string path, int error) {
    return file(Code::CannotCreate, std::move(path), files::Failure::system(error));
  }
  [[nodiscard]] static Outcome about(Code code, std::string path = {}, std::string detail = {}) {
    return {code, {}, std::move(path), std::move(detail), 0, 0};
  }
  friend bool operator==(const Outcome&, const Outcome&) = default;
};

}  // namespace radiolist
