#include "playback/engine/song_buffer.h"

#include <algorithm>
#include <utility>

#include "playback/engine/log_domains.h"
#include "playback/log/log.h"

namespace radiolist::audio {

SongBuffer::SongBuffer() = default;

SongBuffer::~SongBuffer() = default;

void SongBuffer::titleIs(const SongTitle& title, std::string_view meta) {
  const std::lock_guard lock(mutex_);
  if (!marks_.change(title, meta, store_.nextSeq(), store_.liveUs())) return;
  songStart_ = store_.nextSeq();
  file_.reset();  // the song it saved has ended
}

std::optional<SongBuffer::Pushed> SongBuffer::push(const AVPacket& packet, const AVStream& stream) {
  const auto now = std::chrono::steady_clock::now();
  std::optional<Pushed> pushed;
  {
    const std::lock_guard lock(mutex_);
    const PacketStore::PushResult result =
        store_.push(packet, stream, now, kKeepBytes, marks_.bytes(), kKeepTime);
    // Another codec or another Ogg link: what is kept cannot go into the same file.
    if (result.streamChanged) file_.reset();
    if (result.segmentBegan) songStart_ = written_ = store_.lastSegment().first;
    if (result.trimmed) trimmed();
    if (!result.pushed) return std::nullopt;
    pushed = result.pushed;
    if (!songExtension(store_.lastSegment().codec).empty()) writePending();
  }
  pushed_.notify_all();
  return pushed;
}

void SongBuffer::trimmed() {
  // A mark is kept while it covers a packet kept (or the next to come).
  marks_.dropBefore(store_.firstSeq());
  written_ = std::max(written_, store_.firstSeq());
  songStart_ = std::max(songStart_, store_.firstSeq());
}

void SongBuffer::writePending() {
  if (!file_) return;
  for (; written_ < store_.nextSeq() && file_->ok(); ++written_) {
    const PacketStore::Kept& kept = store_.at(written_);
    file_->write(kept, store_.bytesOf(kept));
  }
  if (file_->flush()) return;
  // A full disk, a folder gone: the file keeps what it got, and the save ends, said so once.
  {
    const std::lock_guard lock(failureMutex_);
    failure_ = SongSave{SongSave::Status::CannotWrite, file_->path(), file_->error()};
  }
  log::write(audio::kEngineLog, "saving the song stopped: ", file_->path(), ": ",
             files::describe(file_->error().failure), file_->error().detail);
  file_.reset();
}

void SongBuffer::stopSaving() {
  const std::lock_guard lock(mutex_);
  file_.reset();
}

std::uint64_t SongBuffer::seqAt(std::int64_t us) const {
  const std::lock_guard lock(mutex_);
  return store_.seqAt(us);
}

std::uint64_t SongBuffer::nextSeq() const {
  const std::lock_guard lock(mutex_);
  return store_.nextSeq();
}

std::int64_t SongBuffer::oldestUs() const {
  const std::lock_guard lock(mutex_);
  return store_.oldestUs();
}

std::int64_t SongBuffer::liveUs() const {
  const std::lock_guard lock(mutex_);
  return store_.liveUs();
}

std::optional<SongBuffer::Replay> SongBuffer::packet(std::uint64_t seq) const {
  const std::lock_guard lock(mutex_);
  return store_.replay(seq);
}

std::optional<SongBuffer::Heard> SongBuffer::titleAt(std::int64_t us) const {
  const std::lock_guard lock(mutex_);
  if (marks_.empty()) return std::nullopt;
  const TitleMarks::Mark& mark = marks_[marks_.at(us)];
  return Heard{mark.title, mark.meta};
}

bool SongBuffer::waitFor(std::uint64_t seq, const std::stop_token& stop,
                         const std::atomic<bool>& woken) const {
  std::unique_lock lock(mutex_);
  pushed_.wait(lock, stop,
               [&] { return seq < store_.nextSeq() || woken.load(std::memory_order_acquire); });
  return seq < store_.nextSeq();
}

void SongBuffer::wakeWaiters() const {
  // Under the lock: a waiter between its test of `woken` and its sleep would miss the call.
  { const std::lock_guard lock(mutex_); }
  pushed_.notify_all();
}

SongSave SongBuffer::save(const std::string& directory, const std::string& station,
                          std::optional<std::int64_t> heardUs) {
  using Status = SongSave::Status;
  // What the file needs is taken under the lock; the folder and the file are made without it, so
  // that a slow disk holds up this call only, not the decoder's next packet.
  std::unique_lock lock(mutex_);
  if (heardUs && !marks_.empty()) {
    const std::size_t mark = marks_.at(*heardUs);
    if (mark + 1 < marks_.size()) return savePast(directory, station, lock, mark);
  }
  if (file_) return {Status::Saving, file_->path(), {}};
  if (!store_.hasSegments())
    return {Status::NothingToSave, {}, Outcome::about(Outcome::Code::NoAudioYet)};
  const PacketStore::Segment& segment = store_.lastSegment();
  const std::string extension(songExtension(segment.codec));
  if (extension.empty())
    return {
        Status::NothingToSave, {}, Outcome::about(Outcome::Code::CodecNotSaved, {}, segment.codec)};
  if (store_.empty()) return {Status::NothingToSave, {}, Outcome::about(Outcome::Code::NoAudioYet)};
  const SongTitle title = marks_.current();
  const std::uint64_t stream = store_.streams();
  const AVRational timeBase = segment.timeBase;
  const std::shared_ptr<const AVCodecParameters> params = segment.params;
  lock.unlock();

  auto [file, answer] = SongFile::make(directory, extension, *params, timeBase, title, station);
  if (!file) return answer;

  lock.lock();
  // Meanwhile another request may have started the save, or the song or the stream ended: this
  // file, still without audio, goes again.
  if (file_) return {Status::Saving, file_->path(), {}};
  if (marks_.current().text != title.text || store_.streams() != stream)
    return {Status::NothingToSave, {}, Outcome::about(Outcome::Code::SongEnded)};
  log::write(audio::kEngineLog, "saving the song into ", answer.path);
  file_ = std::move(file);
  written_ = std::max(songStart_, store_.firstSeq());
  // What is kept of the song goes in now, so the file plays as soon as it is named.
  writePending();
  if (!file_) {
    const std::lock_guard failed(failureMutex_);
    return *std::exchange(failure_, std::nullopt);  // told here, not again
  }
  return answer;
}

SongSave SongBuffer::savePast(const std::string& directory, const std::string& station,
                              std::unique_lock<std::mutex>& lock, std::size_t markIndex) {
  using Status = SongSave::Status;
  const TitleMarks::Mark& mark = marks_[markIndex];
  if (pastMark_ == mark.seq + 1) return {Status::Saving, pastPath_, {}};
  if (store_.empty() || !store_.hasSegments())
    return {Status::NothingToSave, {}, Outcome::about(Outcome::Code::NoAudioYet)};
  const std::uint64_t begin = std::max(mark.seq, store_.firstSeq());
  const PacketStore::Segment& segment = store_.segmentOf(begin);
  const std::string extension(songExtension(segment.codec));
  if (extension.empty())
    return {
        Status::NothingToSave, {}, Outcome::about(Outcome::Code::CodecNotSaved, {}, segment.codec)};
  // The song's packets of its own stream, copied out: the disk is written without the lock.
  const std::uint64_t end = std::min(marks_[markIndex + 1].seq, store_.segmentEndAfter(begin));
  if (begin >= end)
    return {Status::NothingToSave, {}, Outcome::about(Outcome::Code::NoAudioOfSong)};
  const PacketStore::Copy song = store_.copy(begin, end);
  const SongTitle title = mark.title;
  const std::uint64_t markSeq = mark.seq;
  const AVRational timeBase = segment.timeBase;
  const std::shared_ptr<const AVCodecParameters> params = segment.params;
  lock.unlock();

  auto [file, answer] = SongFile::make(directory, extension, *params, timeBase, title, station);
  if (!file) return answer;
  const std::uint64_t at = song.kept.front().at;
  for (const PacketStore::Kept& k : song.kept)
    file->write(k, song.bytes.cbegin() + static_cast<std::ptrdiff_t>(k.at - at));
  if (!file->flush() || !file->ok()) return {Status::CannotWrite, file->path(), file->error()};
  log::write(audio::kEngineLog, "saved a song heard behind live into ", answer.path);
  lock.lock();
  pastMark_ = markSeq + 1;
  pastPath_ = answer.path;
  return answer;
}

std::optional<SongSave> SongBuffer::takeFailure() {
  const std::lock_guard lock(failureMutex_);
  return std::exchange(failure_, std::nullopt);
}

std::size_t SongBuffer::bytes() const {
  const std::lock_guard lock(mutex_);
  return store_.bytes() + marks_.bytes();
}

std::size_t SongBuffer::packets() const {
  const std::lock_guard lock(mutex_);
  return store_.packets();
}

bool SongBuffer::saving() const {
  const std::lock_guard lock(mutex_);
  return file_ != nullptr;
}

}  // namespace radiolist::audio
