#pragma once
// When each stage of starting a stream first happened, for the start-up bench: armed at a
// click, each stage keeps the first time it is reached by what was started after that. A
// connection, a voice... takes the recording's number when it is made (0 while unarmed) and
// marks with it, so what still plays from before does not count. A mark costs an atomic load or
// two and never locks or allocates: the output's callback may mark.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

namespace radiolist::log::timeline {

enum class Stage : unsigned {
  Hinted,     // the window said which address comes next
  Created,    // a creation call took a source (new or warm)
  Connected,  // a connection is open, the request about to go out
  Head,       // the response head is complete
  FirstByte,  // the first body byte is in the stream's buffer
  Probed,     // the demuxer is open and the codec known
  Decoded,    // the first frame came out of the decoder
  Queued,     // the first frame is in the voice's ring
  Rendered,   // the mixer first put an audible voice's frame into the output
  Count
};

[[nodiscard]] std::string_view name(Stage stage);

// Forgets every mark and starts a new recording.
void arm();
void disarm();
// The number of the recording going on, 0 when none.
[[nodiscard]] std::uint32_t recording() noexcept;
// Records the stage's first time, if `recordingNumber` is the recording going on.
void mark(Stage stage, std::uint32_t recordingNumber) noexcept;
// Since arm(), or nothing when the stage was not reached.
[[nodiscard]] std::optional<std::chrono::nanoseconds> at(Stage stage);

}  // namespace radiolist::log::timeline
