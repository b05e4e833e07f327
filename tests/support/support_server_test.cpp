// The test helpers against the real loopback servers: the recorder hears tones played into the
// null sink and tells them apart, titles set through the admin interface reach listeners, and a
// mount can be taken off the air and brought back.
#include "support/child_process.h"
#include "support/signal_analysis.h"
#include "support/sink_recorder.h"
#include "support/test_servers.h"

#include <curl/curl.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <optional>
#include <vector>

namespace radiolist::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
constexpr double kRate = SinkRecorder::kSampleRate;

class SinkRecorderTest : public ServerTest {
 protected:
  // Plays a tone of `ms` into the null sink through paplay, in the background.
  std::unique_ptr<ChildProcess> playTone(double frequency, int ms) {
    const std::string path =
        testing::TempDir() + "support_tone_" + std::to_string(static_cast<int>(frequency)) + ".wav";
    const auto count = static_cast<std::size_t>(ms) * SinkRecorder::kSampleRate / 1000;
    EXPECT_TRUE(writeWav(path, sine(frequency, 0.5, count, kRate), SinkRecorder::kSampleRate));
    return std::make_unique<ChildProcess>(
        ChildProcess::Options{{"paplay", "--device=" + servers().sink(), path},
                              {{"PULSE_SERVER", servers().pulseServer()}}});
  }
};

bool dominant(std::span<const float> s, double f) { return toneShare(s, f, kRate) > 0.5; }

TEST_F(SinkRecorderTest, HearsSilenceWhileNothingPlays) {
  SinkRecorder rec(servers());
  ASSERT_EQ(rec.start(), "");
  ASSERT_TRUE(rec.record(milliseconds(300)));
  const auto heard = rec.last(milliseconds(300));
  EXPECT_EQ(heard.size(), SinkRecorder::frames(milliseconds(300)));
  EXPECT_LT(rms(heard), 1e-3);
}

TEST_F(SinkRecorderTest, HearsAToneAndTellsFrequenciesApart) {
  SinkRecorder rec(servers());
  ASSERT_EQ(rec.start(), "");
  const std::uint64_t before = rec.position();
  auto player = playTone(440, 1500);

  const auto waited = rec.waitFor(milliseconds(200), seconds(5),
                                  [](std::span<const float> s) { return dominant(s, 440); });
  ASSERT_TRUE(waited.has_value()) << "440 Hz never dominated the sink";
  // The window that first passed may still hold the onset; judge one well inside the tone.
  ASSERT_TRUE(rec.record(milliseconds(300)));
  const auto heard = rec.last(milliseconds(200));
  EXPECT_GT(toneShare(heard, 440, kRate), 0.9);
  EXPECT_LT(toneShare(heard, 880, kRate), 0.01);
  EXPECT_NEAR(rms(heard), 0.5 / std::numbers::sqrt2, 0.05);  // played at 0.5, volume 100 %

  ASSERT_TRUE(player->waitFor(seconds(10)).has_value()) << "paplay did not finish";
  const auto silent = rec.waitFor(milliseconds(200), seconds(3),
                                  [](std::span<const float> s) { return rms(s) < 1e-3; });
  EXPECT_TRUE(silent.has_value()) << "the sink did not fall silent after the tone";
  // The whole recording since the start holds the tone once: about 1.5 s of it.
  const auto all = rec.since(before);
  std::size_t loudBlocks = 0;
  const std::size_t block = SinkRecorder::frames(milliseconds(100));
  for (std::size_t i = 0; i + block <= all.size(); i += block)
    loudBlocks += rms(std::span<const float>(all).subspan(i, block)) > 0.1;
  EXPECT_GE(loudBlocks, 13u);
  EXPECT_LE(loudBlocks, 16u);
}

TEST_F(SinkRecorderTest, HearsTwoTonesPlayingTogether) {
  SinkRecorder rec(servers());
  ASSERT_EQ(rec.start(), "");
  auto low = playTone(440, 2000);
  auto high = playTone(880, 2000);
  const auto both = rec.waitFor(milliseconds(200), seconds(5), [](std::span<const float> s) {
    return toneShare(s, 440, kRate) > 0.3 && toneShare(s, 880, kRate) > 0.3;
  });
  ASSERT_TRUE(both.has_value()) << "440 Hz and 880 Hz were never heard together";
  EXPECT_LT(toneShare(rec.last(milliseconds(200)), 660, kRate), 0.01);
}

