#pragma once
// The audio library's public calls. Every call comes from the program's UI thread and returns
// without waiting for the network: connecting, probing and decoding run on the library's own
// threads, which never call back into the program.
//
// Handles are 32-bit; 0 means none. Any call on 0, on an unknown handle or on a handle ended by
// BASS_Free does nothing (tags give nullptr).

#include <cstdint>

using DWORD = std::uint32_t;
using BOOL = int;
using HSTREAM = DWORD;
using DOWNLOADPROC = void(const void* buffer, DWORD length, void* user);

inline constexpr DWORD BASS_UNICODE = 0x80000000u;  // url is NUL-terminated UTF-16, else UTF-8

inline constexpr DWORD BASS_TAG_HTTP = 3;  // response header lines of an HTTP/1.x answer
inline constexpr DWORD BASS_TAG_ICY = 4;   // response header lines of an "ICY 200 OK" answer
inline constexpr DWORD BASS_TAG_META = 5;  // latest in-band metadata block

inline constexpr DWORD BASS_ACTIVE_STOPPED = 0;
inline constexpr DWORD BASS_ACTIVE_PLAYING = 1;
inline constexpr DWORD BASS_ACTIVE_STALLED = 2;  // playing, waiting for data
inline constexpr DWORD BASS_ACTIVE_PAUSED = 3;

extern "C" {
// Opens the output (PulseAudio). Fails (returns 0) when no sound server can be reached; later
// creations then give 0. `device` -1 is the default device.
BOOL BASS_Init(int device, DWORD freq, DWORD flags, void* win, const void* dsguid);
// Ends every stream: each falls silent within a few tens of milliseconds (what the device has
// queued still plays). The output stays open for the next BASS_Init, and a connection freed
// here stays warm for a few seconds for a new creation of the same address. Threads and
// sockets wind down in the background. Does nothing before the first BASS_Init.
BOOL BASS_Free();
// Starts (resumes) the output.
BOOL BASS_Start();
// Creates a stream for a URL and returns at once. 0 when the address cannot be a stream
// (empty, no host, a scheme other than http/https) or the library is not initialised.
// The general call plays every format but the AAC family; the AAC call plays only AAC and
// MP4/M4A. For one address exactly one of the two ever plays; the other ends silently.
HSTREAM BASS_StreamCreateURL(const void* url, DWORD offset, DWORD flags, DOWNLOADPROC* proc,
                             void* user);
HSTREAM BASS_AAC_StreamCreateURL(const void* url, DWORD offset, DWORD flags, DOWNLOADPROC* proc,
                                 void* user);
// BASS_ACTIVE_*; a stream created but not yet played is never BASS_ACTIVE_PLAYING.
DWORD BASS_ChannelIsActive(DWORD handle);
// Starts playback; with restart it resumes at the live edge, dropping stale buffered audio.
BOOL BASS_ChannelPlay(DWORD handle, BOOL restart);
// Silences at once.
BOOL BASS_ChannelStop(DWORD handle);
// BASS_TAG_ICY / BASS_TAG_HTTP: header lines, each NUL-terminated, the run ended by an empty
// string. BASS_TAG_META: one NUL-terminated string. nullptr when there is no such data (yet).
// The pointer stays valid at least until the next call into the library.
const char* BASS_ChannelGetTags(DWORD handle, DWORD tags);
}
