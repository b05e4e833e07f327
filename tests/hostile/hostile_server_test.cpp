// The window on the real audio library while a channel's server misbehaves: line 0 of the list is
// a hostile server (tools/teststream.py with one fault, or tools/static-server.py serving hostile
// playlists), line 1 the loopback Icecast 440 Hz MP3.
// For each fault the window starts line 0 by itself and polls it for a while; the event loop must
// keep ticking, no error box may appear, nothing may crash, and a click on line 1 must then play
// 440 Hz. The process's resident memory (its live heap under AddressSanitizer) is compared before
// and after all faults. Whatever a body says, the library must not open a file, bind a UDP port
// or make a request that is not its own.

#include <fcntl.h>
#include <poll.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "app/window/globals.h"
#include "app/core/player.h"
#include "app/window/unit1.h"
#include "playback/playback_controls.h"
#include "app/window/vcl.h"
#include "playback/audio_library.h"
#include "playback/net/test_stream_server.h"
#include "support/child_process.h"
#include "support/proc_status.h"
#include "support/signal_analysis.h"
#include "support/sink_recorder.h"
#include "support/test_servers.h"

using namespace std::chrono_literals;
using radiolist::test::TestStreamServer;
using radiolist::test::toneShare;

namespace {

constexpr double kRate = radiolist::test::SinkRecorder::kSampleRate;
// Longest a click or a library call may take on the UI thread (less its run-queue wait).
// Generous: a sanitizer build and a loaded machine both slow the handlers down, but a blocking
// network wait is seconds.
constexpr auto kMaxStall = 200ms;
// Longest the UI thread may sleep between two event-loop turns outside those calls. Wider: on a
// shared runner a page fault or a small file read can wait a few hundred milliseconds behind
// other processes' disk writes, which is not the window waiting on a server; a window frozen by
// one would sleep for seconds.
constexpr auto kMaxSleep = 1000ms;
constexpr long kMaxRssGrowthKiB = 64 * 1024;

long rssKiB() { return radiolist::test::statusKiB("self", "VmRSS"); }

#if defined(__SANITIZE_ADDRESS__)
// Under AddressSanitizer freed blocks sit in its quarantine and count as resident, so the live
// heap the sanitizer's allocator reports stands in for the resident set.
constexpr bool kHeapFromSanitizer = true;
}  // namespace
// From the sanitizer runtime (GCC ships no header for it).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
namespace {
long liveKiB() { return static_cast<long>(__sanitizer_get_current_allocated_bytes() / 1024); }
#else
constexpr bool kHeapFromSanitizer = false;
long liveKiB() { return rssKiB(); }
#endif

// An even UDP port that was free a moment ago: what an SDP body asks to be bound.
int freeUdpPort() {
  for (int attempt = 0; attempt < 20; ++attempt) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    socklen_t length = sizeof address;
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    ::close(fd);
    const int port = ntohs(address.sin_port);
    if (bound && port % 2 == 0) return port;
  }
  return 5004;
}

void writeBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// A scratch directory with the certificate for the TLS faults and a short MP3 at 660 Hz, so that
// the faults in the ICY framing come with real audio and what the hostile channel plays, if
// anything, can be told apart from the channel that follows it. Bodies that name other resources:
// a concat list of a file in the current directory and an SDP description of an RTP port.
struct Material {
  std::string dir, cert, key, mp3, ffconcat, sdp, hls, junkAac, tinyFlac;
  std::string error;
  Material() {
    char dirTemplate[] = "/tmp/rl-hostile-XXXXXX";
    dir = mkdtemp(dirTemplate);
    cert = dir + "/cert.pem";
    key = dir + "/key.pem";
    mp3 = dir + "/tone660.mp3";
    ffconcat = dir + "/list.ffconcat";
    sdp = dir + "/session.sdp";
    hls = dir + "/master.m3u8";
    junkAac = dir + "/junk.aac";
    tinyFlac = dir + "/tiny.flac";
    writeBytes(ffconcat, "ffconcat version 1.0\nfile local.mp3\n");
    writeBytes(sdp,
               "v=0\r\no=- 0 0 IN IP4 127.0.0.1\r\ns=x\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio " +
                   std::to_string(freeUdpPort()) + " RTP/AVP 14\r\n");
    const auto run = [&](std::vector<std::string> argv) {
      const auto result = radiolist::test::runCommand({.argv = std::move(argv)}, 60s);
      if (result.exitCode != 0 && error.empty()) error = "command failed: " + result.output;
    };
    run({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
         "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
         "-keyout", key, "-out", cert});
    run({"ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
         "sine=frequency=660:duration=6", "-ac", "2", "-c:a", "libmp3lame", "-b:a", "128k", "-y",
         mp3});
    // Six one-second HLS segments of 660 Hz, all in one file: ranges.m3u8 names them by
    // EXT-X-BYTERANGE in tone660.ts.
    run({"ffmpeg",
         "-nostdin",
         "-loglevel",
         "error",
         "-f",
         "lavfi",
         "-i",
         "sine=frequency=660:duration=6",
         "-ac",
         "2",
         "-c:a",
         "aac",
         "-b:a",
         "96k",
         "-f",
         "hls",
         "-hls_time",
         "1",
         "-hls_flags",
         "single_file",
         "-hls_playlist_type",
         "vod",
         "-hls_segment_filename",
         dir + "/tone660.ts",
         "-y",
         dir + "/ranges.m3u8"});
    // 2,000 variants, of which the last has the highest bandwidth; 3.9 MB of one-byte segment
    // addresses; ten entries that are this playlist again (the query makes them differ).
    std::string master = "#EXTM3U\n", huge = "#EXTM3U\n#EXT-X-TARGETDURATION:1\n", nest;
    for (int i = 0; i < 2000; ++i)
      master += "#EXT-X-STREAM-INF:BANDWIDTH=" + std::to_string(1000 + i) +
                "\nranges.m3u8?v=" + std::to_string(i) + "\n";
    while (huge.size() < 3'900'000) huge += "#EXTINF:1,\na\n";
    for (int i = 0; i < 10; ++i) nest += "nest.m3u?e=" + std::to_string(i) + "\n";
    // A second of real AAC, then 8 MB of ADTS frames too short to hold audio (a header and one
    // byte); FLAC of 16-sample frames, 2,756 packets a second.
    run({"ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
         "sine=frequency=660:duration=1", "-ac", "2", "-c:a", "aac", "-b:a", "96k", "-f", "adts",
         "-y", junkAac});
    std::string junk;
    for (int i = 0; i < 1'000'000; ++i) junk += std::string("\xFF\xF1\x50\x80\x01\x1F\xFC\x00", 8);
    std::ofstream(junkAac, std::ios::app | std::ios::binary) << junk;
    run({"ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
         "sine=frequency=660:duration=6", "-ac", "2", "-c:a", "flac", "-frame_size", "16", "-y",
         tinyFlac});
    std::ofstream(dir + "/variants.m3u8") << master;
    std::ofstream(dir + "/huge.m3u8") << huge;
    std::ofstream(dir + "/nest.m3u") << nest;
  }

  ~Material() { std::filesystem::remove_all(dir); }
};
Material* material = nullptr;

struct Figures {
  long rssBefore = 0;
  long rssPeak = 0;
  long liveBefore = 0;  // resident KiB, or the sanitizer's live heap (see liveKiB)
  std::chrono::milliseconds longestStall{0};
  std::string longestStallFault;
  std::chrono::milliseconds longestRawStall{0};
};
Figures figures;

// Records RSS before the first fault and checks the growth after the last.
class MemoryEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    material = new Material;
    figures.rssBefore = rssKiB();
    figures.liveBefore = liveKiB();
  }
  void TearDown() override {
    const long after = rssKiB();
    const long liveAfter = liveKiB();
    std::cout << "[hostile] VmRSS before " << figures.rssBefore << " KiB, after " << after
              << " KiB, peak seen " << figures.rssPeak << " KiB, VmHWM "
              << radiolist::test::statusKiB("self", "VmHWM") << " KiB";
    if (kHeapFromSanitizer)
      std::cout << "; live heap before " << figures.liveBefore << " KiB, after " << liveAfter
                << " KiB";
    std::cout << "; longest sleep of the window " << figures.longestStall.count() << " ms ("
              << figures.longestStallFault << "), as the clock saw it "
              << figures.longestRawStall.count() << " ms" << std::endl;
    EXPECT_LT(liveAfter - figures.liveBefore, kMaxRssGrowthKiB)
        << "memory grew over the hostile faults";
    delete material;
    material = nullptr;
  }
};

