// Browser rules for following a redirect: which statuses redirect, what the
// next hop's method and body are, and which credentials survive the hop.
#pragma once

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

// Headers that describe the body and go away with it.
bool is_body_header(std::string_view name);

// Removes Authorization and Cookie (cross-origin hop) from headers.
void drop_credentials(HeaderList &headers);

} // namespace kestrin
