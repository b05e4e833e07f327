// Linked into every program that uses the audio library, in ThreadSanitizer builds only.
//
// libpulse is not built with ThreadSanitizer, so the hand-offs between its threaded mainloop
// and the threads that lock that loop are invisible to it and show up as races on libpulse's
// own mutexes and allocations. Built in rather than passed through TSAN_OPTIONS so that no test
// binary (or a run outside the test script) can miss them.
extern "C" const char* __tsan_default_suppressions();

//
// libcrypto (curl's TLS) frees its locks in its exit handler, while a stream thread that has just
// ended may still be in libcrypto's own per-thread clean-up, which takes one of those locks. Both
// sides are inside libcrypto, at process exit; our threads are cancelled and have finished their
// transfers by then (the exit handler in http_stream.cpp waits for that).
extern "C" const char* __tsan_default_suppressions() {
  return "race:libpulsecommon\n"
         "race:libpulse.so\n"
         "race:libcrypto.so\n";
}
