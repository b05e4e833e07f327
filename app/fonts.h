#pragma once

namespace radiolist {
// The window is laid out for Tahoma. When fontconfig does not know it, the metric-compatible
// copy from Debian's fonts-wine is registered for this process.
void ensureTahoma();
}  // namespace radiolist
