#pragma once
// The one place where what a request came to (files/outcome.h: a save of the song, an export, an
// addition of stations) becomes words, in the listener's language.

#include <QString>

#include "app/core/now_playing.h"
#include "files/outcome.h"
#include "playback/directory/directory_client.h"
#include "playback/song_save.h"

namespace radiolist {

// The whole message for the listener; "" for Done.
[[nodiscard]] QString outcomeText(const Outcome& outcome);
// Only the reason, without the file it concerns: the system's words for a file that could not be
// read or written, else as outcomeText.
[[nodiscard]] QString reasonText(const Outcome& outcome);
// What asking to save the song came to: the file being written, or why there is none.
[[nodiscard]] QString songSaveText(const SongSave& save);
// Why an addition of stations added nothing; "" when it went through.
[[nodiscard]] QString additionError(const StationsAdded& added);
// Why the station directory gave no answer; "" when it did.
[[nodiscard]] QString directoryText(const directory::Outcome& outcome);
// A path or address as a message shows it: what would reorder or hide its text replaced.
[[nodiscard]] QString shownText(const QString& item);

}  // namespace radiolist
