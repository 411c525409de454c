// Linked into sanitizer builds of the test programs that open X windows:
// the X11 and Mesa libraries keep a few bytes to the end of the process,
// allocated from modules unloaded before the leak check runs, so they can
// be neither freed nor suppressed by name. Every other check stays on.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }
