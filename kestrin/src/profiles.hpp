// Browser profiles an engine can impersonate: default headers in the
// browser's order and the TLS parameters libcurl lets us set.
#pragma once

#include <span>
#include <string_view>
#include <utility>

namespace kestrin {

using HeaderView = std::pair<std::string_view, std::string_view>;

struct Profile {
    std::string_view name;
    std::span<const HeaderView> headers; // User-Agent, client hints, Accept, ... in order
    std::string_view tls12_ciphers;      // OpenSSL names, in the browser's preference
    std::string_view tls13_ciphers;
    std::string_view curves;
    // The Sec-WebSocket-Extensions value its WebSocket handshake offers.
    std::string_view ws_extensions;
};

std::span<const Profile> all_profiles();

// Exact profile name, or a family alias ("chrome" is the newest Chrome).
// Returns nullptr for an unknown name.
const Profile *find_profile(std::string_view name);

} // namespace kestrin
