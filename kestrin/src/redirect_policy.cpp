#include "redirect_policy.hpp"

#include <algorithm>
#include <memory>

#include <curl/curl.h>

#include "http_head.hpp"
#include "url_text.hpp"

namespace kestrin {
namespace {

struct UrlDeleter {
    void operator()(CURLU *u) const { curl_url_cleanup(u); }
};
using Url = std::unique_ptr<CURLU, UrlDeleter>;

struct CurlString {
    char *p = nullptr;
    ~CurlString() { curl_free(p); }
};

std::string part(CURLU *u, CURLUPart which, unsigned flags = 0) {
    CurlString s;
    if (curl_url_get(u, which, &s.p, flags) != CURLUE_OK || s.p == nullptr)
        return {};
    return s.p;
}

} // namespace

std::optional<Origin> origin_of(std::string_view url) {
    Url u(curl_url());
    if (!u || curl_url_set(u.get(), CURLUPART_URL, std::string(url).c_str(), 0) != CURLUE_OK)
        return std::nullopt;
    Origin o{part(u.get(), CURLUPART_SCHEME), part(u.get(), CURLUPART_HOST),
             part(u.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT)};
    o.host = ascii_lower(o.host);
    return o;
}

bool is_redirect_status(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

NextMethod next_method(int status, std::string_view method) {
    if ((status == 301 || status == 302) && method == "POST")
        return {"GET", false};
    if (status == 303 && method != "HEAD")
        return {"GET", false};
    return {std::string(method), true};
}

std::optional<std::string> resolve_location(std::string_view base, std::string_view location) {
    Url u(curl_url());
    if (!u || curl_url_set(u.get(), CURLUPART_URL, std::string(base).c_str(), 0) != CURLUE_OK)
        return std::nullopt;
    // Non-ASCII is taken raw here and percent-encoded with the rest below. A space goes in
    // escaped already: libcurl would turn one in the query into '+', which a server that does
    // not decode forms reads differently.
    std::string target;
    target.reserve(location.size());
    for (char c : location)
        target += c == ' ' ? std::string_view("%20") : std::string_view(&c, 1);
    if (curl_url_set(u.get(), CURLUPART_URL, target.c_str(), CURLU_ALLOW_SPACE) != CURLUE_OK)
        return std::nullopt;
    std::string scheme = part(u.get(), CURLUPART_SCHEME);
    if (scheme != "http" && scheme != "https")
        return std::nullopt;
    std::string out = part(u.get(), CURLUPART_URL);
    if (out.empty())
        return std::nullopt;
    return serialize_url(out);
}

bool same_origin(std::string_view a, std::string_view b) {
    auto oa = origin_of(a), ob = origin_of(b);
    return oa && ob && *oa == *ob;
}

bool is_body_header(std::string_view name) {
    return iequals(name, "Content-Type") || iequals(name, "Content-Length") ||
           iequals(name, "Content-Encoding") || iequals(name, "Content-Language") ||
           iequals(name, "Content-Location") || iequals(name, "Transfer-Encoding");
}

void drop_credentials(HeaderList &headers) {
    std::erase_if(headers, [](const auto &h) {
        return iequals(h.first, "Authorization") || iequals(h.first, "Cookie");
    });
}

} // namespace kestrin
