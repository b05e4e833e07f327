#pragma once
// The window is laid out in Tahoma at fixed pixel sizes. Where fontconfig has Tahoma, it is used;
// otherwise DejaVu Sans Condensed stands in: the same humanist shapes at Tahoma's narrow widths,
// Cyrillic included, a true bold at every size the layout uses (11-19 px) and clean advances
// (no gap after '/'). Wine's copy of Tahoma is not used: at these sizes its bold face renders at
// regular weight and its slashes leave gaps.

#include <QFont>
#include <QString>

namespace radiolist {
// The family every control of the window and the list canvas draws with; chosen once.
[[nodiscard]] QString windowFontFamily();
// That family at `pixelSize`, bold or regular.
[[nodiscard]] QFont windowFont(int pixelSize, bool bold);
}  // namespace radiolist
