#include "url.hpp"

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

bool is_ascii(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](unsigned char c) { return c < 0x80; });
}

// IDNA (UTS #46, nontransitional, as browsers do) of a host holding non-ASCII, from UTF-8
// whatever the process's locale; libcurl's own conversion (punycode), which reads the host in
// the locale's character set, only where the stack has no libidn2.
template <class Punycode>
std::optional<std::string> ascii_host(const std::optional<std::string> &raw,
                                      [[maybe_unused]] Punycode punycode) {
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
    return punycode();
#endif
}

// Running out of memory is no fault of the URL.
void check_memory(CURLUcode rc) {
    if (rc == CURLUE_OUT_OF_MEMORY)
        throw std::bad_alloc();
}

} // namespace

std::string_view default_port(std::string_view scheme) {
    if (scheme == "http" || scheme == "ws")
        return "80";
    if (scheme == "https" || scheme == "wss")
        return "443";
    return {};
}

std::optional<Url> Url::parse(std::string_view text, Spaces spaces) {
    if (text.empty() || text.find('\0') != std::string_view::npos)
        return std::nullopt;
    Url u(curl_url());
    if (!u.u_)
        throw std::bad_alloc();
    unsigned flags = CURLU_NON_SUPPORT_SCHEME;
    if (spaces == Spaces::Allowed)
        flags |= CURLU_ALLOW_SPACE;
    CURLUcode rc = curl_url_set(u.u_.get(), CURLUPART_URL, std::string(text).c_str(), flags);
    check_memory(rc);
    if (rc != CURLUE_OK)
        return std::nullopt;
    return u;
}

std::optional<std::string> Url::get(CURLUPart which, unsigned flags) const {
    char *p = nullptr;
    CURLUcode rc = curl_url_get(u_.get(), which, &p, flags);
    check_memory(rc);
    if (rc != CURLUE_OK || !p)
        return std::nullopt;
    std::unique_ptr<char, decltype(&curl_free)> owned(p, curl_free);
    return std::string(p);
}

std::string Url::scheme() const {
    return get(CURLUPART_SCHEME).value_or("");
}
std::optional<std::string> Url::host() const {
    return get(CURLUPART_HOST);
}
std::optional<std::string> Url::port() const {
    return get(CURLUPART_PORT);
}
std::optional<std::string> Url::user() const {
    return get(CURLUPART_USER, CURLU_URLDECODE);
}
std::optional<std::string> Url::password() const {
    return get(CURLUPART_PASSWORD, CURLU_URLDECODE);
}
bool Url::has_fragment() const {
    return get(CURLUPART_FRAGMENT).has_value();
}

std::string Url::resource() const {
    auto path = get(CURLUPART_PATH);
    std::string out = path && !path->empty() ? *path : "/";
    if (auto query = get(CURLUPART_QUERY))
        out += "?" + *query;
    return out;
}

std::optional<WebUrl> Url::serialize() const {
    auto scheme = get(CURLUPART_SCHEME);
    // An invalid name (or no IDN support) leaves no host.
    auto raw_host = get(CURLUPART_HOST);
    auto host = ascii_host(raw_host, [&] { return get(CURLUPART_HOST, CURLU_PUNYCODE); });
    if (!scheme || !host || host->empty())
        return std::nullopt;
    *host = ascii_lower(*host);
    // The IDNA result must itself be a plain host name (an IPv6 literal may name its zone).
    if (host->front() != '[' && std::any_of(host->begin(), host->end(), [](unsigned char c) {
            return c <= ' ' || c >= 0x7F || c == '/' || c == '?' || c == '#' || c == '@' ||
                   c == '\\' || c == '%';
        }))
        return std::nullopt;

    WebUrl out{*scheme + "://", {*scheme, *host, std::string(default_port(*scheme))}};
    std::string &text = out.text;
    auto user = get(CURLUPART_USER);
    auto password = get(CURLUPART_PASSWORD);
    if (user || password) {
        append_escaped(text, user.value_or(""), Component::UserInfo);
        if (password && !password->empty()) {
            text += ':';
            append_escaped(text, *password, Component::UserInfo);
        }
        text += '@';
    }
    text += *host;
    if (auto port = get(CURLUPART_PORT); port && *port != out.origin.port) {
        text += ":" + *port;
        out.origin.port = *port;
    }
#ifdef CURLU_GET_EMPTY
    constexpr unsigned kEmpty = CURLU_GET_EMPTY;
#else
    constexpr unsigned kEmpty = 0;
#endif
    auto path = get(CURLUPART_PATH);
    append_escaped(text, path && !path->empty() ? *path : "/", Component::Path);
    if (auto query = get(CURLUPART_QUERY, kEmpty)) {
        text += '?';
        append_escaped(text, *query, Component::Query);
    }
    if (auto fragment = get(CURLUPART_FRAGMENT, kEmpty)) {
        text += '#';
        append_escaped(text, *fragment, Component::Fragment);
    }
    // A name IDNA mapped may now spell an IPv4 address ("\u00b9." is "1.", that is 0.0.0.1): parse
    // the ASCII form once more, as the URL standard checks for a number after IDNA.
    if (!is_ascii(*raw_host)) {
        auto again = parse(text, Spaces::Allowed);
        return again ? again->serialize() : std::nullopt;
    }
    return out;
}

std::optional<WebUrl> Url::resolve(std::string_view reference) const {
    Url u(curl_url_dup(u_.get()));
    if (!u.u_)
        throw std::bad_alloc();
    // Non-ASCII is taken raw here and percent-encoded with the rest by serialize(). A space goes
    // in escaped already: libcurl would turn one in the query into '+', which a server that does
    // not decode forms reads differently.
    std::string target;
    target.reserve(reference.size());
    for (char c : reference)
        target += c == ' ' ? std::string_view("%20") : std::string_view(&c, 1);
    CURLUcode rc = curl_url_set(u.u_.get(), CURLUPART_URL, target.c_str(), CURLU_ALLOW_SPACE);
    check_memory(rc);
    if (rc != CURLUE_OK)
        return std::nullopt;
    std::string scheme = u.scheme();
    if (scheme != "http" && scheme != "https")
        return std::nullopt;
    return u.serialize();
}

std::optional<std::string> serialize_url(std::string_view text) {
    auto u = Url::parse(text, Url::Spaces::Allowed);
    if (!u)
        return std::nullopt;
    auto out = u->serialize();
    if (!out)
        return std::nullopt;
    return std::move(out->text);
}

} // namespace kestrin
