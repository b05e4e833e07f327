// HttpStream against tools/teststream.py on loopback: the real curl transport, real sockets.

#include "playback/net/http_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <thread>

#include "test_stream_server.h"

namespace radiolist::net {
namespace {

using namespace std::chrono_literals;
using test::TestStreamServer;
using Clock = std::chrono::steady_clock;

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s) {
  const auto deadline = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

std::shared_ptr<HttpStream> open(const std::string& url, StreamOptions options = {}) {
  options.url = url;
  return HttpStream::start(std::move(options));
}

// Reads until `count` audio bytes arrived or the stream stops giving any for 5 s.
std::vector<std::byte> readBytes(HttpStream& s, std::size_t count) {
  std::vector<std::byte> out;
  std::vector<std::byte> buf(4096);
  while (out.size() < count) {
    const std::size_t n =
        s.read(std::span(buf).first(std::min(buf.size(), count - out.size())), 5s);
    if (n == 0) break;
    out.insert(out.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n));
  }
  return out;
}

// teststream.py's generated audio counts 0..250 and wraps; every run of it must do so too.
::testing::AssertionResult isCountingRun(const std::vector<std::byte>& bytes, int first = -1) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const int expected = i == 0 ? first : (std::to_integer<int>(bytes[i - 1]) + 1) % 251;
    if (expected >= 0 && std::to_integer<int>(bytes[i]) != expected)
      return ::testing::AssertionFailure()
             << "byte " << i << " is " << std::to_integer<int>(bytes[i]) << ", expected "
             << expected;
  }
  return ::testing::AssertionSuccess();
}

StreamState waitForEnd(HttpStream& s, std::chrono::milliseconds limit = 20s) {
  waitUntil(
      [&] { return s.state() != StreamState::Connecting && s.state() != StreamState::Streaming; },
      limit);
  return s.state();
}

TEST(HttpStream, IcyStreamGivesExactHeadAudioAndChangingTitles) {
  TestStreamServer server({"--status", "icy", "--metaint", "1000", "--header", "icy-name: Test FM",
                           "--header", "icy-br:128", "--title", "Artist - One", "--title",
                           "Artist - Two", "--title-interval", "1"});
  auto s = open(server.url("/live"));
  const auto audio = readBytes(*s, 40000);
  ASSERT_EQ(audio.size(), 40000u);
  EXPECT_TRUE(isCountingRun(audio, 0));
  EXPECT_EQ(s->state(), StreamState::Streaming);

  const auto head = s->head();
  ASSERT_TRUE(head);
  EXPECT_EQ(head->lines,
            (std::vector<std::string>{"ICY 200 OK", "Content-Type: audio/mpeg", "icy-name: Test FM",
                                      "icy-br:128", "icy-metaint: 1000"}));
  EXPECT_TRUE(head->icy);
  EXPECT_EQ(head->metaint, 1000);
  EXPECT_EQ(head->contentType, "audio/mpeg");
  EXPECT_EQ(head->effectiveUrl, server.url("/live"));

  std::vector<std::string> titles;
  waitUntil([&] {
    readBytes(*s, 4096);
    const auto meta = s->latestMeta();
    if (meta && (titles.empty() || titles.back() != *meta)) titles.push_back(*meta);
    return titles.size() >= 2;
  });
  ASSERT_GE(titles.size(), 2u);
  EXPECT_NE(std::find(titles.begin(), titles.end(), "StreamTitle='Artist - One';"), titles.end());
  EXPECT_NE(std::find(titles.begin(), titles.end(), "StreamTitle='Artist - Two';"), titles.end());

  const auto log = server.requestLog();
  EXPECT_NE(std::find(log.begin(), log.end(), "REQ Icy-MetaData: 1"), log.end());
  EXPECT_NE(std::find(log.begin(), log.end(), "REQ User-Agent: radiolist/0.1"), log.end());
  EXPECT_NE(std::find(log.begin(), log.end(), "REQ GET /live HTTP/1.1"), log.end());
}

TEST(HttpStream, HttpStatusLinesGiveHttpHeads) {
  for (const char* form : {"http10", "http11"}) {
    TestStreamServer server(
        {"--status", form, "--header", "icy-name:Plain", "--content-type", "Audio/AACP; x=y"});
    auto s = open(server.url());
    EXPECT_TRUE(isCountingRun(readBytes(*s, 5000), 0)) << form;
    const auto head = s->head();
    ASSERT_TRUE(head) << form;
    EXPECT_EQ(head->lines,
              (std::vector<std::string>{
                  std::string(form) == "http10" ? "HTTP/1.0 200 OK" : "HTTP/1.1 200 OK",
                  "Content-Type: Audio/AACP; x=y", "icy-name:Plain"}));
    EXPECT_FALSE(head->icy);
    EXPECT_EQ(head->metaint, 0);
    EXPECT_EQ(head->contentType, "audio/aacp");
    EXPECT_FALSE(s->latestMeta());
  }
}

