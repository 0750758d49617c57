// Parsing of raw response header blocks and small header-name helpers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrin {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

bool iequals(std::string_view a, std::string_view b);

// Whether the list holds a header of that name.
bool has_header(const HeaderList &headers, std::string_view name);

// Whether a URL's scheme is https.
bool is_https(std::string_view url);

// All values of a header in the list joined with ", " (list-valued headers).
std::string joined_values(const HeaderList &headers, std::string_view name);

struct ParsedHead {
    int status = 0;
    HeaderList headers;

    // First value of a header, or nullopt.
    std::optional<std::string_view> get(std::string_view name) const;
    // All values of a header joined with ", " (list-valued headers).
    std::string joined(std::string_view name) const;
};

// Status from a status line such as "HTTP/1.1 200 OK" or "HTTP/2 404"; 0 if malformed.
int parse_status_line(std::string_view line);

ParsedHead parse_head(std::string_view raw);

// An HTTP token (a method or header name): no controls, spaces or separators.
bool is_token(std::string_view s);

// A header value that cannot split the message: no CR, LF or NUL.
bool is_field_value(std::string_view s);

// Delta-seconds (RFC 9111 1.2.2): the digits at the start of `s`; nullopt when there are none.
// A value past 2^31 is 2^31, a long time rather than a malformed one.
std::optional<int64_t> delta_seconds(std::string_view s);

// ASCII lower case, as header names, hosts and schemes compare.
std::string ascii_lower(std::string_view s);

// False when the Content-Length values of a head (all of them joined with ", ") name more
// than one length; repeats of one value are fine.
bool content_lengths_agree(std::string_view joined);

// Without surrounding spaces, tabs and line ends.
std::string_view trim(std::string_view s);

// The elements of a list separated by sep outside double quotes, trimmed; empty ones kept.
std::vector<std::string_view> split_list(std::string_view s, char sep);

// True when the comma-separated header value contains token (case-insensitive).
bool has_token(std::string_view value, std::string_view token);

} // namespace kestrin
