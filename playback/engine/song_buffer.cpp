#include "playback/engine/song_buffer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "playback/log/log.h"
#include "text/legacy_text.h"

extern "C" {
#include <libavcodec/bsf.h>
}

namespace radiolist::audio {

namespace {

// The text inside StreamTitle='...'; of an ICY metadata block, as UTF-8; the whole text when it
// has no such field (titles from inside the audio come as the field too).
std::string streamTitleOf(std::string_view meta) {
  constexpr std::string_view kKey = "StreamTitle='";
  const auto start = meta.find(kKey);
  if (start == std::string_view::npos) return text::legacyToUtf8(meta);
  meta.remove_prefix(start + kKey.size());
  const auto end = meta.find("';");
  return text::legacyToUtf8(meta.substr(0, end));
}

// Cuts `text` to at most `bytes` without splitting a UTF-8 sequence.
std::string cutUtf8(std::string text, std::size_t bytes) {
  if (text.size() <= bytes) return text;
  std::size_t at = bytes;
  while (at > 0 && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) --at;
  text.resize(at);
  return text;
}

}  // namespace

SongName splitSongName(std::string_view streamTitle) {
  const auto dash = streamTitle.find(" - ");
  if (dash == std::string_view::npos) return {{}, std::string(streamTitle)};
  return {std::string(streamTitle.substr(0, dash)), std::string(streamTitle.substr(dash + 3))};
}

std::string songFileName(std::string_view streamTitle, std::string_view extension, int n) {
  std::string name;
  for (const char c : streamTitle) {
    const auto u = static_cast<unsigned char>(c);
    name += (u < 0x20 || u == 0x7F || c == '/') ? '_' : c;
  }
  while (!name.empty() && (name.front() == '.' || name.front() == ' ')) name.erase(0, 1);
  while (!name.empty() && name.back() == ' ') name.pop_back();
  if (name.empty()) name = "Song";
  // File names of 255 bytes are common limits; leave room for " (n)" and the extension.
  name = cutUtf8(std::move(name), 200);
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
// timestamps made anew from their durations (a live stream's own start anywhere). An M4A is
// fragmented (a fragment a second), so that the file plays while it grows and keeps what was
// written if the program is killed before it closes the file; its AAC comes as ADTS from most
// streams, which the header needs as an AudioSpecificConfig: the header waits for the first
// packet, which aac_adtstoasc turns into one.
class SongBuffer::Writer {
 public:
  ~Writer() { close(); }

  bool open(const std::string& path, std::string_view extension, const AVCodecParameters& params,
            AVRational timeBase, const SongName& name, const std::string& station) {
    const bool m4a = extension == "m4a";
    const char* format = extension == "mp3" ? "mp3" : m4a ? "ipod" : "ogg";
    if (avformat_alloc_output_context2(&out_, nullptr, format, path.c_str()) < 0) return false;
    AVStream* stream = avformat_new_stream(out_, nullptr);
    if (stream == nullptr || avcodec_parameters_copy(stream->codecpar, &params) < 0) return false;
    stream->codecpar->codec_tag = 0;
    stream->time_base = timeBase;
    in_ = timeBase;
    av_dict_set(&out_->metadata, "title", name.title.c_str(), 0);
    if (!name.artist.empty()) av_dict_set(&out_->metadata, "artist", name.artist.c_str(), 0);
    if (!station.empty()) av_dict_set(&out_->metadata, "comment", station.c_str(), 0);
    if (m4a) {
      av_dict_set(&options_, "movflags", "+empty_moov+default_base_moof", 0);
      av_dict_set(&options_, "frag_duration", "1000000", 0);
      if (params.extradata_size == 0 && !openAdtsFilter(params, timeBase)) return false;
    }
    if (checked(avio_open(&out_->pb, path.c_str(), AVIO_FLAG_WRITE), "avio_open") < 0) return false;
    frameDuration_ = params.frame_size > 0 && params.sample_rate > 0
                         ? av_rescale_q(params.frame_size, {1, params.sample_rate}, timeBase)
                         : 0;
    open_ = true;
    return adts_ != nullptr || writeHeader();
  }

  void write(const Kept& kept) {
    if (!open_) return;
    PacketPtr copy(av_packet_alloc());
    if (!copy || av_new_packet(copy.get(), static_cast<int>(kept.data.size())) < 0) return;
    std::memcpy(copy->data, kept.data.data(), kept.data.size());
    const std::int64_t duration = kept.duration > 0 ? kept.duration : frameDuration_;
    copy->flags = kept.flags;
    copy->stream_index = 0;
    copy->pts = copy->dts = next_;
    copy->duration = duration;
    copy->pos = -1;
    next_ += duration;
    if (adts_ != nullptr) {
      if (av_bsf_send_packet(adts_, copy.get()) < 0 || av_bsf_receive_packet(adts_, copy.get()) < 0)
        return;
      if (!headerWritten_) {
        if (avcodec_parameters_copy(out_->streams[0]->codecpar, adts_->par_out) < 0 ||
            !writeHeader()) {
          open_ = false;
          return;
        }
      }
    }
    av_packet_rescale_ts(copy.get(), in_, out_->streams[0]->time_base);
    if (checked(av_write_frame(out_, copy.get()), "av_write_frame") < 0) ++errors_;
  }

  // Hands what is written to the file now, so that it grows with the song.
  void flush() {
    if (open_) avio_flush(out_->pb);
  }

  void close() {
    if (headerWritten_) checked(av_write_trailer(out_), "av_write_trailer");
    if (out_ != nullptr) {
      avio_closep(&out_->pb);
      avformat_free_context(out_);
      out_ = nullptr;
    }
    av_bsf_free(&adts_);
    av_dict_free(&options_);
    open_ = headerWritten_ = false;
  }

 private:
  bool openAdtsFilter(const AVCodecParameters& params, AVRational timeBase) {
    const AVBitStreamFilter* filter = av_bsf_get_by_name("aac_adtstoasc");
    if (filter == nullptr || av_bsf_alloc(filter, &adts_) < 0) return false;
    adts_->time_base_in = timeBase;
    return avcodec_parameters_copy(adts_->par_in, &params) >= 0 && av_bsf_init(adts_) >= 0;
  }

  bool writeHeader() {
    headerWritten_ = checked(avformat_write_header(out_, &options_), "avformat_write_header") >= 0;
    return headerWritten_;
  }

  AVFormatContext* out_ = nullptr;
  AVBSFContext* adts_ = nullptr;  // an M4A of ADTS packets only
  AVDictionary* options_ = nullptr;
  bool headerWritten_ = false;
  AVRational in_{1, 1};
  std::int64_t next_ = 0;
  std::int64_t frameDuration_ = 0;
  bool open_ = false;
  int errors_ = 0;
};

SongBuffer::SongBuffer()
    : params_(nullptr, [](AVCodecParameters* p) { avcodec_parameters_free(&p); }) {}

SongBuffer::~SongBuffer() = default;

void SongBuffer::titleIs(std::string_view title) {
  const std::lock_guard lock(mutex_);
  if (title == title_) return;
  title_ = std::string(title);
  songStart_ = first_ + packets_.size();
  writer_.reset();  // the song it saved has ended
}

void SongBuffer::push(const AVPacket& packet, const AVStream& stream) {
  const auto now = std::chrono::steady_clock::now();
  const std::lock_guard lock(mutex_);
  const AVCodecParameters& in = *stream.codecpar;
  const bool sameStream =
      params_ && params_->codec_id == in.codec_id && params_->sample_rate == in.sample_rate &&
      params_->ch_layout.nb_channels == in.ch_layout.nb_channels &&
      params_->extradata_size == in.extradata_size &&
      (in.extradata_size == 0 || std::memcmp(params_->extradata, in.extradata,
                                             static_cast<std::size_t>(in.extradata_size)) == 0) &&
      av_cmp_q(timeBase_, stream.time_base) == 0;
  if (!sameStream) {
    // Another codec or another Ogg link: what is kept cannot go into the same file.
    writer_.reset();
    first_ += packets_.size();
    packets_.clear();
    bytes_ = 0;
    songStart_ = first_;
    params_.reset(avcodec_parameters_alloc());
    if (!params_ || avcodec_parameters_copy(params_.get(), &in) < 0) {
      params_.reset();
      return;
    }
    timeBase_ = stream.time_base;
    codec_ = avcodec_get_name(in.codec_id);
  }
  if (packet.size <= 0) return;
  packets_.push_back({std::vector<std::uint8_t>(packet.data, packet.data + packet.size),
                      packet.duration, packet.flags, now});
  bytes_ += packets_.back().data.size();
  trim(now);
  writePending();
}

void SongBuffer::trim(std::chrono::steady_clock::time_point now) {
  while (!packets_.empty() && (bytes_ > kKeepBytes || now - packets_.front().when > kKeepTime)) {
    bytes_ -= packets_.front().data.size();
    packets_.pop_front();
    ++first_;
  }
  written_ = std::max(written_, first_);
  songStart_ = std::max(songStart_, first_);
}

void SongBuffer::writePending() {
  if (!writer_) return;
  for (; written_ < first_ + packets_.size(); ++written_)
    writer_->write(packets_[static_cast<std::size_t>(written_ - first_)]);
  writer_->flush();
}

void SongBuffer::stopSaving() {
  const std::lock_guard lock(mutex_);
  writer_.reset();
}

std::optional<std::string> SongBuffer::save(const std::string& directory,
                                            const std::string& station) {
  const std::lock_guard lock(mutex_);
  const std::string_view extension = songExtension(codec_);
  if (!params_ || packets_.empty() || extension.empty()) return std::nullopt;
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  const std::string title = streamTitleOf(title_);
  // A file already there is never overwritten: the first free " (n)" is taken.
  std::string path;
  for (int n = 1; n < 1000 && path.empty(); ++n) {
    const std::string candidate = directory + "/" + songFileName(title, extension, n);
    const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      ::close(fd);
      path = candidate;
    } else if (errno != EEXIST) {
      return std::nullopt;
    }
  }
  if (path.empty()) return std::nullopt;
  auto writer = std::make_unique<Writer>();
  if (!writer->open(path, extension, *params_, timeBase_, splitSongName(title), station)) {
    std::filesystem::remove(path, error);
    return std::nullopt;
  }
  log::write(log::Domain::Engine, "saving the song into ", path);
  writer_ = std::move(writer);
  // The decoder writes what is kept at its next packet, so this call never waits for the disk.
  written_ = std::max(songStart_, first_);
  return path;
}

std::size_t SongBuffer::bytes() const {
  const std::lock_guard lock(mutex_);
  return bytes_;
}

bool SongBuffer::saving() const {
  const std::lock_guard lock(mutex_);
  return writer_ != nullptr;
}

}  // namespace radiolist::audio
