#include "playback/engine/song_buffer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include <sys/stat.h>

#include "playback/log/log.h"
#include "text/hidden.h"
#include "text/utf8.h"

extern "C" {
#include <libavcodec/bsf.h>
}

namespace radiolist::audio {

namespace {

// Code points a file name must not show: '/', and what shows nothing yet changes the text
// around it (text/hidden.h): "Evil \u202Egnp.exe.mp3" shows as "Evil 3pm.exe.png".
bool unfitForName(char32_t cp) { return cp == '/' || text::isHidden(cp); }

}  // namespace

std::string songFileName(std::string_view text, std::string_view extension, int n) {
  std::string name;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    const std::string_view sequence = text.substr(i, length);
    char32_t cp = length == 1 ? lead : lead & (0x7Fu >> length);
    for (std::size_t k = 1; k < sequence.size(); ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(sequence[k]) & 0x3Fu);
    if (unfitForName(cp))
      name += '_';
    else
      name += sequence;
    i += sequence.size();
  }
  while (!name.empty() && (name.front() == '.' || name.front() == ' ')) name.erase(0, 1);
  while (!name.empty() && name.back() == ' ') name.pop_back();
  if (name.empty()) name = "Song";
  // File names of 255 bytes are common limits; leave room for " (n)" and the extension.
  name = utf8::oneLineCapped(name, 200);
  if (n > 1) name += " (" + std::to_string(n) + ")";
  return name + "." + std::string(extension);
}

std::string_view songExtension(std::string_view codec) {
  if (codec == "mp3") return "mp3";
  if (codec == "aac") return "m4a";
  if (codec == "vorbis" || codec == "opus") return "ogg";
  return "";
}

