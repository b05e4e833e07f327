#pragma once
// The list views' side of the list files: load a file into a list view, save a list view,
// count a file's lines. Paths are full paths; failures throw with the list files' messages.
// The text encoding ("ANSI" code page) is chosen once per process from the locale.

#include <QString>
#include <optional>

#include "files/outcome.h"

class TListBox;

namespace radiolist {

// Each of these first settles the saves of stations added from outside (list_saver.h), so it
// reads and writes after them.
//
// Replaces every row with the file's lines; afterwards no row is selected. On failure the list
// keeps its rows and selection.
void loadListView(TListBox* list, const QString& path);
// Writes the rows, each followed by CR LF, in the list files' code page. A file whose last load
// or count failed for another reason than its absence is not written: the error says why.
void saveListView(const TListBox* list, const QString& path);
// Number of lines a load of the file yields.
[[nodiscard]] int countListLines(const QString& path);
// Nothing when the file may be saved, else why not: its last load or count failed for another
// reason than its absence (ListUnread), or (`unreadUnknown`) it exists and was never loaded
// (ListNotLoaded).
[[nodiscard]] std::optional<Outcome> listRefusal(const QString& path, bool unreadUnknown);
// listRefusal(path, false) in the words of the window's error box; "" when there is none.
[[nodiscard]] QString saveRefusal(const QString& path);

// Text as it comes back from a round trip through the list files' code page: characters the
// page cannot hold become look-alikes or "?".
[[nodiscard]] QString narrowToListCodePage(const QString& text);

}  // namespace radiolist
