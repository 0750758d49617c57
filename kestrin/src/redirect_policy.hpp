// Browser rules for following a redirect: which statuses redirect, what the
// next hop's method and body are, and which credentials survive the hop.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "http_head.hpp"

namespace kestrin {

inline constexpr int kMaxRedirects = 20;

bool is_redirect_status(int status);

struct NextMethod {
    std::string method;
    bool keep_body;
};

// 301/302 turn POST into GET, 303 turns anything but HEAD into GET, 307/308 keep both.
NextMethod next_method(int status, std::string_view method);

// Absolute http(s) URL for a Location value relative to base; nullopt when it
// cannot be parsed or points to another scheme.
std::optional<std::string> resolve_location(std::string_view base, std::string_view location);

struct Origin {
    std::string scheme, host, port; // host in lower case, port always given
    bool operator==(const Origin &) const = default;
};
std::optional<Origin> origin_of(std::string_view url);

// Same scheme, host and port.
bool same_origin(std::string_view a, std::string_view b);

// Headers that describe the body and go away with it.
bool is_body_header(std::string_view name);

// Removes Authorization and Cookie (cross-origin hop) from headers.
void drop_credentials(HeaderList &headers);

} // namespace kestrin
