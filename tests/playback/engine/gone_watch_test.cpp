// When an address is judged gone for good, from how its connection attempts end (GoneWatch).
#include "playback/engine/gone_watch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace radiolist::audio {
namespace {

net::StreamStats ended(char how) {
  net::StreamStats s;
  switch (how) {
    case '4': s.error = net::StreamError::HttpStatus, s.httpStatus = 404; break;
    case 'G': s.error = net::StreamError::HttpStatus, s.httpStatus = 410; break;
    case '5': s.error = net::StreamError::HttpStatus, s.httpStatus = 503; break;
    case 'N':
      s.error = net::StreamError::Connect, s.connectStep = net::ConnectStep::NameLookup;
      break;
    case 'R': s.error = net::StreamError::Connect, s.connectStep = net::ConnectStep::Refused; break;
    case 'T': s.error = net::StreamError::Stalled; break;
    default: break;  // it answered (and did not play)
  }
  return s;
}

char told(std::optional<StreamGone> gone) {
  if (!gone) return '.';
  switch (*gone) {
    case StreamGone::NotFound: return 'F';
    case StreamGone::NoSuchHost: return 'H';
    case StreamGone::NoAudio: return 'A';
  }
  return '?';
}

// Each character one attempt: 'P' played; else how its own connection to the address ended
// ('4' 404, 'G' 410, '5' 503, 'N' no such host, 'R' refused, 'T' stalled, 'o' answered but
// nothing played), 'p' the stream a page named failed on 404 (not the address's own
// connection), 'L' the address answered a playlist whose entries all failed on 404.
std::string judge(const std::string& attempts) {
  GoneWatch watch;
  std::string out;
  for (const char a : attempts) {
    const net::StreamStats own = ended(a == 'p' ? '4' : a);
    out += told(watch.attemptEnded(
        {.played = a == 'P',
         .own = a == 'p' ? nullptr : &own,
         .entries = a == 'L' ? std::optional(StreamGone::NotFound) : std::nullopt}));
  }
  return out;
}

TEST(GoneWatch, AnAddressIsGoneByItsOwnAnswerOrByTenAttemptsWithoutAudio) {
  struct Case {
    const char* attempts;
    const char* told;
  };
  const std::string ten(10, 'R');
  for (const Case& c : std::vector<Case>{
           // Never played: judged by its first attempt alone.
           {"4", "F"},
           {"G", "F"},
           {"N", "H"},
           {"R", "."},
           {"5", "."},
           {"T", "."},
           {"o", "."},
           {"L", "F"},
           // Played before: ten in a row without audio, whatever each failed on, told once.
           {"PRRRRRRRRR", ".........."},
           {"PRRRRRRRRRRRR", "..........A.."},
           {"P4N5TRo4NRT", "..........A"},
           {"P4444", "....."},
           // A connection that plays again starts the count over, and a later run tells again.
           {"PRRRRRRRRRPRRRRRRRRR", "...................."},
           {"PRRRRRRRRRRPRRRRRRRRRR", "..........A..........A"},
           // A 410 of its own connection says gone for good at once; the stream a page named
           // failing is no news of the address.
           {"PRG", "..F"},
           {"Pppp", "...."},
       }) {
    EXPECT_EQ(judge(c.attempts), c.told) << c.attempts;
  }
}

TEST(GoneWatch, APlaylistLeadsNowhereOnlyWhenEveryEntryTriedWasGone) {
  struct Case {
    const char* entries;  // as above; 'x' an entry that could not be tried
    char told;
  };
  for (const Case& c : std::vector<Case>{{"", '.'},
                                         {"4", 'F'},
                                         {"N4", 'H'},
                                         {"4N", 'F'},
                                         {"4R", '.'},
                                         {"4o", '.'},
                                         {"4x", '.'},
                                         {"x", '.'}}) {
    PlaylistEntriesGone entries;
    for (const char e : std::string(c.entries)) {
      if (e == 'x')
        entries.leadsSomewhere();
      else
        entries.tried(ended(e));
    }
    EXPECT_EQ(told(entries.verdict()), c.told) << c.entries;
  }
}

}  // namespace
}  // namespace radiolist::audio
