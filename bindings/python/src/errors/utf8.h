// Lossy UTF-8 decoding without the interpreter: for texts the Core hands over on its own
// threads, and for error messages.
#pragma once

#include <cstddef>
#include <string>

namespace corvina {

// The bytes as valid UTF-8: each maximal ill-formed subpart becomes one U+FFFD, as the
// interpreter's "replace" error handler does, so lengths agree with the str built later.
std::string utf8_lossy(const char *data, size_t len);

// Decodes the sequence at s[i] and advances i past it; an ill-formed subpart gives U+FFFD.
char32_t next_code_point(const char *s, size_t len, size_t &i);

// Appends the UTF-8 encoding of a code point.
void append_utf8(std::string &out, char32_t cp);

} // namespace corvina