TEST_F(SinkRecorderTest, PrivateSinkKeepsItsAudioApartFromTheSharedSink) {
  PrivateSink own(servers());
  ASSERT_EQ(own.error(), "");
  SinkRecorder privateRec(own);
  SinkRecorder sharedRec(servers());
  ASSERT_EQ(privateRec.start(), "");
  ASSERT_EQ(sharedRec.start(), "");
  own.exportAsDefault();
  // paplay names no device: PULSE_SINK sends it to the private sink.
  const std::string path = testing::TempDir() + "support_tone_private.wav";
  ASSERT_TRUE(writeWav(path, sine(660, 0.5, 44100, kRate), SinkRecorder::kSampleRate));
  const std::uint64_t sharedFrom = sharedRec.position();
  ChildProcess player({{"paplay", path}, {{"PULSE_SERVER", servers().pulseServer()}}});
  const auto heard = privateRec.waitFor(milliseconds(200), seconds(5),
                                        [](std::span<const float> s) { return dominant(s, 660); });
  unsetenv("PULSE_SINK");
  ASSERT_TRUE(heard.has_value()) << "the private sink never carried the tone";
  ASSERT_TRUE(player.waitFor(seconds(10)).has_value());
  EXPECT_LT(toneShare(sharedRec.since(sharedFrom), 660, kRate), 0.01)
      << "the tone leaked into the shared sink";
}

// Listens to `url` with ICY metadata and collects the titles of the non-empty metadata blocks
// until one equals `wanted` or `timeout` passes.
std::vector<std::string> icyTitlesUntil(const std::string& url, const std::string& wanted,
                                        seconds timeout) {
  struct State {
    long metaint = 0;
    std::string wanted;
    std::string bytes;
    std::vector<std::string> titles;
  } state;
  state.wanted = wanted;
  CURL* curl = curl_easy_init();
  curl_slist* headers = curl_slist_append(nullptr, "Icy-MetaData: 1");
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, static_cast<long>(timeout.count()));
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &state);
  curl_easy_setopt(
      curl, CURLOPT_HEADERFUNCTION,
      +[](char* data, size_t size, size_t count, void* user) -> size_t {
        const std::string line(data, size * count);
        if (line.rfind("icy-metaint:", 0) == 0)
          static_cast<State*>(user)->metaint = std::stol(line.substr(12));
        return size * count;
      });
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &state);
  curl_easy_setopt(
      curl, CURLOPT_WRITEFUNCTION,
      +[](char* data, size_t size, size_t count, void* user) -> size_t {
        auto& st = *static_cast<State*>(user);
        if (st.metaint <= 0) return 0;
        st.bytes.append(data, size * count);
        // [metaint audio bytes][length / 16][block], repeated.
        const auto mi = static_cast<std::size_t>(st.metaint);
        while (mi < st.bytes.size()) {
          const std::size_t len = static_cast<unsigned char>(st.bytes[mi]) * 16u;
          if (mi + 1 + len > st.bytes.size()) break;
          const std::string block = st.bytes.substr(mi + 1, len);
          st.bytes.erase(0, mi + 1 + len);
          const auto b = block.find("StreamTitle='");
          const auto e = block.find("';", b);
          if (b == std::string::npos || e == std::string::npos) continue;
          st.titles.push_back(block.substr(b + 13, e - b - 13));
          if (st.titles.back() == st.wanted) return 0;  // found: stop
        }
        return size * count;
      });
  curl_easy_perform(curl);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return state.titles;
}

using IcecastTest = ServerTest;

TEST_F(IcecastTest, MountsStartWithTheirInitialTitles) {
  const std::string mp3 = "Test Artist - Tone 440";
  const std::string aac = "Test Artist - Tone 880";
  EXPECT_EQ(icyTitlesUntil(servers().mp3Url(), mp3, seconds(10)), std::vector<std::string>{mp3});
  EXPECT_EQ(icyTitlesUntil(servers().aacUrl(), aac, seconds(10)), std::vector<std::string>{aac});
}