TEST(HttpStream, FollowsRedirectsWithoutLeakingTheirHeaders) {
  TestStreamServer server({"--redirect-chain", "3", "--header", "icy-name: Final", "--metaint",
                           "500", "--title", "After redirects"});
  auto s = open(server.url("/"));
  EXPECT_TRUE(isCountingRun(readBytes(*s, 3000), 0));
  const auto head = s->head();
  ASSERT_TRUE(head);
  EXPECT_EQ(head->lines, (std::vector<std::string>{"ICY 200 OK", "Content-Type: audio/mpeg",
                                                   "icy-name: Final", "icy-metaint: 500"}));
  EXPECT_EQ(head->effectiveUrl, server.url("/stream"));
  EXPECT_EQ(s->stats().redirects, 3);
  EXPECT_EQ(s->latestMeta(), "StreamTitle='After redirects';");
}

TEST(HttpStream, RedirectLoopFails) {
  TestStreamServer server({"--redirect-self"});
  auto s = open(server.url("/loop"));
  EXPECT_EQ(waitForEnd(*s), StreamState::Failed);
  EXPECT_EQ(s->stats().error, StreamError::TooManyRedirects);
  EXPECT_FALSE(s->head());
  std::byte b[16];
  EXPECT_EQ(s->read(b, 1s), 0u);
}

TEST(HttpStream, ErrorStatusFailsWithoutAHead) {
  for (const char* form : {"http11", "icy"}) {
    TestStreamServer server({"--status", form, "--status-code", "404"});
    auto s = open(server.url());
    EXPECT_EQ(waitForEnd(*s), StreamState::Failed) << form;
    EXPECT_EQ(s->stats().error, StreamError::HttpStatus) << form;
    EXPECT_EQ(s->stats().httpStatus, 404) << form;
    EXPECT_FALSE(s->head()) << form;
  }
}

TEST(HttpStream, BufferStaysBoundedAndTransferPausesWhenNobodyReads) {
  TestStreamServer server({"--rate", "0", "--metaint", "8192", "--title", "T"});
  StreamOptions options;
  options.bufferBytes = 64 * 1024;
  options.stallTimeout = 1s;  // a paused transfer must not count as stalled
  auto s = open(server.url(), options);
  ASSERT_TRUE(waitUntil([&] { return s->stats().paused; }));
  const auto atPause = s->stats();
  EXPECT_EQ(atPause.bufferCapacity, 64u * 1024);
  EXPECT_LE(atPause.buffered, atPause.bufferCapacity);
  EXPECT_GT(atPause.buffered, atPause.bufferCapacity - kMinBufferBytes);

  std::this_thread::sleep_for(2500ms);
  const auto later = s->stats();
  EXPECT_EQ(later.bodyBytes, atPause.bodyBytes) << "nothing is taken while paused";
  EXPECT_EQ(s->state(), StreamState::Streaming);

  // Reading resumes the transfer and the bytes run on without a gap.
  const auto audio = readBytes(*s, 1 << 20);
  ASSERT_EQ(audio.size(), 1u << 20);
  EXPECT_TRUE(isCountingRun(audio, 0));
  EXPECT_LE(s->stats().buffered, 64u * 1024);
}

TEST(HttpStream, DropBufferedDiscardsWhatWaited) {
  TestStreamServer server({"--rate", "0"});
  StreamOptions options;
  options.bufferBytes = 64 * 1024;
  auto s = open(server.url(), options);
  ASSERT_TRUE(waitUntil([&] { return s->stats().paused; }));
  const auto before = s->stats();  // paused: nothing is added until the drop resumes it
  s->dropBuffered();
  // The transfer resumes after a drop, and what comes is still a gapless run.
  const auto audio = readBytes(*s, 200000);
  EXPECT_EQ(audio.size(), 200000u);
  EXPECT_TRUE(isCountingRun(audio));
  const auto after = s->stats();
  EXPECT_EQ(after.audioBytes - after.buffered - audio.size(), before.buffered)
      << "exactly the waiting bytes went";
  EXPECT_GT(before.buffered, 0u);
}

