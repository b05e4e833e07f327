// Chained Ogg streams from the real Icecast, played through the audio library's calls into a
// PulseAudio null sink of the test's own: tools/ogg-source.py loops three short files (each a
// link with its own tone and title) on a mount of its own, and the test follows the title and
// listens for the tones and for gaps at the links' boundaries.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "playback/bass.h"
#include "playback/engine/shutdown.h"
#include "support/child_process.h"
#include "support/listening_test.h"
#include "support/signal_analysis.h"

namespace {

using namespace std::chrono_literals;
using radiolist::test::SinkRecorder;

constexpr double kRate = SinkRecorder::kSampleRate;

struct Song {
  double tone;
  std::string title;  // as BASS_TAG_META gives it
};

struct Chain {
  std::string mount;
  std::array<Song, 3> songs;
  std::vector<std::string> files;
};

Chain vorbisChain() {
  return {"/chain-vorbis.ogg",
          {{{440, "StreamTitle='Chain Artist - Vorbis 440';"},
            {660, "StreamTitle='Chain Artist - Vorbis 660';"},
            {880, "StreamTitle='Chain Artist - Vorbis 880';"}}},
          {"vorbis-440.ogg", "vorbis-660.ogg", "vorbis-880.ogg"}};
}

Chain opusChain() {
  return {"/chain-opus.ogg",
          {{{330, "StreamTitle='Chain Artist - Opus 330';"},
            {550, "StreamTitle='Chain Artist - Opus 550';"},
            {770, "StreamTitle='Chain Artist - Opus 770';"}}},
          {"opus-330.ogg", "opus-550.ogg", "opus-770.ogg"}};
}

// Links that change codec, sample rate and channel count at each boundary.
Chain mixedChain() {
  return {"/chain-mixed.ogg",
          {{{440, "StreamTitle='Chain Artist - Vorbis 440';"},
            {550, "StreamTitle='Chain Artist - Opus 550';"},
            {770, "StreamTitle='Chain Artist - Flac 770';"}}},
          {"vorbis-440.ogg", "opus-550.ogg", "flac-770.ogg"}};
}

// Which song of the chain dominates a stretch of sound, or -1.
int songHeard(const Chain& chain, std::span<const float> s) {
  for (std::size_t i = 0; i < chain.songs.size(); ++i) {
    if (radiolist::test::toneShare(s, chain.songs[i].tone, kRate) > 0.6) return static_cast<int>(i);
  }
  return -1;
}

// Collapses runs of equal values (dropping -1 and runs shorter than `minRun`).
std::vector<int> runs(const std::vector<int>& values, std::size_t minRun) {
  std::vector<int> out;
  for (std::size_t i = 0; i < values.size();) {
    std::size_t j = i;
    while (j < values.size() && values[j] == values[i]) ++j;
    if (values[i] >= 0 && j - i >= minRun && (out.empty() || out.back() != values[i]))
      out.push_back(values[i]);
    i = j;
  }
  return out;
}

// True when each step goes on to the next song of the loop.
bool followsTheLoop(const std::vector<int>& order) {
  for (std::size_t i = 1; i < order.size(); ++i) {
    if (order[i] != (order[i - 1] + 1) % 3) return false;
  }
  return true;
}

std::string describe(const std::vector<int>& order) {
  std::string s;
  for (int i : order) s += std::to_string(i) + " ";
  return s;
}

class OggChainServerTest : public radiolist::test::ListeningTest {
 protected:
  void TearDown() override {
    ListeningTest::TearDown();
    source_.reset();
  }

