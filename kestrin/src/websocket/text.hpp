// Text helpers the WebSocket code shares: UTF-8 checks (text frames, close reasons) and
// base64 (proxy credentials).
#pragma once

#include <string>
#include <string_view>

namespace kestrin {

bool valid_utf8(std::string_view s);

std::string base64(std::string_view in);

} // namespace kestrin
