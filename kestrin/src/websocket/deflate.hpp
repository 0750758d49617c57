// WebSocket compression (permessage-deflate, RFC 7692) as browsers negotiate it: the offer of
// the active profile, and the check of the server's answer. Beast compresses and inflates;
// its own offer text differs from a browser's, and it takes any answer as it comes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "engine_settings.hpp"

namespace kestrin {

// What a handshake offers without a profile: the form most browsers send.
inline constexpr std::string_view kCommonDeflateOffer =
    "permessage-deflate; client_max_window_bits";

// zlib's default level and memory, as Chromium deflates; below the threshold a message is sent
// as it is, since deflate's block and flush overhead would outweigh what it saves.
inline constexpr int kDeflateLevel = 6;
inline constexpr int kDeflateMemLevel = 8;
inline constexpr size_t kDeflateThreshold = 32;

// The Sec-WebSocket-Extensions value of the handshake.
std::string_view deflate_offer(const EngineSettings &s);

// The server's Sec-WebSocket-Extensions answer, every field line of it joined with ", ".
// Empty when the answer may open the connection (then `negotiated` tells whether it took the
// offer), else why the handshake fails: another extension, a parameter not offered or not
// allowed, a duplicate, or a window size out of range.
std::string check_extension_answer(std::string_view answer, std::string_view offer,
                                   bool &negotiated);

} // namespace kestrin