  // Starts tools/ogg-source.py looping the chain's files on its mount; returns once it is live.
  void startSource(const Chain& chain) {
    radiolist::test::ChildProcess::Options options;
    options.argv = {"python3",    RL_OGG_SOURCE_PY,
                    "--port",     servers().value("ICECAST_PORT"),
                    "--password", servers().value("ICECAST_SOURCE_PASSWORD"),
                    "--mount",    chain.mount,
                    "--loop"};
    for (const auto& f : chain.files)
      options.argv.push_back(std::string(RL_OGG_MEDIA_DIR) + "/" + f);
    options.captureStdout = true;
    source_ = std::make_unique<radiolist::test::ChildProcess>(options);
    std::string said;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (said.find("LIVE") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd p{source_->stdoutFd(), POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char buf[256];
      const ssize_t n = read(source_->stdoutFd(), buf, sizeof buf);
      if (n <= 0) break;
      said.append(buf, static_cast<std::size_t>(n));
    }
    ASSERT_NE(said.find("LIVE"), std::string::npos) << "ogg-source.py never went live: " << said;
  }

  void playAndFollow(const Chain& chain) {
    ASSERT_NO_FATAL_FAILURE(startSource(chain));
    const HSTREAM h =
        radiolist::test::startLikeTheWindow(servers().mountUrl(chain.mount), true, false).general;
    ASSERT_NE(h, 0u);

    const auto first = recorder().waitFor(
        200ms, 15s, [&](std::span<const float> s) { return songHeard(chain, s) >= 0; });
    if (!first) {
      const auto last = recorder().last(1s);
      FAIL() << "none of the chain's tones within 15 s; channel state " << BASS_ChannelIsActive(h)
             << ", level of the last second " << radiolist::test::rms(last) << ", share of "
             << chain.songs[0].tone << " Hz "
             << radiolist::test::toneShare(last, chain.songs[0].tone, kRate);
    }
    const auto from = recorder().position();

    // Follow the title for a little more than three links (4 s each).
    std::vector<int> titles;
    std::vector<std::string> unknown;
    const auto until = std::chrono::steady_clock::now() + 14s;
    while (std::chrono::steady_clock::now() < until) {
      // The parsed title keeps the comments' artist and title apart, its text the label's.
      if (const auto t = radiolist::audio::channelTitle(h)) {
        EXPECT_EQ(t->artist, "Chain Artist");
        EXPECT_EQ(t->text, t->artist + " - " + t->title);
        EXPECT_TRUE(std::any_of(chain.songs.begin(), chain.songs.end(), [&](const Song& s) {
          return s.title == "StreamTitle='" + t->text + "';";
        })) << t->text;
      }
      if (const char* meta = BASS_ChannelGetTags(h, BASS_TAG_META)) {
        const auto it = std::find_if(chain.songs.begin(), chain.songs.end(),
                                     [meta](const Song& s) { return s.title == meta; });
        if (it == chain.songs.end()) {
          if (unknown.empty() || unknown.back() != meta) unknown.emplace_back(meta);
        } else if (titles.empty() || titles.back() != it - chain.songs.begin()) {
          titles.push_back(static_cast<int>(it - chain.songs.begin()));
        }
      }
      std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(unknown.empty()) << "an unexpected title, e.g. " << unknown.front();
    EXPECT_GE(titles.size(), 3u) << "the title did not change twice: " << describe(titles);
    EXPECT_TRUE(followsTheLoop(titles)) << "titles out of order: " << describe(titles);
    EXPECT_EQ(BASS_ChannelIsActive(h), BASS_ACTIVE_PLAYING);

    // What was heard meanwhile: the tones in the loop's order, and sound throughout.
    const std::vector<float> heard = recorder().since(from);
    ASSERT_GT(heard.size(), SinkRecorder::frames(12s));
    const std::size_t block = SinkRecorder::frames(10ms);
    std::size_t silentRun = 0;
    std::size_t longestSilence = 0;
    std::size_t longestAt = 0;
    for (std::size_t at = 0; at + block <= heard.size(); at += block) {
      const bool silent = radiolist::test::rms(std::span(heard).subspan(at, block)) < 1e-3;
      silentRun = silent ? silentRun + 1 : 0;
      if (silentRun > longestSilence) {
        longestSilence = silentRun;
        longestAt = at;
      }
    }
    EXPECT_LE(longestSilence * 10, 100u) << "a gap of " << longestSilence * 10 << " ms ending "
                                         << longestAt / block * 10 << " ms after the first tone";
    std::vector<int> songs;
    const std::size_t window = SinkRecorder::frames(100ms);
    for (std::size_t at = 0; at + window <= heard.size(); at += window / 2)
      songs.push_back(songHeard(chain, std::span(heard).subspan(at, window)));
    const auto order = runs(songs, 10);  // at least half a second of each
    EXPECT_GE(order.size(), 3u) << "the tone did not change twice: " << describe(order);
    EXPECT_TRUE(followsTheLoop(order)) << "tones out of order: " << describe(order);
  }

  std::unique_ptr<radiolist::test::ChildProcess> source_;
};

TEST_F(OggChainServerTest, AVorbisChainChangesTitleAndToneWithoutAGap) {
  playAndFollow(vorbisChain());
}

TEST_F(OggChainServerTest, AnOpusChainChangesTitleAndToneWithoutAGap) {
  playAndFollow(opusChain());
}

TEST_F(OggChainServerTest, AChainThatChangesCodecAndFormatAtEachLinkPlaysOn) {
  playAndFollow(mixedChain());
}

}  // namespace
