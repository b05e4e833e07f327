// When an address is judged gone for good, from how its connection attempts end (GoneWatch).
#include "playback/engine/gone_watch.h"

#include <gtest/gtest.h>

#include <string>

namespace radiolist::audio {
namespace {

// How a connection ended: '4' 404, 'G' 410, '5' 503, 'N' no such host, 'R' refused, 'T'
// stalled, anything else: it answered (and did not play).
net::StreamStats ended(char how) {
  net::StreamStats s;
  s.error = how == 'N' || how == 'R'                            ? net::StreamError::Connect
            : how == 'T'                                        ? net::StreamError::Stalled
            : std::string("4G5").find(how) != std::string::npos ? net::StreamError::HttpStatus
                                                                : net::StreamError::None;
  s.httpStatus = how == '4' ? 404 : how == 'G' ? 410 : 503;
  s.connectStep = how == 'N' ? net::ConnectStep::NameLookup : net::ConnectStep::Refused;
  return s;
}

char told(std::optional<StreamGone> gone) {
  return !gone ? '.' : "FHA"[static_cast<int>(*gone)];  // NotFound, NoSuchHost, NoAudio
}

// One character per attempt: 'P' it played; else how its own connection to the address ended
// (as ended()), 'p' the stream a page named failed on 404, 'L' the address answered a playlist
// whose entries all failed on 404.
std::string judge(const std::string& attempts) {
  GoneWatch watch;
  std::string out;
  for (const char a : attempts) {
    const net::StreamStats own = ended(a);
    out += told(watch.attemptEnded(
        {.played = a == 'P',
         .own = a == 'p' ? nullptr : &own,
         .entries = a == 'L' ? std::optional(StreamGone::NotFound) : std::nullopt}));
  }
  return out;
}

TEST(GoneWatch, AnAddressIsGoneByItsOwnAnswerOrByTenAttemptsWithoutAudio) {
  for (const auto& [attempts, expected] :
       std::initializer_list<std::pair<const char*, const char*>>{
           // Never played: judged by its first attempt alone.
           {"4", "F"},
           {"G", "F"},
           {"N", "H"},
           {"L", "F"},
           {"R", "."},
           {"5", "."},
           {"T", "."},
           {"o", "."},
           // Played before: ten in a row without audio, whatever each failed on, told once.
           {"PRRRRRRRRR", ".........."},
           {"P4N5TRo4NRTRR", "..........A.."},
           // Audio starts the count over, and a later run tells again.
           {"PRRRRRRRRRPRRRRRRRRR", "...................."},
           {"PRRRRRRRRRRPRRRRRRRRRR", "..........A..........A"},
           // A 410 of its own connection tells at once; a page's stream failing is no news.
           {"PRG", "..F"},
           {"Pppp", "...."},
       }) {
    EXPECT_EQ(judge(attempts), expected) << attempts;
  }
}

TEST(GoneWatch, APlaylistLeadsNowhereOnlyWhenEveryEntryTriedWasGone) {
  // As ended(); 'x' an entry that could not be tried.
  for (const auto& [entries, expected] :
       std::initializer_list<std::pair<const char*, char>>{{"", '.'},
                                                           {"4", 'F'},
                                                           {"N4", 'H'},
                                                           {"4N", 'F'},
                                                           {"4R", '.'},
                                                           {"4o", '.'},
                                                           {"4x", '.'}}) {
    PlaylistEntriesGone judged;
    for (const char e : std::string(entries)) {
      if (e == 'x')
        judged.leadsSomewhere();
      else
        judged.tried(ended(e));
    }
    EXPECT_EQ(told(judged.verdict()), expected) << entries;
  }
}

}  // namespace
}  // namespace radiolist::audio