TEST(HttpStream, CancelWakesABlockedReadAndTheThreadEnds) {
  TestStreamServer server({"--silent"});
  const std::size_t transfersBefore = HttpStream::liveTransfers();
  auto s = open(server.url());
  std::atomic<bool> returned{false};
  std::size_t got = 99;
  const auto before = Clock::now();
  std::thread reader([&] {
    std::byte b[64];
    got = s->read(b, 60s);
    returned = true;
  });
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(returned);
  s->cancel();
  reader.join();
  EXPECT_EQ(got, 0u);
  EXPECT_LT(Clock::now() - before, 30s) << "read() returned at its timeout, not at cancel()";
  EXPECT_EQ(s->state(), StreamState::Cancelled);
  EXPECT_TRUE(waitUntil([&] { return HttpStream::liveTransfers() <= transfersBefore; }));
}

TEST(HttpStream, DroppingTheLastHandleEndsTheThread) {
  TestStreamServer server({"--drip", "body"});
  const std::size_t transfersBefore = HttpStream::liveTransfers();
  for (int i = 0; i < 200; ++i) {
    auto s = open(server.url());
    if (i % 2 == 0) waitUntil([&] { return s->head() != nullptr; });
  }
  EXPECT_TRUE(waitUntil([&] { return HttpStream::liveTransfers() <= transfersBefore; }));
}

TEST(HttpStream, DripServerNeverBlocksTheReaderPastItsTimeout) {
  TestStreamServer server({"--drip", "body", "--metaint", "4", "--title", "Slow"});
  auto s = open(server.url());
  ASSERT_TRUE(waitUntil([&] { return s->head() != nullptr; }));
  std::byte b[64];
  for (int i = 0; i < 3; ++i) {
    const auto before = Clock::now();
    const std::size_t n = s->read(b, 300ms);
    EXPECT_LE(n, 4u);
    EXPECT_LT(Clock::now() - before, 5s);
  }
  EXPECT_EQ(s->state(), StreamState::Streaming);
}

TEST(HttpStream, HeadThatNeverCompletesTimesOut) {
  for (const char* fault : {"--silent", "--drip"}) {
    std::vector<std::string> args{fault};
    if (std::string(fault) == "--drip") args.push_back("all");
    TestStreamServer server(args);
    StreamOptions options;
    options.headTimeout = 1500ms;
    auto s = open(server.url(), options);
    EXPECT_EQ(waitForEnd(*s), StreamState::Failed) << fault;
    EXPECT_EQ(s->stats().error, StreamError::HeadTimeout) << fault;
    EXPECT_FALSE(s->head()) << fault;
  }
}

TEST(HttpStream, OversizedHeadsFail) {
  for (const char* fault : {"--endless-headers", "--huge-header"}) {
    TestStreamServer server({fault});
    auto s = open(server.url());
    EXPECT_EQ(waitForEnd(*s), StreamState::Failed) << fault;
    EXPECT_FALSE(s->head()) << fault;
    EXPECT_EQ(s->stats().error, StreamError::HeadTooLarge) << fault;
  }
}

TEST(HttpStream, DroppedConnectionEndsAfterTheLastByte) {
  TestStreamServer server({"--status", "http10", "--rate", "0", "--metaint", "1000", "--title",
                           "Before drop", "--drop-after", "5500"});
  auto s = open(server.url());
  const auto audio = readBytes(*s, 100000);
  EXPECT_EQ(waitForEnd(*s), StreamState::Ended);
  // 5500 body bytes: 5 runs of 1000 audio bytes, 5 blocks (one titled, 4 empty), then audio.
  const std::size_t titled =
      1 + 16 * ((std::string("StreamTitle='Before drop';").size() + 15) / 16);
  EXPECT_EQ(audio.size(), 5500 - titled - 4);
  EXPECT_TRUE(isCountingRun(audio, 0));
  EXPECT_EQ(s->latestMeta(), "StreamTitle='Before drop';");
}

TEST(HttpStream, ConnectionDroppedInsideAMetadataBlockKeepsTheLastWholeTitle) {
  TestStreamServer server({"--rate", "0", "--metaint", "1000", "--title", "Whole", "--repeat-meta",
                           "--drop-after", "3000", "--drop-in-meta"});
  auto s = open(server.url());
  const auto audio = readBytes(*s, 100000);
  EXPECT_EQ(waitForEnd(*s), StreamState::Ended);
  EXPECT_EQ(audio.size(), 3000u);
  EXPECT_TRUE(isCountingRun(audio, 0));
  EXPECT_EQ(s->latestMeta(), "StreamTitle='Whole';");
  EXPECT_EQ(s->stats().metaBlocks, 2u);
}

