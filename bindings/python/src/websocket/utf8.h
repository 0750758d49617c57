// Lossy UTF-8 decoding for texts the Core hands over on its own threads, where no Python
// call may be made.
#pragma once

#include <cstddef>
#include <string>

namespace corvina {

// The bytes as valid UTF-8: each maximal ill-formed subpart becomes one U+FFFD, as the
// interpreter's "replace" error handler does, so lengths agree with the str built later.
std::string utf8_lossy(const char *data, size_t len);

} // namespace corvina
