// Text helpers that several modules share. Never installed.
#ifndef KELV_SYS_SRC_SC_STRING_INTERNAL_H
#define KELV_SYS_SRC_SC_STRING_INTERNAL_H

namespace kelv::sys::internal {

// A possibly-null string for printing: NULL shows as "(null)".
inline const char *printable(const char *s) { return s != nullptr ? s : "(null)"; }

// A source file name as the diagnostics and the test assertions show it:
// every leading '.' and '/' skipped (../../src/a is src/a).
inline const char *skip_dots_and_slashes(const char *file) {
  if (file == nullptr) return "";
  while (*file == '.' || *file == '/') ++file;
  return file;
}

// strerror(err), or "Unknown error" when the system has no text.
const char *error_text(int err);

}  // namespace kelv::sys::internal

#endif  // KELV_SYS_SRC_SC_STRING_INTERNAL_H
