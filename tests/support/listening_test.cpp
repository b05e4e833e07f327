#include "support/listening_test.h"

#include <cstring>
#include <thread>

#include "playback/engine/shutdown.h"
#include "support/signal_analysis.h"

namespace radiolist::test {

using namespace std::chrono_literals;

namespace {

// The library's threads end before the test program does, as the program ends them at its exit:
// a decoder that finished while its freed source waited to be taken over is joined then, not
// left running into the process's end.
class LibraryShutdown : public ::testing::Environment {
 public:
  void TearDown() override { audio::shutdownLibrary(); }
};

[[maybe_unused]] ::testing::Environment* const kLibraryShutdown =
    ::testing::AddGlobalTestEnvironment(new LibraryShutdown);

}  // namespace

WindowChannel startLikeTheWindow(const std::string& url, bool general, bool aac) {
  BASS_Free();
  EXPECT_EQ(BASS_Init(-1, 44100, BASS_UNICODE, nullptr, nullptr), 1);
  const std::u16string wide(url.begin(), url.end());
  WindowChannel channel;
  if (general)
    channel.general = BASS_StreamCreateURL(wide.c_str(), 0, BASS_UNICODE, nullptr, nullptr);
  if (aac) channel.aac = BASS_AAC_StreamCreateURL(wide.c_str(), 0, BASS_UNICODE, nullptr, nullptr);
  BASS_ChannelPlay(channel.general, 1);
  BASS_ChannelPlay(channel.aac, 1);
  BASS_Start();
  return channel;
}

std::vector<std::string> tagLines(const char* block) {
  std::vector<std::string> out;
  for (const char* p = block; p != nullptr && *p != '\0'; p += std::strlen(p) + 1)
    out.emplace_back(p);
  return out;
}

std::string metaWithin(HSTREAM h, std::chrono::milliseconds timeout, const std::string& other) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    const char* meta = BASS_ChannelGetTags(h, BASS_TAG_META);
    if (meta != nullptr && *meta != '\0' && meta != other) return meta;
    std::this_thread::sleep_for(100ms);
  }
  return "";
}

void ListeningTest::SetUp() {
  ServerTest::SetUp();
  if (IsSkipped() || HasFatalFailure()) return;
  if (!sink_) {
    sink_ = std::make_unique<PrivateSink>(servers());
    if (sink_->error().empty()) sink_->exportAsDefault();
  }
  ASSERT_EQ(sink_->error(), "");
  recorder_ = std::make_unique<SinkRecorder>(*sink_);
  ASSERT_EQ(recorder_->start(), "");
}

void ListeningTest::TearDown() { BASS_Free(); }

std::optional<std::chrono::milliseconds> ListeningTest::timeToHear(
    double tone, std::chrono::milliseconds timeout) {
  return recorder_->waitFor(200ms, timeout, [tone](std::span<const float> s) {
    return toneShare(s, tone, SinkRecorder::kSampleRate) > 0.5;
  });
}

bool ListeningTest::silentFor(std::chrono::milliseconds duration) {
  const auto from = recorder_->position();
  recorder_->record(duration);
  const auto heard = recorder_->since(from);
  return !heard.empty() && rms(heard) < 1e-3;
}

double ListeningTest::levelOver(std::chrono::milliseconds duration) {
  const auto from = recorder_->position();
  recorder_->record(duration);
  return rms(recorder_->since(from));
}

}  // namespace radiolist::test