// The calling thread's time on the CPU and in the kernel's run queue
// (/proc/thread-self/schedstat: "<ns on the CPU> <ns waiting on a run queue> <slices>"); zeros
// when unreadable, so that a whole interval counts against the window.
struct Sched {
  std::chrono::nanoseconds running{0};
  std::chrono::nanoseconds waiting{0};
};
Sched threadSched() {
  char text[128] = {};
  const int fd = ::open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  const ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  unsigned long long running = 0, waiting = 0;
  if (n <= 0 || std::sscanf(text, "%llu %llu", &running, &waiting) != 2) return {};
  return {std::chrono::nanoseconds(running), std::chrono::nanoseconds(waiting)};
}

// Measures the longest gap between ticks of a 10 ms timer while the event loop runs, and within it
// the time the UI thread slept: the gap less its time on the CPU and in the run queue. Sleeping is
// the window waiting on something (a lock, a socket, a thread); CPU time (the test's own analysis
// between loop runs included) and run-queue time are the machine being slow, which a shared
// 2-core runner under a sanitizer often is.
class StallWatch {
 public:
  StallWatch() {
    timer_.setInterval(10);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      const auto now = std::chrono::steady_clock::now();
      const Sched sched = threadSched();
      const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(now - last_);
      const auto slept = std::chrono::duration_cast<std::chrono::milliseconds>(
          (now - last_) - (sched.running - lastSched_.running) -
          (sched.waiting - lastSched_.waiting));
      last_ = now;
      lastSched_ = sched;
      longestRaw_ = std::max(longestRaw_, gap);
      longest_ = std::max(longest_, slept);
    });
    lastSched_ = threadSched();
    last_ = std::chrono::steady_clock::now();
    timer_.start();
  }
  // The longest time the UI thread slept within one gap, and the longest gap as the clock saw it.
  [[nodiscard]] std::chrono::milliseconds longest() const { return longest_; }
  [[nodiscard]] std::chrono::milliseconds longestRaw() const { return longestRaw_; }

 private:
  QTimer timer_;
  std::chrono::steady_clock::time_point last_;
  Sched lastSched_;
  std::chrono::milliseconds longest_{0};
  std::chrono::milliseconds longestRaw_{0};
};

// Wall time of a call less the time the thread sat runnable in the run queue.
template <typename Call>
std::chrono::microseconds ownTime(Call&& call) {
  const Sched before = threadSched();
  const auto start = std::chrono::steady_clock::now();
  call();
  const auto wall = std::chrono::steady_clock::now() - start;
  return std::chrono::duration_cast<std::chrono::microseconds>(
      wall - (threadSched().waiting - before.waiting));
}

// The real library, each call timed: the window's handlers and the player core call it on the UI
// thread, so a call that waits (for the network, a lock or a thread) is a stall of the window.
class TimedAudio final : public radiolist::AudioLibrary, public radiolist::PlaybackControls {
 public:
  BOOL Free() override {
    return timed("Free", [&] { return real().Free(); });
  }
  BOOL Init(int device, DWORD freq, DWORD flags) override {
    return timed("Init", [&] { return real().Init(device, freq, flags); });
  }
  BOOL Start() override {
    return timed("Start", [&] { return real().Start(); });
  }
  HSTREAM StreamCreateURL(const char16_t* url, DWORD offset, DWORD flags) override {
    return timed("StreamCreateURL", [&] { return real().StreamCreateURL(url, offset, flags); });
  }
  HSTREAM AacStreamCreateURL(const char16_t* url, DWORD offset, DWORD flags) override {
    return timed("AacStreamCreateURL",
                 [&] { return real().AacStreamCreateURL(url, offset, flags); });
  }
  DWORD ChannelIsActive(DWORD handle) override {
    return timed("ChannelIsActive", [&] { return real().ChannelIsActive(handle); });
  }
  BOOL ChannelPlay(DWORD handle, BOOL restart) override {
    return timed("ChannelPlay", [&] { return real().ChannelPlay(handle, restart); });
  }
  BOOL ChannelStop(DWORD handle) override {
    return timed("ChannelStop", [&] { return real().ChannelStop(handle); });
  }
  const char* ChannelGetTags(DWORD handle, DWORD tags) override {
    return timed("ChannelGetTags", [&] { return real().ChannelGetTags(handle, tags); });
  }
  std::optional<radiolist::ShiftState> ChannelGetShift(DWORD handle) override {
    return timed("ChannelGetShift", [&] { return controls().ChannelGetShift(handle); });
  }
  std::vector<radiolist::PlaybackEvent> TakeEvents() override {
    return timed("TakeEvents", [&] { return controls().TakeEvents(); });
  }
  void SetEventWake(std::function<void()> wake) override {
    controls().SetEventWake(std::move(wake));
  }
  BOOL ChannelPause(DWORD handle, bool paused) override {
    return controls().ChannelPause(handle, paused);
  }
  BOOL ChannelSeek(DWORD handle, std::int64_t us) override {
    return controls().ChannelSeek(handle, us);
  }
  void SetVolume(float volume) override { controls().SetVolume(volume); }
  void RetryNow() override { controls().RetryNow(); }
  void HoldToPublicHosts(const std::string& url) override { controls().HoldToPublicHosts(url); }
  void SetLevelLoudness(bool on) override { controls().SetLevelLoudness(on); }
  radiolist::SongSave SaveSong(const std::string& directory) override {
    return controls().SaveSong(directory);
  }
  bool StreamPlays(const std::string& url, bool publicOnly) override {
    return controls().StreamPlays(url, publicOnly);
  }

