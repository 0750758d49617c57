#include "url_text.hpp"

#include "http_head.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>

#include <curl/curl.h>
#ifdef KESTRIN_IDN2
#include <idn2.h>
#endif

namespace kestrin {
namespace {

using CurlUrl = std::unique_ptr<CURLU, decltype(&curl_url_cleanup)>;

enum class Component { UserInfo, Path, Query, Fragment };

// The WHATWG percent-encode sets; bytes above 0x7E (UTF-8 of non-ASCII) are in every one. The
// query's includes the apostrophe, as it does for http(s) and ws(s). Backticks are encoded in
// the query too, as the Core has always done for redirect targets.
bool needs_escape(unsigned char c, Component component) {
    if (c < 0x21 || c > 0x7E)
        return true;
    switch (c) {
    case '"':
    case '<':
    case '>':
    case '`':
        return true;
    case '#':
        return component != Component::Fragment;
    case '?':
    case '{':
    case '}':
        return component == Component::Path || component == Component::UserInfo;
    case '\'':
        return component == Component::Query;
    case '/':
    case ':':
    case ';':
    case '=':
    case '@':
    case '[':
    case '\\':
    case ']':
    case '^':
    case '|':
        return component == Component::UserInfo;
    default:
        return false;
    }
}

void append_escaped(std::string &out, std::string_view text, Component component) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (unsigned char c : text) {
        if (needs_escape(c, component)) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        } else {
            out += static_cast<char>(c);
        }
    }
}

// One component as libcurl holds it, raw; nullopt when the URL has none.
std::optional<std::string> get(CURLU *u, CURLUPart which, unsigned flags = 0) {
    char *p = nullptr;
    CURLUcode rc = curl_url_get(u, which, &p, flags);
    if (rc == CURLUE_OUT_OF_MEMORY)
        throw std::bad_alloc();
    if (rc != CURLUE_OK || !p)
        return std::nullopt;
    std::unique_ptr<char, decltype(&curl_free)> owned(p, curl_free);
    return std::string(p);
}

// IDNA (UTS #46, nontransitional, as browsers do) of a host holding non-ASCII, from UTF-8
// whatever the process's locale; libcurl's own conversion reads the host in the locale's
// character set.
bool is_ascii(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](unsigned char c) { return c < 0x80; });
}

std::optional<std::string> ascii_host([[maybe_unused]] CURLU *u,
                                      const std::optional<std::string> &raw) {
    if (!raw || is_ascii(*raw))
        return raw;
#ifdef KESTRIN_IDN2
    char *out = nullptr;
    const auto *in = reinterpret_cast<const uint8_t *>(raw->c_str());
    int rc = idn2_lookup_u8(in, reinterpret_cast<uint8_t **>(&out),
                            IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL);
    if (rc == IDN2_MALLOC)
        throw std::bad_alloc();
    if (rc != IDN2_OK)
        return std::nullopt;
    std::unique_ptr<char, decltype(&idn2_free)> owned(out, idn2_free);
    return std::string(out);
#else
    return get(u, CURLUPART_HOST, CURLU_PUNYCODE);
#endif
}

} // namespace

std::string_view default_port(std::string_view scheme) {
    if (scheme == "http" || scheme == "ws")
        return "80";
    if (scheme == "https" || scheme == "wss")
        return "443";
    return {};
}

std::optional<std::string> serialize_url(std::string_view url) {
    // libcurl stops at a NUL; such a URL is refused rather than cut short.
    if (url.find('\0') != std::string_view::npos)
        return std::nullopt;
    CurlUrl u(curl_url(), curl_url_cleanup);
    if (!u)
        throw std::bad_alloc();
    CURLUcode rc = curl_url_set(u.get(), CURLUPART_URL, std::string(url).c_str(),
                                CURLU_NON_SUPPORT_SCHEME | CURLU_ALLOW_SPACE);
    if (rc == CURLUE_OUT_OF_MEMORY)
        throw std::bad_alloc();
    if (rc != CURLUE_OK)
        return std::nullopt;
    auto scheme = get(u.get(), CURLUPART_SCHEME);
    // An invalid name (or no IDN support) leaves no host.
    auto raw_host = get(u.get(), CURLUPART_HOST);
    auto host = ascii_host(u.get(), raw_host);
    if (!scheme || !host || host->empty())
        return std::nullopt;
    *host = ascii_lower(*host);
    // The IDNA result must itself be a plain host name (an IPv6 literal may name its zone).
    if (host->front() != '[' && std::any_of(host->begin(), host->end(), [](unsigned char c) {
            return c <= ' ' || c >= 0x7F || c == '/' || c == '?' || c == '#' || c == '@' ||
                   c == '\\' || c == '%';
        }))
        return std::nullopt;

    // A name IDNA mapped may now spell an IPv4 address ("\u00b9." is "1.", that is 0.0.0.1): parse
    // the ASCII form once more, as the URL standard checks for a number after IDNA.
    bool idna_mapped = !is_ascii(*raw_host);

    std::string out = *scheme + "://";
    auto user = get(u.get(), CURLUPART_USER);
    auto password = get(u.get(), CURLUPART_PASSWORD);
    if (user || password) {
        append_escaped(out, user.value_or(""), Component::UserInfo);
        if (password && !password->empty()) {
            out += ':';
            append_escaped(out, *password, Component::UserInfo);
        }
        out += '@';
    }
    out += *host;
    if (auto port = get(u.get(), CURLUPART_PORT); port && *port != default_port(*scheme))
        out += ":" + *port;
#ifdef CURLU_GET_EMPTY
    constexpr unsigned kEmpty = CURLU_GET_EMPTY;
#else
    constexpr unsigned kEmpty = 0;
#endif
    auto path = get(u.get(), CURLUPART_PATH);
    append_escaped(out, path && !path->empty() ? *path : "/", Component::Path);
    if (auto query = get(u.get(), CURLUPART_QUERY, kEmpty)) {
        out += '?';
        append_escaped(out, *query, Component::Query);
    }
    if (auto fragment = get(u.get(), CURLUPART_FRAGMENT, kEmpty)) {
        out += '#';
        append_escaped(out, *fragment, Component::Fragment);
    }
    return idna_mapped ? serialize_url(out) : out;
}

} // namespace kestrin
