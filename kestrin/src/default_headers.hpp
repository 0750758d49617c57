// The browser's default request headers, one list for requests and WebSocket handshakes, and
// the two ways the caller's headers merge into them.
#pragma once

#include <string_view>

#include "engine_settings.hpp"
#include "http_head.hpp"

namespace kestrin {

// What the headers open: a fetch, or a WebSocket's opening handshake.
enum class HeaderUse { Fetch, WebSocket };

// The profile's headers in the browser's order (the Core's own without a profile), then the
// engine's User-Agent and Accept-Language in place. A handshake asks for no cached answer
// (Pragma and Cache-Control first), leaves out what only a page navigation sends, and names
// "websocket" as its fetch destination and mode.
HeaderList default_headers(const EngineSettings &s, HeaderUse use);

// Replaces the value of the first header of that name, else appends the header.
void set_header(HeaderList &list, std::string_view name, std::string_view value);

// InPlace: each caller header replaces the first default of its name not yet replaced, so the
// browser's order survives; the rest are appended. Appended: the defaults of every name the
// caller gives go, and the caller's headers follow in their order.
enum class Merge { InPlace, Appended };
void merge_headers(HeaderList &defaults, const HeaderList &caller, Merge how);

} // namespace kestrin
