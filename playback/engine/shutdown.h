#pragma once
// The end of the process-wide library behind bass.h.

namespace radiolist::audio {

// Stops every stream of the library and joins their threads; no connection is made after it
// returns, and later calls of the nine functions create nothing. Call it once the caller is
// done with the library (the program: after its event loop), before static destructors run.
void shutdownLibrary();

}  // namespace radiolist::audio