  std::chrono::microseconds longest{0};
  std::string longestCall;

 private:
  static radiolist::AudioLibrary& real() { return radiolist::realAudioLibrary(); }
  static radiolist::PlaybackControls& controls() { return radiolist::realPlaybackControls(); }
  template <typename Call>
  std::invoke_result_t<Call> timed(const char* name, Call call) {
    std::invoke_result_t<Call> result{};
    const auto took = ownTime([&] { result = call(); });
    if (took > longest) {
      longest = took;
      longestCall = name;
    }
    return result;
  }
};

struct Fault {
  const char* name;
  std::vector<std::string> args =
      {};  // teststream.py flags; "@mp3", "@cert", "@key" name the material
  bool tlsUrlOnPlainServer = false;  // the list says https for a plain server
  bool plainUrlOnTlsServer = false;  // the list says http for a TLS server
  bool cannotPlay =
      true;  // no audio can come out of it, so the window must never report it playing
  // For tools/static-server.py on the material directory: line 0's path and the server's flags.
  std::string staticPath = {};
  std::vector<std::string> staticArgs = {};
  bool mustPlay660 = false;
  // Checks the server's request log: the lines that contain `part` are counted.
  std::function<void(const std::function<std::size_t(const char* part)>& count)> checkRequests = {};
  // Bound of the growth of the resident set (ASan: of the live heap) while the fault runs.
  long maxGrowthKiB = 0;
};