// One song file: FFmpeg's muxer for the container, fed the kept packets unchanged, with
// timestamps made anew from their durations (a live stream's own start anywhere), writing to the
// file save() made (never to whatever the path names later), so a write error comes back with
// the system's reason. An M4A is fragmented (a fragment a second), so that the file plays while
// it grows and keeps what was written if the program is killed before it closes the file; its AAC
// comes as ADTS from most streams, which the header needs as an AudioSpecificConfig: the header
// waits for the first packet, which aac_adtstoasc turns into one. A file that got no packet is
// removed when closed: it would not play.
class SongBuffer::Writer {
 public:
  Writer(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~Writer() { close(); }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // Done when the file is ready for packets, else why not.
  Outcome open(std::string_view extension, const AVCodecParameters& params, AVRational timeBase,
               const SongTitle& name, const std::string& station) {
    const bool m4a = extension == "m4a";
    const char* format = extension == "mp3" ? "mp3" : m4a ? "ipod" : "ogg";
    if (avformat_alloc_output_context2(&out_, nullptr, format, nullptr) < 0)
      return Outcome::about(Outcome::Code::NoMuxer);
    AVStream* stream = avformat_new_stream(out_, nullptr);
    if (stream == nullptr || avcodec_parameters_copy(stream->codecpar, &params) < 0)
      return Outcome::about(Outcome::Code::OutOfMemory);
    stream->codecpar->codec_tag = 0;
    stream->time_base = timeBase;
    in_ = timeBase;
    if (!name.title.empty()) av_dict_set(&out_->metadata, "title", name.title.c_str(), 0);
    if (!name.artist.empty()) av_dict_set(&out_->metadata, "artist", name.artist.c_str(), 0);
    if (!station.empty()) av_dict_set(&out_->metadata, "comment", station.c_str(), 0);
    if (m4a) {
      av_dict_set(&options_, "movflags", "+empty_moov+default_base_moof", 0);
      av_dict_set(&options_, "frag_duration", "1000000", 0);
      if (params.extradata_size == 0 && !openAdtsFilter(params, timeBase))
        return Outcome::about(Outcome::Code::NoAacHeaders);
    }
    constexpr int kBufferBytes = 64 * 1024;
    auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferBytes));
    if (buffer == nullptr) return Outcome::about(Outcome::Code::OutOfMemory);
    out_->pb = avio_alloc_context(buffer, kBufferBytes, 1, this, nullptr, writeFile, seekFile);
    if (out_->pb == nullptr) {
      av_free(buffer);
      return Outcome::about(Outcome::Code::OutOfMemory);
    }
    out_->pb->seekable = AVIO_SEEKABLE_NORMAL;
    out_->flags |= AVFMT_FLAG_CUSTOM_IO;
    frameDuration_ = params.frame_size > 0 && params.sample_rate > 0
                         ? av_rescale_q(params.frame_size, {1, params.sample_rate}, timeBase)
                         : 0;
    if (adts_ == nullptr && !writeHeader()) return error();
    return {};
  }

  // Writes one packet; false once the file has failed (error() says why).
  bool write(const Kept& kept, std::deque<std::uint8_t>::const_iterator bytes) {
    if (!ok()) return false;
    PacketPtr copy(av_packet_alloc());
    if (!copy || av_new_packet(copy.get(), static_cast<int>(kept.size)) < 0)
      return fail(Outcome::about(Outcome::Code::OutOfMemory));
    std::copy(bytes, bytes + kept.size, copy->data);
    const std::int64_t duration = kept.duration > 0 ? kept.duration : frameDuration_;
    copy->flags = kept.flags;
    copy->stream_index = 0;
    copy->pts = copy->dts = next_;
    copy->duration = duration;
    copy->pos = -1;
    next_ += duration;
    if (adts_ != nullptr) {
      if (av_bsf_send_packet(adts_, copy.get()) < 0 || av_bsf_receive_packet(adts_, copy.get()) < 0)
        return true;  // a damaged frame: the next one may do
      if (!headerWritten_ &&
          (avcodec_parameters_copy(out_->streams[0]->codecpar, adts_->par_out) < 0 ||
           !writeHeader()))
        return fail(error());
    }
    av_packet_rescale_ts(copy.get(), in_, out_->streams[0]->time_base);
    const int r = av_write_frame(out_, copy.get());
    if (r < 0 || out_->pb->error < 0) return fail(ffmpegError(r < 0 ? r : out_->pb->error));
    ++packets_;
    return true;
  }

  // Hands what is written to the file now, so that it grows with the song.
  bool flush() {
    if (!ok()) return false;
    avio_flush(out_->pb);
    return out_->pb->error >= 0 || fail(ffmpegError(out_->pb->error));
  }

  [[nodiscard]] bool ok() const { return error_.done(); }
  [[nodiscard]] const Outcome& error() const { return error_; }
  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  void close() {
    if (headerWritten_ && ok()) checked(av_write_trailer(out_), "av_write_trailer");
    if (out_ != nullptr) {
      if (out_->pb != nullptr) {
        avio_flush(out_->pb);
        av_freep(&out_->pb->buffer);
        avio_context_free(&out_->pb);
      }
      avformat_free_context(out_);
      out_ = nullptr;
    }
    av_bsf_free(&adts_);
    av_dict_free(&options_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (packets_ == 0) ::unlink(path_.c_str());
  }

  static int writeFile(void* opaque, std::uint8_t* data, int size) {
    auto& self = *static_cast<Writer*>(opaque);
    for (int done = 0; done < size;) {
      const ssize_t n = ::write(self.fd_, data + done, static_cast<std::size_t>(size - done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        self.errno_ = n < 0 ? errno : ENOSPC;
        return AVERROR(self.errno_);
      }
      done += static_cast<int>(n);
    }
    return size;
  }

  static std::int64_t seekFile(void* opaque, std::int64_t offset, int whence) {
    auto& self = *static_cast<Writer*>(opaque);
    if (whence == AVSEEK_SIZE) {
      struct stat st {};
      return ::fstat(self.fd_, &st) == 0 ? st.st_size : AVERROR(errno);
    }
    const off_t at = ::lseek(self.fd_, offset, whence & ~AVSEEK_FORCE);
    return at < 0 ? AVERROR(errno) : at;
  }

  // The system's reason when the file refused a write, else FFmpeg's.
  Outcome ffmpegError(int result) const {
    if (errno_ != 0) return Outcome::cannotCreate(path_, errno_);
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(result, text, sizeof text);
    return Outcome::about(Outcome::Code::MuxerFailed, path_, text);
  }

  bool fail(Outcome why) {
    if (error_.done()) error_ = std::move(why);
    return false;
  }

  bool openAdtsFilter(const AVCodecParameters& params, AVRational timeBase) {
    const AVBitStreamFilter* filter = av_bsf_get_by_name("aac_adtstoasc");
    if (filter == nullptr || av_bsf_alloc(filter, &adts_) < 0) return false;
    adts_->time_base_in = timeBase;
    return avcodec_parameters_copy(adts_->par_in, &params) >= 0 && av_bsf_init(adts_) >= 0;
  }

  bool writeHeader() {
    const int r = avformat_write_header(out_, &options_);
    headerWritten_ = r >= 0 && out_->pb->error >= 0;
    return headerWritten_ || fail(ffmpegError(r < 0 ? r : out_->pb->error));
  }

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

SongBuffer::SongBuffer() = default;

SongBuffer::~SongBuffer() = default;

void SongBuffer::titleIs(const SongTitle& title, std::string_view meta) {
  const std::lock_guard lock(mutex_);
  if (!marks_.empty() && title.text == title_.text) return;
  title_ = title;
  const std::uint64_t next = first_ + packets_.size();
  songStart_ = next;
  writer_.reset();  // the song it saved has ended
  // The station's first title was on air before its first tag arrived (an ICY block follows the
  // first metaint bytes): it covers what was kept before it, as live listening showed it.
  const bool first = !titled_ && !title.text.empty() && marks_.size() == 1;
  titled_ = titled_ || !title.text.empty();
  std::uint64_t seq = next;
  std::int64_t us = liveUs_;
  // A title that changes again before any packet replaces the one not heard.
  if (!marks_.empty() && (marks_.back().seq == next || first)) {
    seq = std::min(seq, marks_.back().seq);
    us = std::min(us, marks_.back().us);
    bytes_ -= cost(marks_.back());
    marks_.pop_back();
  }
  // A hostile station's title is capped where it is parsed; the block as well, here.
  constexpr std::size_t kLongestMeta = 4096;
  marks_.push_back({seq, us, title, std::string(meta.substr(0, kLongestMeta))});
  bytes_ += cost(marks_.back());
}

std::optional<SongBuffer::Pushed> SongBuffer::push(const AVPacket& packet, const AVStream& stream) {
  // A packet of more than this is no audio frame: it would only crowd out the song.
  constexpr int kLargestPacket = 1 << 20;
  constexpr int kLargestExtradata = 4 << 20;
  const auto now = std::chrono::steady_clock::now();
  std::optional<Pushed> pushed;
  {
    const std::lock_guard lock(mutex_);
    const AVCodecParameters& in = *stream.codecpar;
    const AVCodecParameters* last = segments_.empty() ? nullptr : segments_.back().params.get();
    const bool sameStream =
        last != nullptr && last->codec_id == in.codec_id && last->sample_rate == in.sample_rate &&
        last->ch_layout.nb_channels == in.ch_layout.nb_channels &&
        last->extradata_size == in.extradata_size &&
        (in.extradata_size == 0 || std::memcmp(last->extradata, in.extradata,
                                               static_cast<std::size_t>(in.extradata_size)) == 0) &&
        av_cmp_q(segments_.back().timeBase, stream.time_base) == 0;
    if (!sameStream) {
      // Another codec or another Ogg link: what is kept cannot go into the same file.
      writer_.reset();
      const std::uint64_t next = first_ + packets_.size();
      // A segment none of whose packets was kept serves nothing: the new one takes its place.
      if (!segments_.empty() && segments_.back().first == next) {
        bytes_ -= cost(segments_.back());
        segments_.pop_back();
      }
      // Headers this large are no station's: they would crowd out the song.
      if (in.extradata_size > kLargestExtradata) return std::nullopt;
      AVCodecParameters* params = avcodec_parameters_alloc();
      if (params == nullptr || avcodec_parameters_copy(params, &in) < 0) {
        avcodec_parameters_free(&params);
        return std::nullopt;
      }
      segments_.push_back({next,
                           ++streams_,
                           {params, [](AVCodecParameters* p) { avcodec_parameters_free(&p); }},
                           stream.time_base,
                           avcodec_get_name(in.codec_id)});
      bytes_ += cost(segments_.back());
      songStart_ = written_ = next;
    }
    if (packet.size <= 0 || packet.size > kLargestPacket) {
      trim(now);
      return std::nullopt;
    }
    const Segment& segment = segments_.back();
    std::int64_t duration = packet.duration;
    if (duration <= 0 && segment.params->frame_size > 0 && segment.params->sample_rate > 0)
      duration = av_rescale_q(segment.params->frame_size, {1, segment.params->sample_rate},
                              segment.timeBase);
    const std::int64_t startUs = liveUs_;
    // A packet claiming more than a few seconds is lying: it would make the clock jump.
    constexpr std::int64_t kLongestPacketUs = 2'000'000;
    liveUs_ += std::clamp<std::int64_t>(
        duration > 0 ? av_rescale_q(duration, segment.timeBase, {1, 1'000'000}) : 0, 0,
        kLongestPacketUs);
    const auto size = static_cast<std::uint32_t>(packet.size);
    pushed = Pushed{first_ + packets_.size(), liveUs_};
    packets_.push_back(
        {dataFirst_ + data_.size(), packet.duration, startUs, now, size, packet.flags});
    data_.insert(data_.end(), packet.data, packet.data + size);
    bytes_ += cost(size);
    trim(now);
    if (!songExtension(segment.codec).empty()) writePending();
  }
  pushed_.notify_all();
  return pushed;
}

void SongBuffer::dropFront() {
  const Kept& front = packets_.front();
  bytes_ -= cost(front.size);
  data_.erase(data_.begin(), data_.begin() + front.size);
  dataFirst_ += front.size;
  packets_.pop_front();
  ++first_;
}

void SongBuffer::trim(std::chrono::steady_clock::time_point now) {
  while (!packets_.empty() && (bytes_ > kKeepBytes || now - packets_.front().when > kKeepTime))
    dropFront();
  // A mark or segment is kept while it covers a packet kept (or the next to come).
  while (marks_.size() > 1 && marks_[1].seq <= first_) {
    bytes_ -= cost(marks_.front());
    marks_.pop_front();
  }
  while (segments_.size() > 1 && segments_[1].first <= first_) {
    bytes_ -= cost(segments_.front());
    segments_.pop_front();
  }
  written_ = std::max(written_, first_);
  songStart_ = std::max(songStart_, first_);
}

void SongBuffer::writePending() {
  if (!writer_) return;
  for (; written_ < first_ + packets_.size() && writer_->ok(); ++written_) {
    const Kept& kept = packets_[static_cast<std::size_t>(written_ - first_)];
    writer_->write(kept, data_.cbegin() + static_cast<std::ptrdiff_t>(kept.at - dataFirst_));
  }
  if (writer_->flush()) return;
  // A full disk, a folder gone: the file keeps what it got, and the save ends, said so once.
  {
    const std::lock_guard lock(failureMutex_);
    failure_ = SongSave{SongSave::Status::CannotWrite, writer_->path(), writer_->error()};
  }
  log::write(log::Domain::Engine, "saving the song stopped: ", writer_->path(), ": ",
             files::describe(writer_->error().failure), writer_->error().detail);
  writer_.reset();
}

void SongBuffer::stopSaving() {
  const std::lock_guard lock(mutex_);
  writer_.reset();
}

const SongBuffer::Segment& SongBuffer::segmentOf(std::uint64_t seq) const {
  auto it =
      std::upper_bound(segments_.begin(), segments_.end(), seq,
                       [](std::uint64_t s, const Segment& segment) { return s < segment.first; });
  return it == segments_.begin() ? segments_.front() : *std::prev(it);
}

std::size_t SongBuffer::markAt(std::int64_t us) const {
  // The last mark beginning at or before `us`; a mark at the same moment as a later one is
  // covered by it.
  auto it = std::upper_bound(marks_.begin(), marks_.end(), us,
                             [](std::int64_t t, const Mark& mark) { return t < mark.us; });
  return it == marks_.begin() ? 0 : static_cast<std::size_t>(std::prev(it) - marks_.begin());
}

std::uint64_t SongBuffer::seqAtLocked(std::int64_t us) const {
  if (packets_.empty() || us >= liveUs_) return first_ + packets_.size();
  auto it = std::upper_bound(packets_.begin(), packets_.end(), us,
                             [](std::int64_t t, const Kept& kept) { return t < kept.startUs; });
  if (it != packets_.begin()) --it;
  return first_ + static_cast<std::uint64_t>(it - packets_.begin());
}

std::uint64_t SongBuffer::seqAt(std::int64_t us) const {
  const std::lock_guard lock(mutex_);
  return seqAtLocked(us);
}

std::uint64_t SongBuffer::nextSeq() const {
  const std::lock_guard lock(mutex_);
  return first_ + packets_.size();
}

std::int64_t SongBuffer::oldestUs() const {
  const std::lock_guard lock(mutex_);
  return packets_.empty() ? liveUs_ : packets_.front().startUs;
}

std::int64_t SongBuffer::liveUs() const {
  const std::lock_guard lock(mutex_);
  return liveUs_;
}

std::optional<SongBuffer::Replay> SongBuffer::packet(std::uint64_t seq) const {
  const std::lock_guard lock(mutex_);
  if (packets_.empty() || seq >= first_ + packets_.size() || segments_.empty()) return std::nullopt;
  seq = std::max(seq, first_);
  const Kept& kept = packets_[static_cast<std::size_t>(seq - first_)];
  Replay out;
  out.packet.reset(av_packet_alloc());
  if (!out.packet || av_new_packet(out.packet.get(), static_cast<int>(kept.size)) < 0)
    return std::nullopt;
  const auto bytes = data_.cbegin() + static_cast<std::ptrdiff_t>(kept.at - dataFirst_);
  std::copy(bytes, bytes + kept.size, out.packet->data);
  out.packet->flags = kept.flags;
  out.packet->duration = kept.duration;
  const Segment& segment = segmentOf(seq);
  out.params = segment.params;
  out.timeBase = segment.timeBase;
  out.segment = segment.id;
  out.seq = seq;
  out.startUs = kept.startUs;
  out.endUs = seq + 1 < first_ + packets_.size()
                  ? packets_[static_cast<std::size_t>(seq + 1 - first_)].startUs
                  : liveUs_;
  return out;
}

std::optional<SongBuffer::Heard> SongBuffer::titleAt(std::int64_t us) const {
  const std::lock_guard lock(mutex_);
  if (marks_.empty()) return std::nullopt;
  const Mark& mark = marks_[markAt(us)];
  return Heard{mark.title, mark.meta};
}

bool SongBuffer::waitFor(std::uint64_t seq, const std::stop_token& stop,
                         std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return pushed_.wait_for(lock, stop, timeout, [&] { return seq < first_ + packets_.size(); });
}

SongSave SongBuffer::save(const std::string& directory, const std::string& station,
                          std::optional<std::int64_t> heardUs) {
  using Status = SongSave::Status;
  using Code = Outcome::Code;
  // What the file needs is taken under the lock; the folder and the file are made without it, so
  // that a slow disk holds up this call only, not the decoder's next packet.
  std::unique_lock lock(mutex_);
  if (heardUs && !marks_.empty()) {
    const std::size_t mark = markAt(*heardUs);
    if (mark + 1 < marks_.size()) return savePast(directory, station, lock, mark);
  }
  if (writer_) return {Status::Saving, writer_->path(), {}};
  if (segments_.empty()) return {Status::NothingToSave, {}, Outcome::about(Code::NoAudioYet)};
  const Segment& segment = segments_.back();
  const std::string extension(songExtension(segment.codec));
  if (extension.empty())
    return {Status::NothingToSave, {}, Outcome::about(Code::CodecNotSaved, {}, segment.codec)};
  if (packets_.empty()) return {Status::NothingToSave, {}, Outcome::about(Code::NoAudioYet)};
  const SongTitle title = title_;
  const std::uint64_t stream = streams_;
  const AVRational timeBase = segment.timeBase;
  const std::shared_ptr<const AVCodecParameters> params = segment.params;
  lock.unlock();

  auto [writer, answer] = makeFile(directory, extension, *params, timeBase, title, station);
  if (!writer) return answer;

  lock.lock();
  // Meanwhile another request may have started the save, or the song or the stream ended: this
  // file, still without audio, goes again.
  if (writer_) return {Status::Saving, writer_->path(), {}};
  if (title_.text != title.text || streams_ != stream)
    return {Status::NothingToSave, {}, Outcome::about(Code::SongEnded)};
  log::write(log::Domain::Engine, "saving the song into ", answer.path);
  writer_ = std::move(writer);
  written_ = std::max(songStart_, first_);
  // What is kept of the song goes in now, so the file plays as soon as it is named.
  writePending();
  if (!writer_) {
    const std::lock_guard failed(failureMutex_);
    return *std::exchange(failure_, std::nullopt);  // told here, not again
  }
  return answer;
}

SongSave SongBuffer::savePast(const std::string& directory, const std::string& station,
                              std::unique_lock<std::mutex>& lock, std::size_t markIndex) {
  using Status = SongSave::Status;
  using Code = Outcome::Code;
  const Mark& mark = marks_[markIndex];
  if (pastMark_ == mark.seq + 1) return {Status::Saving, pastPath_, {}};
  if (packets_.empty() || segments_.empty())
    return {Status::NothingToSave, {}, Outcome::about(Code::NoAudioYet)};
  const std::uint64_t begin = std::max(mark.seq, first_);
  const Segment& segment = segmentOf(begin);
  const std::string extension(songExtension(segment.codec));
  if (extension.empty())
    return {Status::NothingToSave, {}, Outcome::about(Code::CodecNotSaved, {}, segment.codec)};
  // The song's packets of its own stream, copied out: the disk is written without the lock.
  std::uint64_t end = std::min(marks_[markIndex + 1].seq, first_ + packets_.size());
  for (const Segment& s : segments_) {
    if (s.first > begin) {
      end = std::min(end, s.first);
      break;
    }
  }
  if (begin >= end) return {Status::NothingToSave, {}, Outcome::about(Code::NoAudioOfSong)};
  std::vector<Kept> kept(packets_.begin() + static_cast<std::ptrdiff_t>(begin - first_),
                         packets_.begin() + static_cast<std::ptrdiff_t>(end - first_));
  const std::uint64_t at = kept.front().at;
  const auto bytesBegin = data_.cbegin() + static_cast<std::ptrdiff_t>(at - dataFirst_);
  const std::deque<std::uint8_t> bytes(
      bytesBegin, bytesBegin + static_cast<std::ptrdiff_t>(kept.back().at + kept.back().size - at));
  const SongTitle title = mark.title;
  const std::uint64_t markSeq = mark.seq;
  const AVRational timeBase = segment.timeBase;
  const std::shared_ptr<const AVCodecParameters> params = segment.params;
  lock.unlock();

  auto [writer, answer] = makeFile(directory, extension, *params, timeBase, title, station);
  if (!writer) return answer;
  for (const Kept& k : kept)
    writer->write(k, bytes.cbegin() + static_cast<std::ptrdiff_t>(k.at - at));
  if (!writer->flush() || !writer->ok())
    return {Status::CannotWrite, writer->path(), writer->error()};
  log::write(log::Domain::Engine, "saved a song heard behind live into ", answer.path);
  lock.lock();
  pastMark_ = markSeq + 1;
  pastPath_ = answer.path;
  return answer;
}

std::pair<std::unique_ptr<SongBuffer::Writer>, SongSave> SongBuffer::makeFile(
    const std::string& directory, const std::string& extension, const AVCodecParameters& params,
    AVRational timeBase, const SongTitle& title, const std::string& station) {
  using Status = SongSave::Status;
  using Code = Outcome::Code;
  const auto fail = [](SongSave why) {
    return std::pair<std::unique_ptr<Writer>, SongSave>(nullptr, std::move(why));
  };
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  if (error)
    return fail({Status::CannotWrite, directory, Outcome::cannotCreate(directory, error.value())});
  // A file already there is never overwritten (nor a link followed): the first free " (n)".
  int fd = -1;
  std::string path;
  for (int n = 1; n <= kMaxSongFileNumber && fd < 0; ++n) {
    path = directory + "/" + songFileName(title.text, extension, n);
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 && errno != EEXIST)
      return fail({Status::CannotWrite, path, Outcome::cannotCreate(path, errno)});
  }
  if (fd < 0) {
    return fail({Status::NamesUsedUp, directory, Outcome::about(Code::NamesUsedUp, directory)});
  }
  auto writer = std::make_unique<Writer>(fd, path);
  if (Outcome why = writer->open(extension, params, timeBase, title, station); !why.done())
    return fail({Status::CannotWrite, path, std::move(why)});  // the writer removes the file
  return {std::move(writer), SongSave{Status::Saving, path, {}}};
}

std::optional<SongSave> SongBuffer::takeFailure() {
  const std::lock_guard lock(failureMutex_);
  return std::exchange(failure_, std::nullopt);
}

std::size_t SongBuffer::bytes() const {
  const std::lock_guard lock(mutex_);
  return bytes_;
}

std::size_t SongBuffer::packets() const {
  const std::lock_guard lock(mutex_);
  return packets_.size();
}

bool SongBuffer::saving() const {
  const std::lock_guard lock(mutex_);
  return writer_ != nullptr;
}

}  // namespace radiolist::audio
