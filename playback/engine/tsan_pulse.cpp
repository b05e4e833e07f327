// Linked into every program that uses the engine, in ThreadSanitizer builds only.
//
// libpulse is not built with ThreadSanitizer, so the hand-offs between its threaded mainloop
// and the threads that lock that loop are invisible to it and show up as races on libpulse's
// own mutexes and allocations. Built in rather than passed through TSAN_OPTIONS so that no test
// binary (or a run outside the test script) can miss them.
extern "C" const char* __tsan_default_suppressions();

extern "C" const char* __tsan_default_suppressions() {
  return "race:libpulsecommon\n"
         "race:libpulse.so\n";
}
