// What the sanitizers leave unreported in the service's programs: the font libraries' insides.
// Linked into each service program; the sanitizer runtimes look these hooks up by name.

// fontconfig keeps its caches for the life of the process.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

// fontconfig, pango and glib are not built for ThreadSanitizer: their own atomics and locks (pango
// loads fonts on a thread of its own) look like races from here.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libfontconfig.so\n"
         "race:libpango-1.0.so\n"
         "race:libpangoft2-1.0.so\n"
         "race:libglib-2.0.so\n"
         "called_from_lib:libfontconfig.so\n"
         "mutex:libpangoft2-1.0.so\n"
         "thread:libglib-2.0.so\n";
}