TEST(HttpStream, AbsurdMetaintValuesMeanNoInterleaving) {
  for (const char* value : {"0", "2147483648", "abc", "-8192"}) {
    TestStreamServer server({"--announce-metaint", value, "--rate", "0"});
    auto s = open(server.url());
    EXPECT_TRUE(isCountingRun(readBytes(*s, 50000), 0)) << value;
    ASSERT_TRUE(s->head()) << value;
    EXPECT_EQ(s->head()->metaint, 0) << value;
    EXPECT_EQ(s->head()->lines.back(), std::string("icy-metaint: ") + value);
  }
}

TEST(HttpStream, MetaintOfOneStillDeinterleaves) {
  TestStreamServer server({"--metaint", "1", "--rate", "2000", "--title", "Tiny"});
  auto s = open(server.url());
  EXPECT_TRUE(isCountingRun(readBytes(*s, 3000), 0));
  EXPECT_EQ(s->latestMeta(), "StreamTitle='Tiny';");
}

TEST(HttpStream, BadMetadataKeepsStreamingWithBoundedMemory) {
  {
    TestStreamServer server({"--metaint", "100", "--nul-meta", "--rate", "0"});
    auto s = open(server.url());
    EXPECT_TRUE(isCountingRun(readBytes(*s, 100000), 0)) << "NUL-only blocks";
    EXPECT_FALSE(s->latestMeta());
    EXPECT_EQ(s->state(), StreamState::Streaming);
  }
  {
    TestStreamServer server({"--metaint", "100", "--bad-meta-length", "--title", "Liar",
                             "--repeat-meta", "--rate", "0"});
    StreamOptions options;
    options.bufferBytes = 64 * 1024;
    auto s = open(server.url(), options);
    EXPECT_EQ(readBytes(*s, 300000).size(), 300000u) << "length byte past the data";
    // After the first lie everything is audio read as metadata and the other way round; what
    // is kept is at most one block and never holds control bytes.
    const auto meta = s->latestMeta();
    ASSERT_TRUE(meta);
    EXPECT_LE(meta->size(), 255u * 16);
    EXPECT_TRUE(std::none_of(meta->begin(), meta->end(), [](char c) { return c >= 0 && c < 0x20; }))
        << *meta;
    EXPECT_EQ(s->state(), StreamState::Streaming);
    EXPECT_LE(s->stats().buffered, 64u * 1024);
  }
  {
    TestStreamServer server({"--random-body", "--metaint", "16000", "--rate", "0"});
    auto s = open(server.url());
    EXPECT_EQ(readBytes(*s, 200000).size(), 200000u) << "random body";
    EXPECT_EQ(s->state(), StreamState::Streaming);
  }
}

TEST(HttpStream, StreamThatGoesQuietFailsAsStalled) {
  TestStreamServer server({"--rate", "0", "--stall-after", "5000"});
  StreamOptions options;
  options.stallTimeout = 1s;
  auto s = open(server.url(), options);
  const auto audio = readBytes(*s, 100000);
  EXPECT_EQ(audio.size(), 5000u);
  EXPECT_EQ(waitForEnd(*s), StreamState::Failed);
  EXPECT_EQ(s->stats().error, StreamError::Stalled);
  ASSERT_TRUE(s->head());
}

// A self-signed certificate for 127.0.0.1 in a scratch directory.
struct Certificate {
  std::string dir, cert, key;
  Certificate() {
    char dirTemplate[] = "/tmp/rl-cert-XXXXXX";
    dir = mkdtemp(dirTemplate);
    cert = dir + "/cert.pem";
    key = dir + "/key.pem";
    const std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
        " -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " +
        key + " -out " + cert + " >/dev/null 2>&1";
    ok = std::system(command.c_str()) == 0;
  }
  ~Certificate() { std::system(("rm -rf " + dir).c_str()); }
  bool ok = false;
};

TEST(HttpStream, HttpsStreamsWhenTheCertificateIsTrusted) {
  Certificate certificate;
  ASSERT_TRUE(certificate.ok) << "openssl could not make a test certificate";
  TestStreamServer server({"--tls-cert", certificate.cert, "--tls-key", certificate.key,
                           "--metaint", "1000", "--title", "Secure", "--header",
                           "icy-name: TLS FM"});
  StreamOptions options;
  options.caFile = certificate.cert;
  auto s = open(server.url(), options);
  EXPECT_TRUE(isCountingRun(readBytes(*s, 20000), 0));
  ASSERT_TRUE(s->head());
  EXPECT_EQ(s->head()->lines[2], "icy-name: TLS FM");
  EXPECT_EQ(s->latestMeta(), "StreamTitle='Secure';");
}

TEST(HttpStream, HttpsRefusesACertificateTheSystemDoesNotTrust) {
  Certificate certificate;
  ASSERT_TRUE(certificate.ok) << "openssl could not make a test certificate";
  TestStreamServer server({"--tls-cert", certificate.cert, "--tls-key", certificate.key});
  auto s = open(server.url());
  EXPECT_EQ(waitForEnd(*s), StreamState::Failed);
  EXPECT_EQ(s->stats().error, StreamError::Connect);
  EXPECT_FALSE(s->head());
}

TEST(HttpStream, ProcessExitsCleanlyWhileStreamsRun) {
  Certificate certificate;
  ASSERT_TRUE(certificate.ok) << "openssl could not make a test certificate";
  TestStreamServer server(
      {"--tls-cert", certificate.cert, "--tls-key", certificate.key, "--rate", "0"});
  // The default death-test style forks right here, so the child uses this server and
  // certificate; no stream thread of this process may run then, or fork would lose it midway.
  ASSERT_TRUE(waitUntil([] { return HttpStream::liveTransfers() == 0; }));
  EXPECT_EXIT(
      {
        StreamOptions options;
        options.url = server.url();
        options.caFile = certificate.cert;
        std::vector<std::shared_ptr<HttpStream>> streams;
        for (int i = 0; i < 8; ++i) streams.push_back(HttpStream::start(options));
        waitUntil([&] {
          return std::all_of(streams.begin(), streams.end(),
                             [](auto& s) { return s->head() != nullptr; });
        });
        std::exit(HttpStream::liveTransfers() == 8 ? 3 : 4);  // transfers still inside TLS reads
      },
      ::testing::ExitedWithCode(3), "");
}

TEST(HttpStream, EmptyBodyEndsWithAHead) {
  TestStreamServer server({"--empty-body", "--header", "icy-name: Nothing"});
  auto s = open(server.url());
  EXPECT_EQ(waitForEnd(*s), StreamState::Ended);
  ASSERT_TRUE(s->head());
  EXPECT_EQ(s->head()->lines.back(), "icy-name: Nothing");
  std::byte b[16];
  EXPECT_EQ(s->read(b, 1s), 0u);
}

TEST(HttpStream, ImpossibleAddressesFailAtOnceWithoutAThread) {
  const std::size_t transfersBefore = HttpStream::liveTransfers();
  for (const std::string& url :
       {std::string(), std::string("http://"), std::string("ftp://host/a.mp3"),
        "http://host/" + std::string(100'000, 'a')}) {
    auto s = open(url);
    EXPECT_EQ(s->state(), StreamState::Failed);
    EXPECT_EQ(s->stats().error, StreamError::BadUrl);
  }
  EXPECT_EQ(HttpStream::liveTransfers(), transfersBefore);
}

TEST(HttpStream, RefusedConnectionFails) {
  int port = 0;
  {
    TestStreamServer server({});
    port = server.port();
  }  // nobody listens there any more
  auto s = open("http://127.0.0.1:" + std::to_string(port) + "/");
  EXPECT_EQ(waitForEnd(*s), StreamState::Failed);
  EXPECT_EQ(s->stats().error, StreamError::Connect);
}

// A stream that may reach public addresses only never connects to this machine, by its address
// or by a name that resolves to it; the same address plays when it may.
TEST(HttpStream, PublicOnlyNeverConnectsToThisMachine) {
  TestStreamServer server({"--rate", "0"});
  StreamOptions publicOnly;
  publicOnly.reach = Reach::PublicOnly;
  std::string byName = server.url();
  byName.replace(byName.find("127.0.0.1"), 9, "localhost");
  for (const std::string& url : {server.url(), byName}) {
    auto refused = open(url, publicOnly);
    EXPECT_EQ(waitForEnd(*refused), StreamState::Failed) << url;
    EXPECT_EQ(refused->stats().httpStatus, 0) << url << ": no request reached the server";
  }
  auto allowed = open(server.url());
  EXPECT_EQ(readBytes(*allowed, 1000).size(), 1000u);
}

}  // namespace
}  // namespace radiolist::net
