#include "websocket/handshake.hpp"

#include <algorithm>

namespace kestrin {

namespace {

constexpr std::string_view kDefaultUserAgent = "kestrin/0.1";

} // namespace

bool reserved_handshake_header(std::string_view name) {
    static constexpr std::string_view kReserved[] = {
        "Host",
        "Upgrade",
        "Connection",
        "Content-Length",
        "Transfer-Encoding",
        "Sec-WebSocket-Key",
        "Sec-WebSocket-Version",
        "Sec-WebSocket-Accept",
        "Sec-WebSocket-Extensions",
        "Sec-WebSocket-Protocol",
    };
    return std::ranges::any_of(kReserved, [name](std::string_view r) { return iequals(r, name); });
}

HeaderList handshake_headers(const EngineSettings &s, const std::string &origin,
                             const std::vector<std::string> &protocols, const HeaderList &caller) {
    HeaderList hs;
    hs.emplace_back("Pragma", "no-cache");
    hs.emplace_back("Cache-Control", "no-cache");
    if (s.profile) {
        for (const auto &[n, v] : s.profile->headers) {
            if (iequals(n, "Accept") || iequals(n, "Upgrade-Insecure-Requests") ||
                iequals(n, "Sec-Fetch-User") || iequals(n, "Priority"))
                continue;
            if (iequals(n, "Sec-Fetch-Dest") || iequals(n, "Sec-Fetch-Mode"))
                hs.emplace_back(n, "websocket");
            else
                hs.emplace_back(n, v);
        }
    } else {
        hs.emplace_back("User-Agent", kDefaultUserAgent);
    }
    auto put = [&hs](std::string_view name, std::string_view value) {
        for (auto &[n, v] : hs)
            if (iequals(n, name)) {
                v = value;
                return;
            }
        hs.emplace_back(name, value);
    };
    if (!s.user_agent.empty())
        put("User-Agent", s.user_agent);
    if (!s.accept_language.empty())
        put("Accept-Language", s.accept_language);
    if (!origin.empty())
        put("Origin", origin);
    if (!protocols.empty()) {
        std::string offered;
        for (const auto &p : protocols)
            offered += (offered.empty() ? "" : ", ") + p;
        hs.emplace_back("Sec-WebSocket-Protocol", offered);
    }
    // A caller's header replaces a default of the same name.
    std::erase_if(hs, [&caller](const auto &h) {
        return std::ranges::any_of(caller,
                                   [&h](const auto &c) { return iequals(c.first, h.first); });
    });
    hs.insert(hs.end(), caller.begin(), caller.end());
    return hs;
}

std::string response_head(const boost::beast::websocket::response_type &response) {
    std::string head = "HTTP/1.1 " + std::to_string(response.result_int()) + " " +
                       std::string(response.reason()) + "\r\n";
    for (const auto &f : response)
        head.append(f.name_string()).append(": ").append(f.value()).append("\r\n");
    return head + "\r\n";
}

} // namespace kestrin
