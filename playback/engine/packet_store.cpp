#include "playback/engine/packet_store.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace radiolist::audio {

bool PacketStore::sameStream(const AVStream& stream) const {
  const AVCodecParameters& in = *stream.codecpar;
  const AVCodecParameters* last = segments_.empty() ? nullptr : segments_.back().params.get();
  return last != nullptr && last->codec_id == in.codec_id && last->sample_rate == in.sample_rate &&
         last->ch_layout.nb_channels == in.ch_layout.nb_channels &&
         last->extradata_size == in.extradata_size &&
         (in.extradata_size == 0 ||
          std::memcmp(last->extradata, in.extradata, static_cast<std::size_t>(in.extradata_size)) ==
              0) &&
         av_cmp_q(segments_.back().timeBase, stream.time_base) == 0;
}

bool PacketStore::beginSegment(const AVStream& stream) {
  constexpr int kLargestExtradata = 4 << 20;
  const AVCodecParameters& in = *stream.codecpar;
  const std::uint64_t next = nextSeq();
  // A segment none of whose packets was kept serves nothing: the new one takes its place.
  if (!segments_.empty() && segments_.back().first == next) {
    bytes_ -= cost(segments_.back());
    segments_.pop_back();
  }
  // Headers this large are no station's: they would crowd out the song.
  if (in.extradata_size > kLargestExtradata) return false;
  AVCodecParameters* params = avcodec_parameters_alloc();
  if (params == nullptr || avcodec_parameters_copy(params, &in) < 0) {
    avcodec_parameters_free(&params);
    return false;
  }
  segments_.push_back({next,
                       ++streams_,
                       {params, [](AVCodecParameters* p) { avcodec_parameters_free(&p); }},
                       stream.time_base,
                       avcodec_get_name(in.codec_id)});
  bytes_ += cost(segments_.back());
  return true;
}

PacketStore::PushResult PacketStore::push(const AVPacket& packet, const AVStream& stream,
                                          std::chrono::steady_clock::time_point now,
                                          std::size_t budget, std::size_t otherBytes,
                                          std::chrono::steady_clock::duration keepTime) {
  // A packet of more than this is no audio frame: it would only crowd out the song.
  constexpr int kLargestPacket = 1 << 20;
  PushResult result;
  if (!sameStream(stream)) {
    // Another codec or another Ogg link: what is kept cannot go into the same file.
    result.streamChanged = true;
    if (!beginSegment(stream)) return result;
    result.segmentBegan = true;
  }
  result.trimmed = true;
  if (packet.size <= 0 || packet.size > kLargestPacket) {
    trim(now, budget, otherBytes, keepTime);
    return result;
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
  result.pushed = Pushed{nextSeq(), liveUs_};
  packets_.push_back(
      {dataFirst_ + data_.size(), packet.duration, startUs, now, size, packet.flags});
  data_.insert(data_.end(), packet.data, packet.data + size);
  bytes_ += cost(size);
  trim(now, budget, otherBytes, keepTime);
  return result;
}

void PacketStore::dropFront() {
  const Kept& front = packets_.front();
  bytes_ -= cost(front.size);
  data_.erase(data_.begin(), data_.begin() + front.size);
  dataFirst_ += front.size;
  packets_.pop_front();
  ++first_;
}

void PacketStore::trim(std::chrono::steady_clock::time_point now, std::size_t budget,
                       std::size_t otherBytes, std::chrono::steady_clock::duration keepTime) {
  while (!packets_.empty() &&
         (bytes_ + otherBytes > budget || now - packets_.front().when > keepTime))
    dropFront();
  // A segment is kept while it covers a packet kept (or the next to come).
  while (segments_.size() > 1 && segments_[1].first <= first_) {
    bytes_ -= cost(segments_.front());
    segments_.pop_front();
  }
}

const PacketStore::Segment& PacketStore::segmentOf(std::uint64_t seq) const {
  auto it =
      std::upper_bound(segments_.begin(), segments_.end(), seq,
                       [](std::uint64_t s, const Segment& segment) { return s < segment.first; });
  return it == segments_.begin() ? segments_.front() : *std::prev(it);
}

std::uint64_t PacketStore::segmentEndAfter(std::uint64_t seq) const {
  for (const Segment& s : segments_) {
    if (s.first > seq) return std::min(s.first, nextSeq());
  }
  return nextSeq();
}

std::uint64_t PacketStore::seqAt(std::int64_t us) const {
  if (packets_.empty() || us >= liveUs_) return nextSeq();
  auto it = std::upper_bound(packets_.begin(), packets_.end(), us,
                             [](std::int64_t t, const Kept& kept) { return t < kept.startUs; });
  if (it != packets_.begin()) --it;
  return first_ + static_cast<std::uint64_t>(it - packets_.begin());
}

std::optional<PacketStore::Replay> PacketStore::replay(std::uint64_t seq) const {
  if (packets_.empty() || seq >= nextSeq() || segments_.empty()) return std::nullopt;
  seq = std::max(seq, first_);
  const Kept& kept = at(seq);
  Replay out;
  out.packet.reset(av_packet_alloc());
  if (!out.packet || av_new_packet(out.packet.get(), static_cast<int>(kept.size)) < 0)
    return std::nullopt;
  const auto bytes = bytesOf(kept);
  std::copy(bytes, bytes + kept.size, out.packet->data);
  out.packet->flags = kept.flags;
  out.packet->duration = kept.duration;
  const Segment& segment = segmentOf(seq);
  out.params = segment.params;
  out.timeBase = segment.timeBase;
  out.segment = segment.id;
  out.seq = seq;
  out.startUs = kept.startUs;
  out.endUs = seq + 1 < nextSeq() ? at(seq + 1).startUs : liveUs_;
  return out;
}

PacketStore::Copy PacketStore::copy(std::uint64_t begin, std::uint64_t end) const {
  Copy out;
  out.kept.assign(packets_.begin() + static_cast<std::ptrdiff_t>(begin - first_),
                  packets_.begin() + static_cast<std::ptrdiff_t>(end - first_));
  const std::uint64_t from = out.kept.front().at;
  const auto bytesBegin = bytesOf(out.kept.front());
  out.bytes.assign(bytesBegin, bytesBegin + static_cast<std::ptrdiff_t>(
                                                out.kept.back().at + out.kept.back().size - from));
  return out;
}

}  // namespace radiolist::audio
