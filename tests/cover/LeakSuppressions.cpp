// Fonts and the window system keep caches that live until the process
// ends; the leak checker of sanitizer builds is told so here, because only
// the first entry of the tests' environment (QT_QPA_PLATFORM) reaches the
// discovered tests, not LSAN_OPTIONS.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig\nleak:libQt6\nleak:libglib\nleak:libdbus\nleak:libX11\nleak:libxcb\n";
}
