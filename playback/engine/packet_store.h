#pragma once
// The audio stream's packets as the demuxer gave them, kept on a media clock: microseconds of
// audio since the first packet ever kept, each packet lasting what it says (or its codec's
// frame). A stream with other parameters (another codec, another Ogg link) begins a new segment,
// whose parameters its packets are decoded and saved with. Owns the packets' bytes, their index
// and the segments; drops the oldest when told the budget or the keep time is passed.
//
// Threads: none of its own and no lock: SongBuffer holds it under its mutex, so push() comes from
// the source's decoder thread and the readers from whichever thread holds that lock.

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "playback/engine/ffmpeg_util.h"

namespace radiolist::audio {

class PacketStore {
 public:
  // What remuxing needs of a packet besides its bytes, which wait in the store in the same order.
  struct Kept {
    std::uint64_t at = 0;  // where its bytes begin, counted from the first byte ever kept
    std::int64_t duration = 0;
    std::int64_t startUs = 0;  // on the media clock
    std::chrono::steady_clock::time_point when;
    std::uint32_t size = 0;
    int flags = 0;
  };
  // Where a stream's parameters begin.
  struct Segment {
    std::uint64_t first = 0;  // sequence number of its first packet
    std::uint64_t id = 0;
    std::shared_ptr<const AVCodecParameters> params;
    AVRational timeBase{1, 1};
    std::string codec;
  };
  // A packet's sequence number and where it ends on the media clock.
  struct Pushed {
    std::uint64_t seq = 0;
    std::int64_t endUs = 0;
  };
  struct PushResult {
    bool streamChanged = false;    // the parameters differ from the last packet's
    bool segmentBegan = false;     // ... and a segment for them begins at nextSeq()
    bool trimmed = false;          // the oldest may have gone: firstSeq() may have moved
    std::optional<Pushed> pushed;  // nothing when the packet was not kept
  };
  // A kept packet to decode again, with the parameters of its segment.
  struct Replay {
    PacketPtr packet;
    std::shared_ptr<const AVCodecParameters> params;
    AVRational timeBase{1, 1};
    std::uint64_t seq = 0;
    std::uint64_t segment = 0;  // changes where the parameters change
    std::int64_t startUs = 0;
    std::int64_t endUs = 0;
  };
  // Packets copied out with their bytes, to be written without the lock.
  struct Copy {
    std::vector<Kept> kept;
    std::deque<std::uint8_t> bytes;  // from kept.front().at on
  };

  // Keeps `packet` of `stream`, then drops the oldest while they and `otherBytes` cost more than
  // `budget` or are older than `keepTime`.
  PushResult push(const AVPacket& packet, const AVStream& stream,
                  std::chrono::steady_clock::time_point now, std::size_t budget,
                  std::size_t otherBytes, std::chrono::steady_clock::duration keepTime);

  [[nodiscard]] std::uint64_t firstSeq() const { return first_; }
  [[nodiscard]] std::uint64_t nextSeq() const { return first_ + packets_.size(); }
  [[nodiscard]] std::size_t packets() const { return packets_.size(); }
  [[nodiscard]] bool empty() const { return packets_.empty(); }
  // Payload and bookkeeping of the packets and segments kept.
  [[nodiscard]] std::size_t bytes() const { return bytes_; }
  // The media clock: where the oldest packet kept begins, where the newest ends.
  [[nodiscard]] std::int64_t oldestUs() const {
    return packets_.empty() ? liveUs_ : packets_.front().startUs;
  }
  [[nodiscard]] std::int64_t liveUs() const { return liveUs_; }
  // Counts the streams pushed, to tell one that began meanwhile.
  [[nodiscard]] std::uint64_t streams() const { return streams_; }
  [[nodiscard]] bool hasSegments() const { return !segments_.empty(); }
  [[nodiscard]] const Segment& lastSegment() const { return segments_.back(); }
  // The segment holding `seq` (which must be kept), and where the next one after `seq` begins
  // (nextSeq() when none does).
  [[nodiscard]] const Segment& segmentOf(std::uint64_t seq) const;
  [[nodiscard]] std::uint64_t segmentEndAfter(std::uint64_t seq) const;
  // The packet sounding at `us` (the oldest before it, the next to come past the newest).
  [[nodiscard]] std::uint64_t seqAt(std::int64_t us) const;
  // A kept packet and its bytes; `seq` must be kept.
  [[nodiscard]] const Kept& at(std::uint64_t seq) const {
    return packets_[static_cast<std::size_t>(seq - first_)];
  }
  [[nodiscard]] std::deque<std::uint8_t>::const_iterator bytesOf(const Kept& kept) const {
    return data_.cbegin() + static_cast<std::ptrdiff_t>(kept.at - dataFirst_);
  }
  // The packet `seq`, or the oldest kept when `seq` has been dropped; nothing when `seq` is not
  // kept yet.
  [[nodiscard]] std::optional<Replay> replay(std::uint64_t seq) const;
  // Packets [begin, end), which must be kept and not empty.
  [[nodiscard]] Copy copy(std::uint64_t begin, std::uint64_t end) const;

 private:
  // A packet's share of the memory kept: its bytes, its index entry, and what the two deques'
  // 512-byte blocks waste and their heap headers take.
  static std::size_t cost(std::size_t size) {
    return size + size / 32 + sizeof(Kept) + sizeof(Kept) / 4;
  }
  // A segment's share: its entry, its copy of the parameters with their extradata (a Vorbis
  // link's headers, its comments included), and the heap blocks and control block they take. A
  // chained Ogg stream of short links makes one per link.
  static std::size_t cost(const Segment& segment) {
    constexpr std::size_t kHeapBlocks = 4 * 32;
    return sizeof(Segment) + sizeof(AVCodecParameters) + kHeapBlocks + segment.codec.size() +
           static_cast<std::size_t>(segment.params->extradata_size) + AV_INPUT_BUFFER_PADDING_SIZE;
  }
  [[nodiscard]] bool sameStream(const AVStream& stream) const;
  // Begins a segment for `stream` at nextSeq(); false when its parameters are not kept.
  bool beginSegment(const AVStream& stream);
  void trim(std::chrono::steady_clock::time_point now, std::size_t budget, std::size_t otherBytes,
            std::chrono::steady_clock::duration keepTime);
  void dropFront();

  std::deque<Kept> packets_;
  std::deque<std::uint8_t> data_;
  std::uint64_t dataFirst_ = 0;  // Kept::at of data_.front()
  std::uint64_t first_ = 0;      // sequence number of packets_.front()
  std::size_t bytes_ = 0;
  std::deque<Segment> segments_;  // the first may begin before the oldest packet kept; counted
  std::int64_t liveUs_ = 0;       // where the newest packet ends on the media clock
  std::uint64_t streams_ = 0;
};

}  // namespace radiolist::audio
