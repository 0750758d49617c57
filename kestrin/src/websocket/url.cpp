#include "websocket/url.hpp"

#include <memory>

#include <curl/curl.h>

#include "url_text.hpp"
#include "websocket/failures.hpp"

namespace kestrin {

namespace {

using CurlUrl = std::unique_ptr<CURLU, decltype(&curl_url_cleanup)>;

// A URL parsed by libcurl, schemes it does not speak included; null when unparsable.
CurlUrl parse(const std::string &url) {
    CurlUrl u(curl_url(), curl_url_cleanup);
    if (!u || url.empty() ||
        curl_url_set(u.get(), CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        u.reset();
    return u;
}

std::optional<std::string> url_part(CURLU *u, CURLUPart part, unsigned flags = 0) {
    char *p = nullptr;
    if (curl_url_get(u, part, &p, flags) != CURLUE_OK || !p)
        return std::nullopt;
    std::string out = p;
    curl_free(p);
    return out;
}

std::string strip_brackets(std::string host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        return host.substr(1, host.size() - 2);
    return host;
}

} // namespace

bool parse_websocket_url(const std::string &url, WebSocketTarget &out) {
    // Host, path and query go out as a browser sends them, whatever raw bytes the caller gave.
    auto serialized = serialize_url(url);
    if (!serialized)
        return false;
    CurlUrl u = parse(*serialized);
    if (!u)
        return false;
    auto scheme = url_part(u.get(), CURLUPART_SCHEME);
    auto host = url_part(u.get(), CURLUPART_HOST);
    if (!scheme || !host || host->empty())
        return false;
    if (*scheme == "ws" || *scheme == "http")
        out.tls = false;
    else if (*scheme == "wss" || *scheme == "https")
        out.tls = true;
    else
        return false;
    if (url_part(u.get(), CURLUPART_FRAGMENT))
        return false; // a fragment has no meaning for a WebSocket URL
    std::string_view implied = default_port(*scheme);
    auto port = url_part(u.get(), CURLUPART_PORT);
    out.port = port ? *port : std::string(implied);
    out.host = strip_brackets(*host);
    out.host_header = *host;
    if (out.port != implied)
        out.host_header += ":" + out.port;
    auto path = url_part(u.get(), CURLUPART_PATH);
    out.resource = path && !path->empty() ? *path : "/";
    if (auto query = url_part(u.get(), CURLUPART_QUERY))
        out.resource += "?" + *query;
    return true;
}

std::optional<ProxyRefusal> parse_proxy_url(const EngineSettings &s, WebSocketProxy &out) {
    CurlUrl u = parse(s.proxy);
    if (!u)
        return ProxyRefusal{{KS_PROXY, net::ERR_PROXY_CONNECTION_FAILED}, "unusable proxy URL"};
    auto scheme = url_part(u.get(), CURLUPART_SCHEME);
    // SOCKS5 always hands the host name to the proxy, as socks5h does.
    if (scheme && (*scheme == "socks5" || *scheme == "socks5h"))
        out.socks = true;
    else if (!scheme || *scheme != "http")
        return ProxyRefusal{{KS_PROXY, net::ERR_NOT_IMPLEMENTED},
                            "WebSockets go through HTTP and SOCKS5 proxies only"};
    auto host = url_part(u.get(), CURLUPART_HOST);
    if (!host)
        return ProxyRefusal{{KS_PROXY, net::ERR_PROXY_CONNECTION_FAILED},
                            "proxy URL without a host"};
    out.host = strip_brackets(*host);
    out.port = url_part(u.get(), CURLUPART_PORT).value_or("1080");
    out.user = url_part(u.get(), CURLUPART_USER, CURLU_URLDECODE).value_or("");
    out.password = url_part(u.get(), CURLUPART_PASSWORD, CURLU_URLDECODE).value_or("");
    if (!s.proxy_username.empty())
        out.user = s.proxy_username;
    if (!s.proxy_password.empty())
        out.password = s.proxy_password;
    return std::nullopt;
}

} // namespace kestrin
