#pragma once
// The list views' side of the list files: load a file into a list view, save a list view,
// count a file's lines. Paths are full paths; failures throw with the list files' messages.
// The text encoding ("ANSI" code page) is chosen once per process from the locale.

#include <QString>

class TListBox;

namespace radiolist {

// Replaces every row with the file's lines; afterwards no row is selected. On failure the list
// keeps its rows and selection.
void loadListView(TListBox* list, const QString& path);
// Writes the rows, each followed by CR LF, in the list files' code page.
void saveListView(const TListBox* list, const QString& path);
// Number of lines a load of the file yields.
[[nodiscard]] int countListLines(const QString& path);

// Text as it comes back from a round trip through the list files' code page: characters the
// page cannot hold become look-alikes or "?".
[[nodiscard]] QString narrowToListCodePage(const QString& text);

}  // namespace radiolist