// tools/static-server.py on the material directory, logging its requests (a line each).
struct StaticServer {
  std::string log = material->dir + "/requests.log";
  std::unique_ptr<radiolist::test::ChildProcess> child;
  int port = 0;
  explicit StaticServer(const std::vector<std::string>& args) {
    std::filesystem::remove(log);
    radiolist::test::ChildProcess::Options o{
        {"python3", RL_STATIC_SERVER_PY, "--port", "0", "--root", material->dir, "--log", log}};
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    o.captureStdout = true;
    child = std::make_unique<radiolist::test::ChildProcess>(o);
    std::string line(64, '\0');
    pollfd pfd{child->stdoutFd(), POLLIN, 0};
    if (poll(&pfd, 1, 10000) > 0 && ::read(child->stdoutFd(), line.data(), line.size()) > 0)
      std::sscanf(line.c_str(), "PORT %d", &port);
  }
  [[nodiscard]] std::vector<std::string> requestLog() const {
    std::vector<std::string> lines;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
};

// An HLS master playlist whose only variant is on a second server, with control bytes in a comment
// so that it does not read as text.
std::string hlsMasterNaming(const std::string& variantUrl) {
  std::string junk;
  for (int i = 1; i < 32; ++i) junk.push_back(static_cast<char>(i == '\n' || i == '\r' ? 1 : i));
  return "#EXTM3U\n# " + junk + junk + "\n#EXT-X-STREAM-INF:BANDWIDTH=128000\n" + variantUrl + "\n";
}

std::ostream& operator<<(std::ostream& out, const Fault& fault) { return out << fault.name; }

const std::vector<Fault>& faults() {
  static const std::vector<Fault> all = {
      {"EndlessHeaders", {"--endless-headers"}},
      {"HeaderLineOf1MiB",
       {"--huge-header", "--content-type", "audio/mpeg", "--file", "@mp3", "--rate", "16000"}},
      // The ICY framing: the body is a real 660 Hz MP3; the announced interval is absurd or the
      // blocks are broken.
      {"MetaintZero",
       {"--announce-metaint", "0", "--file", "@mp3", "--content-type", "audio/mpeg", "--rate",
        "16000"},
       false,
       false,
       false},
      {"MetaintOne",
       {"--metaint", "1", "--title", "One - Byte", "--file", "@mp3", "--content-type", "audio/mpeg",
        "--rate", "16000"},
       false,
       false,
       false},
      {"Metaint2Pow31",
       {"--announce-metaint", "2147483648", "--file", "@mp3", "--content-type", "audio/mpeg",
        "--rate", "16000"},
       false,
       false,
       false},
      {"MetaintNotANumber",
       {"--announce-metaint", "abc", "--file", "@mp3", "--content-type", "audio/mpeg", "--rate",
        "16000"},
       false,
       false,
       false},
      {"MetaLengthPastTheData",
       {"--metaint", "4000", "--bad-meta-length", "--title", "Long - Claim", "--file", "@mp3",
        "--content-type", "audio/mpeg", "--rate", "16000"},
       false,
       false,
       false},
      {"NulOnlyMetadata",
       {"--metaint", "4000", "--nul-meta", "--file", "@mp3", "--content-type", "audio/mpeg",
        "--rate", "16000"},
       false,
       false,
       false},
      {"RandomBytesAsAudio",
       {"--random-body", "--content-type", "audio/mpeg", "--rate", "16000"},
       false,
       false,
       false},
      {"TlsOnAPlainPort", {"--content-type", "audio/mpeg"}, true, false},
      {"PlainOnATlsPort",
       {"--tls-cert", "@cert", "--tls-key", "@key", "--content-type", "audio/mpeg"},
       false,
       true},
      {"RedirectToItself", {"--redirect-self"}},
      {"OkWithEmptyBody", {"--empty-body", "--content-type", "audio/mpeg"}},
      {"AcceptsAndNeverAnswers", {"--silent"}},
      {"DripsOneByteASecond", {"--drip", "all", "--file", "@mp3", "--content-type", "audio/mpeg"}},
      // Bodies that would make FFmpeg's own demuxers open what they name.
      {"ConcatListOfALocalFile", {"--file", "@ffconcat", "--content-type", "audio/mpeg"}},
      {"SdpOfAnRtpPort", {"--file", "@sdp", "--content-type", "application/sdp"}},
      {"HlsMasterWithControlBytes",
       {"--file", "@hls", "--content-type", "application/vnd.apple.mpegurl"}},
      // Streams whose packets cost the song buffer and the decoder out of all proportion: frames
      // that decode to nothing, sent as fast as they are read, and frames of 16 samples.
      {.name = "EndlessAdtsFramesWithoutAudio",
       .args = {"--file", "@junkaac", "--content-type", "audio/aac", "--rate", "0"},
       .cannotPlay = false,
       .maxGrowthKiB = 16 * 1024},
      {.name = "FlacOf16SampleFrames",
       .args = {"--file", "@tinyflac", "--content-type", "audio/flac", "--rate", "0"},
       .cannotPlay = false,
       .mustPlay660 = true,
       .maxGrowthKiB = 16 * 1024},
      // Playlists that cost memory or requests out of all proportion.
      {.name = "HugeMediaPlaylistUnderA4KiBDirectory",
       .staticPath = "/" + std::string(4000, 'd') + "/huge.m3u8",
       .staticArgs = {"--flat"},
       .maxGrowthKiB = 32 * 1024},
      // Ten entries three levels deep are 1,111 requests an attempt; the window starts the line
      // twice (the resync countdown), so two attempts of at most a few dozen each.
      {.name = "NestedPlaylistsFanOut",
       .staticPath = "/nest.m3u",
       .checkRequests = [](const auto& count) { EXPECT_LE(count("GET"), 48u); }},
      // One variant playlist per master, the highest bandwidth's; segments asked for by range.
      {.name = "MasterOf2000Variants",
       .cannotPlay = false,
       .staticPath = "/variants.m3u8",
       .mustPlay660 = true,
       .checkRequests =
           [](const auto& count) {
             EXPECT_EQ(count("GET /ranges.m3u8?v=1999 "), count("GET /variants.m3u8"));
             EXPECT_EQ(count("GET /ranges.m3u8"), count("GET /variants.m3u8"));
             EXPECT_EQ(count("-> 206 Range: bytes=13724-27259"), count("GET /variants.m3u8"));
             EXPECT_EQ(count("GET /tone660.ts"), count("-> 206 Range: bytes="));
           }},
      {.name = "ByteRangesOnAServerThatIgnoresThem",
       .cannotPlay = false,
       .staticPath = "/ranges.m3u8",
       .staticArgs = {"--ignore-range"},
       .mustPlay660 = true,
       .checkRequests =
           [](const auto& count) { EXPECT_GE(count("-> 200 Range: bytes=13724-27259"), 1u); }},
  };
  return all;
}

// The material's paths for the "@" names; a body file is sent once, not in a loop.
std::vector<std::string> expand(std::vector<std::string> args) {
  std::string once;
  for (std::string& a : args) {
    if (a == "@mp3") a = material->mp3;
    if (a == "@cert") a = material->cert;
    if (a == "@key") a = material->key;
    if (a == "@junkaac") a = material->junkAac;
    if (a == "@tinyflac") a = material->tinyFlac;
    for (const auto& [name, path] :
         {std::pair{"@ffconcat", material->ffconcat}, std::pair{"@sdp", material->sdp},
          std::pair{"@hls", material->hls}}) {
      if (a == name) once = a = path;
    }
  }
  if (!once.empty())
    args.insert(args.end(), {"--drop-after", std::to_string(std::filesystem::file_size(once))});
  return args;
}

// Requests made by FFmpeg's own HTTP client rather than through the library's transport.
long lavfRequests(const std::vector<std::string>& log) {
  return std::count_if(log.begin(), log.end(), [](const std::string& line) {
    return line.find("Lavf") != std::string::npos;
  });
}

void writeFile(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  file.write(bytes);
}

class HostileServerTest : public radiolist::test::ServerTest,
                          public ::testing::WithParamInterface<Fault> {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_NE(material, nullptr);
    ASSERT_EQ(material->error, "");
    // One sink for all faults: the library keeps its sound server connection, and with it the
    // sink it chose, from one window to the next.
    if (!sink_) {
      sink_ = std::make_unique<radiolist::test::PrivateSink>(servers());
      ASSERT_EQ(sink_->error(), "");
      sink_->exportAsDefault();
      recorder_ = std::make_unique<radiolist::test::SinkRecorder>(*sink_, 20);
      ASSERT_EQ(recorder_->start(), "");
    }

    ASSERT_TRUE(dir_.isValid());
    oldDir_ = QDir::currentPath();
    QDir::setCurrent(dir_.path());
    QDir(dir_.path()).mkpath("imag");
    for (const char* name : {"glossyicon.bmp", "delete.bmp", "play.bmp", "stop.bmp"}) {
      QImage image(20, 20, QImage::Format_RGB32);
      image.fill(Qt::white);
      QPainter(&image).fillRect(5, 5, 10, 10, Qt::darkRed);
      ASSERT_TRUE(image.save(dir_.filePath(QStringLiteral("imag/") + QLatin1String(name)), "BMP"));
    }
    resetGlobalState();
    radiolist::setErrorPresenter([this](const QString&, const QString& text) { errors_ << text; });
  }

