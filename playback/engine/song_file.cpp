#include "playback/engine/song_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include <sys/stat.h>

#include "text/hidden.h"
#include "text/utf8.h"

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

std::pair<std::unique_ptr<SongFile>, SongSave> SongFile::make(
    const std::string& directory, const std::string& extension, const AVCodecParameters& params,
    AVRational timeBase, const SongTitle& title, const std::string& station) {
  using Status = SongSave::Status;
  const auto fail = [](SongSave why) {
    return std::pair<std::unique_ptr<SongFile>, SongSave>(nullptr, std::move(why));
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
    return fail(
        {Status::NamesUsedUp, directory, Outcome::about(Outcome::Code::NamesUsedUp, directory)});
  }
  auto writer = std::make_unique<SongFile>(fd, path);
  if (Outcome why = writer->open(extension, params, timeBase, title, station); !why.done())
    return fail({Status::CannotWrite, path, std::move(why)});  // the writer removes the file
  return {std::move(writer), SongSave{Status::Saving, path, {}}};
}

Outcome SongFile::open(std::string_view extension, const AVCodecParameters& params,
                       AVRational timeBase, const SongTitle& name, const std::string& station) {
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

bool SongFile::write(const PacketStore::Kept& kept,
                     std::deque<std::uint8_t>::const_iterator bytes) {
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
        (avcodec_parameters_copy(out_->streams[0]->codecpar, adts_->par_out) < 0 || !writeHeader()))
      return fail(error());
  }
  av_packet_rescale_ts(copy.get(), in_, out_->streams[0]->time_base);
  const int r = av_write_frame(out_, copy.get());
  if (r < 0 || out_->pb->error < 0) return fail(ffmpegError(r < 0 ? r : out_->pb->error));
  ++packets_;
  return true;
}

bool SongFile::flush() {
  if (!ok()) return false;
  avio_flush(out_->pb);
  return out_->pb->error >= 0 || fail(ffmpegError(out_->pb->error));
}

void SongFile::close() {
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

int SongFile::writeFile(void* opaque, std::uint8_t* data, int size) {
  auto& self = *static_cast<SongFile*>(opaque);
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

std::int64_t SongFile::seekFile(void* opaque, std::int64_t offset, int whence) {
  auto& self = *static_cast<SongFile*>(opaque);
  if (whence == AVSEEK_SIZE) {
    struct stat st {};
    return ::fstat(self.fd_, &st) == 0 ? st.st_size : AVERROR(errno);
  }
  const off_t at = ::lseek(self.fd_, offset, whence & ~AVSEEK_FORCE);
  return at < 0 ? AVERROR(errno) : at;
}

Outcome SongFile::ffmpegError(int result) const {
  if (errno_ != 0) return Outcome::cannotCreate(path_, errno_);
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(result, text, sizeof text);
  return Outcome::about(Outcome::Code::MuxerFailed, path_, text);
}

bool SongFile::fail(Outcome why) {
  if (error_.done()) error_ = std::move(why);
  return false;
}

bool SongFile::openAdtsFilter(const AVCodecParameters& params, AVRational timeBase) {
  const AVBitStreamFilter* filter = av_bsf_get_by_name("aac_adtstoasc");
  if (filter == nullptr || av_bsf_alloc(filter, &adts_) < 0) return false;
  adts_->time_base_in = timeBase;
  return avcodec_parameters_copy(adts_->par_in, &params) >= 0 && av_bsf_init(adts_) >= 0;
}

bool SongFile::writeHeader() {
  const int r = avformat_write_header(out_, &options_);
  headerWritten_ = r >= 0 && out_->pb->error >= 0;
  return headerWritten_ || fail(ffmpegError(r < 0 ? r : out_->pb->error));
}

}  // namespace radiolist::audio
