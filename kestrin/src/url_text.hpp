// URLs as browsers put them on the wire: what a caller, a Location header or a WebSocket URL
// holds in raw form, serialized once before it reaches libcurl or a request line.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrin {

// The URL with its host through IDNA (punycode, lower case) and its user information, path,
// query and fragment percent-encoded as UTF-8 with the WHATWG URL standard's set for each;
// escapes already present stay as they are, so serializing twice changes nothing. Schemes
// other than http(s) are kept (ws, wss). Nullopt when the URL does not parse or its host is not
// a valid domain name; throws std::bad_alloc when memory runs out.
std::optional<std::string> serialize_url(std::string_view url);

// The port a URL of this scheme (http, https, ws, wss) means when it names none; empty for others.
std::string_view default_port(std::string_view scheme);

} // namespace kestrin