TEST_F(IcecastTest, SetTitleReachesListenersAsUtf8) {
  // A listener starts with Icecast's burst of recent audio, which still carries the title of
  // its time: the new title follows once the burst is played out (about 4-6 s).
  const std::string title = "Кино — Группа крови & 100% + ?=/";
  ASSERT_EQ(servers().setIcecastTitle(servers().value("MOUNT_TONE880_AAC"), title), "");
  const auto begin = std::chrono::steady_clock::now();
  const auto titles = icyTitlesUntil(servers().aacUrl(), title, seconds(15));
  ASSERT_FALSE(titles.empty());
  EXPECT_EQ(titles.back(), title);
  std::printf("new title after %lld ms, titles seen: %zu\n",
              static_cast<long long>(
                  std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - begin)
                      .count()),
              titles.size());
  ASSERT_EQ(servers().setIcecastTitle("tone880.aac", "Test Artist - Tone 880"), "");
}

TEST_F(IcecastTest, SetTitleReportsAnUnknownMount) {
  const std::string error = servers().setIcecastTitle("/no-such-mount.mp3", "x");
  EXPECT_NE(error, "");
  EXPECT_NE(error.find("/no-such-mount.mp3"), std::string::npos) << error;
}

long httpStatus(const std::string& url) {
  CURL* curl = curl_easy_init();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 5L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  // Ends the transfer at the first body bytes; the status line is in by then.
  curl_easy_setopt(
      curl, CURLOPT_WRITEFUNCTION, +[](char*, size_t, size_t, void*) -> size_t { return 0; });
  curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);
  return status;
}

// The response head of a listener request for `url`, lower-cased names, as "name:value" lines.
std::string responseHead(const std::string& url) {
  std::string head;
  CURL* curl = curl_easy_init();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 5L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &head);
  curl_easy_setopt(
      curl, CURLOPT_HEADERFUNCTION,
      +[](char* data, size_t size, size_t count, void* user) -> size_t {
        std::string line(data, size * count);
        const auto colon = line.find(':');
        for (std::size_t i = 0; i < colon && colon != std::string::npos; ++i)
          line[i] = static_cast<char>(std::tolower(line[i]));
        *static_cast<std::string*>(user) += line;
        return size * count;
      });
  curl_easy_setopt(
      curl, CURLOPT_WRITEFUNCTION, +[](char*, size_t, size_t, void*) -> size_t { return 0; });
  curl_easy_perform(curl);
  curl_easy_cleanup(curl);
  return head;
}

TEST_F(IcecastTest, EachMountAnnouncesItsFormatAndStationName) {
  struct Mount {
    std::string url, contentType, name;
  };
  for (const Mount& m : {Mount{servers().mp3Url(), "audio/mpeg", "Test Radio 440"},
                         Mount{servers().aacUrl(), "audio/aac", "Test Radio 880"},
                         Mount{servers().oggUrl(), "application/ogg", "Test Radio 550"}}) {
    const std::string head = responseHead(m.url);
    EXPECT_NE(head.find("content-type: " + m.contentType + "\r\n"), std::string::npos)
        << m.url << "\n"
        << head;
    EXPECT_NE(head.find("icy-name:" + m.name + "\r\n"), std::string::npos) << m.url << "\n" << head;
  }
}

TEST_F(IcecastTest, MountGoesOffTheAirAndComesBack) {
  // The Ogg mount: the tests of the program itself play the MP3 and AAC ones.
  const std::string mount = servers().value("MOUNT_TONE550_OGG");
  ASSERT_EQ(httpStatus(servers().oggUrl()), 200);
  ASSERT_EQ(servers().stopMount(mount), "");
  EXPECT_EQ(httpStatus(servers().oggUrl()), 404);
  ASSERT_EQ(servers().startMount(mount), "");
  EXPECT_EQ(httpStatus(servers().oggUrl()), 200);
}

}  // namespace
}  // namespace radiolist::test
