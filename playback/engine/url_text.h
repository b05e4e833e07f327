#pragma once
// The address argument of the creation calls, as UTF-8. Pure.

#include <cstddef>
#include <optional>
#include <string>

namespace radiolist::audio {

// Reads the NUL-terminated address at `url`: UTF-16 (native byte order) when `unicode`, else
// UTF-8 bytes taken as they are. Unpaired surrogates become U+FFFD. nullopt for a null pointer or
// when no NUL comes within `maxUnits` code units (the address is then unusable anyway and the
// scan stays bounded).
[[nodiscard]] std::optional<std::string> addressFromArgument(const void* url, bool unicode,
                                                             std::size_t maxUnits);

}  // namespace radiolist::audio
