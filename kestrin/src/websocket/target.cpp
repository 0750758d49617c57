#include "websocket/target.hpp"

#include "url.hpp"
#include "websocket/failures.hpp"

namespace kestrin {

namespace {

std::string strip_brackets(std::string host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        return host.substr(1, host.size() - 2);
    return host;
}

} // namespace

bool parse_websocket_url(const std::string &url, WebSocketTarget &out) {
    // Host, path and query go out as a browser sends them, whatever raw bytes the caller gave.
    auto raw = Url::parse(url, Url::Spaces::Allowed);
    auto serialized = raw ? raw->serialize() : std::nullopt;
    auto u = serialized ? Url::parse(serialized->text) : std::nullopt;
    if (!u)
        return false;
    const Origin &origin = serialized->origin;
    if (origin.scheme == "ws" || origin.scheme == "http")
        out.tls = false;
    else if (origin.scheme == "wss" || origin.scheme == "https")
        out.tls = true;
    else
        return false;
    if (u->has_fragment())
        return false; // a fragment has no meaning for a WebSocket URL
    out.port = origin.port;
    out.host = strip_brackets(origin.host);
    out.host_header = origin.host;
    if (out.port != default_port(origin.scheme))
        out.host_header += ":" + out.port;
    out.resource = u->resource();
    return true;
}

std::optional<ProxyRefusal> parse_proxy_url(const EngineSettings &s, WebSocketProxy &out) {
    auto u = Url::parse(s.proxy);
    if (!u)
        return ProxyRefusal{{KS_PROXY, net::ERR_PROXY_CONNECTION_FAILED}, "unusable proxy URL"};
    std::string scheme = u->scheme();
    // SOCKS5 always hands the host name to the proxy, as socks5h does.
    if (scheme == "socks5" || scheme == "socks5h")
        out.socks = true;
    else if (scheme != "http")
        return ProxyRefusal{{KS_PROXY, net::ERR_NOT_IMPLEMENTED},
                            "WebSockets go through HTTP and SOCKS5 proxies only"};
    auto host = u->host();
    if (!host)
        return ProxyRefusal{{KS_PROXY, net::ERR_PROXY_CONNECTION_FAILED},
                            "proxy URL without a host"};
    out.host = strip_brackets(*host);
    out.port = u->port().value_or("1080");
    out.user = u->user().value_or("");
    out.password = u->password().value_or("");
    if (!s.proxy_username.empty())
        out.user = s.proxy_username;
    if (!s.proxy_password.empty())
        out.password = s.proxy_password;
    return std::nullopt;
}

} // namespace kestrin