  void TearDown() override {
    form_.reset();
    radiolist::realAudioLibrary().Free();
    radiolist::setErrorPresenter(radiolist::modalErrorBox());
    if (!oldDir_.isEmpty()) QDir::setCurrent(oldDir_);
  }
  static void TearDownTestSuite() {
    radiolist::realAudioLibrary().Free();
    recorder_.reset();
    sink_.reset();
    unsetenv("PULSE_SINK");
  }

  // Runs the event loop for `duration`, noting the peak of the resident memory.
  void run(std::chrono::milliseconds duration) {
    const auto end = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < end) {
      QTest::qWait(20);
      faultRssPeak_ = std::max(faultRssPeak_, rssKiB());
      faultLivePeak_ = std::max(faultLivePeak_, liveKiB());
      figures.rssPeak = std::max(figures.rssPeak, faultRssPeak_);
    }
  }
  bool listenFor(const std::function<bool(std::span<const float>)>& heard,
                 std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
      QTest::qWait(20);
      const auto last = recorder_->last(200ms);
      if (last.size() >= kRate / 5 && heard(last)) return true;
    }
    return false;
  }
  static bool only440(std::span<const float> s) {
    return toneShare(s, 440, kRate) > 0.5 && toneShare(s, 660, kRate) < 0.05;
  }

  static inline std::unique_ptr<radiolist::test::PrivateSink> sink_;
  static inline std::unique_ptr<radiolist::test::SinkRecorder> recorder_;
  long faultRssBefore_ = rssKiB();
  long faultRssPeak_ = 0;
  long faultLiveBefore_ = liveKiB();
  long faultLivePeak_ = 0;
  QTemporaryDir dir_;
  QString oldDir_;
  QStringList errors_;
  TimedAudio audio_;
  radiolist::Player player_{audio_};
  std::unique_ptr<TForm1> form_;
};

