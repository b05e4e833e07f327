#pragma once
// Beyond the nine calls of the process-wide library behind bass.h: a hint, and its end.

namespace radiolist::audio {

// Stops every stream of the library and joins their threads; no connection is made after it
// returns, and later calls of the nine functions create nothing. Call it once the caller is
// done with the library (the program: after its event loop), before static destructors run.
void shutdownLibrary();

// `url` (NUL-terminated UTF-16) is about to be created: it starts connecting and decoding now,
// silent, for a creation within a few seconds to take over (Engine::prepare). Never waits.
void prepareAddress(const char16_t* url);

}  // namespace radiolist::audio
