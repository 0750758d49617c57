// Closing a WebSocket as browsers do: the close frame rules. Beast answers a peer's close as
// browsers do with the patches of patches/boost (code and reason echoed, 1014 accepted).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrin {

// Close codes a peer may send (RFC 6455 7.4 and the IANA registry).
bool valid_received_close_code(uint16_t code);

// Whether a close frame may carry this code and reason (RFC 6455 7.4).
bool valid_close_frame(uint32_t code, std::string_view reason);

// A masked client close frame; no code gives an empty payload.
std::string client_close_frame(std::optional<uint16_t> code, std::string_view reason);

} // namespace kestrin