TEST_P(HostileServerTest, WindowStaysResponsiveAndTheNextChannelPlays) {
  const Fault& fault = GetParam();
  std::optional<TestStreamServer> variants;
  if (std::find(fault.args.begin(), fault.args.end(), "@hls") != fault.args.end()) {
    variants.emplace(
        std::vector<std::string>{"--file", material->mp3, "--content-type", "audio/mpeg"});
    writeBytes(material->hls, hlsMasterNaming(variants->url("/variant.m3u8")));
  }
  // The file a concat list names, in the current directory; nothing may open it.
  ASSERT_TRUE(std::filesystem::copy_file(material->mp3, dir_.filePath("local.mp3").toStdString()));
  const int opens = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(inotify_add_watch(opens, dir_.filePath("local.mp3").toStdString().c_str(), IN_OPEN), 0);
  std::unique_ptr<TestStreamServer> streamServer;
  std::unique_ptr<StaticServer> fileServer;
  if (fault.staticPath.empty())
    streamServer = std::make_unique<TestStreamServer>(expand(fault.args));
  else
    fileServer = std::make_unique<StaticServer>(fault.staticArgs);
  ASSERT_NE(streamServer ? streamServer->port() : fileServer->port, 0);
  std::string hostile =
      streamServer ? streamServer->url("/live")
                   : "http://127.0.0.1:" + std::to_string(fileServer->port) + fault.staticPath;
  const auto requestLog = [&] {
    return streamServer ? streamServer->requestLog() : fileServer->requestLog();
  };
  if (fault.tlsUrlOnPlainServer) hostile.replace(0, 4, "https");
  if (fault.plainUrlOnTlsServer) hostile.replace(0, 5, "http");
  writeFile(dir_.filePath("Name.txt"), "Hostile\r\nTest Radio 440\r\n");
  writeFile(dir_.filePath("url.txt"),
            QByteArray::fromStdString(hostile + "\r\n" + servers().mp3Url() + "\r\n"));

  form_ = std::make_unique<TForm1>(audio_, player_);
  form_->create();
  form_->show();
  // Watched from here: the window's own construction (fonts, glyph files) is not the server's
  // doing. The countdown that starts line 0 has not run yet.
  StallWatch stalls;

  // The window starts line 0 by itself; the server must have been asked before we judge it.
  // (A TLS mismatch never gets as far as a request line.)
  if (!fault.tlsUrlOnPlainServer && !fault.plainUrlOnTlsServer) {
    const auto asked = std::chrono::steady_clock::now() + 5s;
    while (requestLog().empty() && std::chrono::steady_clock::now() < asked) QTest::qWait(20);
    EXPECT_FALSE(requestLog().empty()) << "the window never connected to the hostile channel";
  }
  // Long enough for the metadata timer (1 s) and the station timer (3 s) to poll the channel.
  const std::uint64_t hostileFrom = recorder_->position();
  DWORD worstState = 0;
  std::size_t udpSockets = 0;
  const auto pollEnd = std::chrono::steady_clock::now() + 3500ms;
  while (std::chrono::steady_clock::now() < pollEnd) {
    run(100ms);
    udpSockets = std::max(udpSockets, radiolist::test::udpSocketCount());
    for (HSTREAM h : {StreamHandle, AacStreamHandle}) {
      const DWORD state = audio_.ChannelIsActive(h);
      if (state == BASS_ACTIVE_PLAYING) worstState = state;
    }
  }
  const auto hostileSound = recorder_->since(hostileFrom);
  const bool heard660 =
      hostileSound.size() > kRate &&
      toneShare(std::span<const float>(hostileSound).last(static_cast<std::size_t>(kRate)), 660,
                kRate) > 0.3;
  if (fault.cannotPlay) {
    EXPECT_NE(worstState, static_cast<DWORD>(BASS_ACTIVE_PLAYING))
        << "a stream with no audio in it reported playing";
  }
  alignas(inotify_event) char events[4096];
  const bool localFileOpened = ::read(opens, events, sizeof events) > 0;
  ::close(opens);
  EXPECT_FALSE(localFileOpened) << "a file in the current directory was opened";
  EXPECT_EQ(udpSockets, 0u) << "a UDP socket was bound";
  EXPECT_EQ(lavfRequests(requestLog()) + (variants ? lavfRequests(variants->requestLog()) : 0), 0)
      << "FFmpeg made a request of its own";
  // The HLS master is read as one: its variant is asked for, through the library's transport.
  if (variants) {
    EXPECT_FALSE(variants->requestLog().empty()) << "the HLS variant was never requested";
  }
  if (fault.mustPlay660) {
    EXPECT_TRUE(heard660) << "the hostile line itself must play its 660 Hz";
  }
  if (fault.checkRequests) {
    const auto lines = requestLog();
    fault.checkRequests([&](const char* part) {
      return static_cast<std::size_t>(
          std::count_if(lines.begin(), lines.end(),
                        [&](const std::string& l) { return l.find(part) != std::string::npos; }));
    });
  }
  if (fault.maxGrowthKiB != 0) {
    EXPECT_LT(
        kHeapFromSanitizer ? faultLivePeak_ - faultLiveBefore_ : faultRssPeak_ - faultRssBefore_,
        fault.maxGrowthKiB);
  }
  const QString nameShown = form_->Label1->text();
  const QString titleShown = form_->Label2->text();

  // The next channel: a user's click on line 1 returns quickly and plays 440 Hz alone.
  const QRect row = form_->ListBox1->visualRect(form_->ListBox1->model()->index(1, 0));
  const auto clickMs = std::chrono::duration_cast<std::chrono::milliseconds>(ownTime(
      [&] { QTest::mouseClick(form_->ListBox1->viewport(), Qt::LeftButton, {}, row.center()); }));
  EXPECT_LT(clickMs, kMaxStall) << "choosing the next channel blocked the window";
  EXPECT_TRUE(listenFor(only440, 6s)) << "440 Hz alone must follow a click on line 1";

  EXPECT_LT(audio_.longest, std::chrono::microseconds(kMaxStall))
      << "the library's " << audio_.longestCall << " took " << audio_.longest.count()
      << " us on the UI thread";
  EXPECT_LT(stalls.longest(), kMaxSleep)
      << "the window slept for " << stalls.longest().count()
      << " ms between two event-loop turns; the longest library call was " << audio_.longestCall
      << ", " << audio_.longest.count() << " us";
  figures.longestRawStall = std::max(figures.longestRawStall, stalls.longestRaw());
  if (stalls.longest() > figures.longestStall) {
    figures.longestStall = stalls.longest();
    figures.longestStallFault = fault.name;
  }
  EXPECT_TRUE(errors_.isEmpty()) << errors_.join('|').toStdString();

  const auto log = requestLog();
  const auto requests =
      streamServer ? std::count(log.begin(), log.end(), "END") : static_cast<long>(log.size());
  std::cout << "[hostile] " << fault.name << ": requests " << requests << ", reported playing "
            << (worstState == BASS_ACTIVE_PLAYING ? "yes" : "no") << ", 660 Hz heard "
            << (heard660 ? "yes" : "no") << " (RMS of its last second "
            << (hostileSound.size() > kRate
                    ? radiolist::test::rms(std::span<const float>(hostileSound)
                                               .last(static_cast<std::size_t>(kRate)))
                    : 0.0)
            << "), station \"" << nameShown.toStdString() << "\", title \""
            << titleShown.toStdString() << "\", local file opened "
            << (localFileOpened ? "yes" : "no") << ", UDP sockets " << udpSockets << ", click "
            << clickMs.count() << " ms, longest gap " << stalls.longest().count() << " ms slept ("
            << stalls.longestRaw().count() << " ms as the clock saw it), longest library call "
            << audio_.longestCall << " " << audio_.longest.count() << " us, VmRSS " << rssKiB()
            << " KiB (peak " << faultRssPeak_ << " KiB)" << std::endl;
}

INSTANTIATE_TEST_SUITE_P(Faults, HostileServerTest, ::testing::ValuesIn(faults()),
                         [](const ::testing::TestParamInfo<Fault>& p) {
                           return std::string(p.param.name);
                         });

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new MemoryEnvironment);
  return RUN_ALL_TESTS();
}
