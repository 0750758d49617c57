#include "websocket/handshake.hpp"

#include <algorithm>

#include "default_headers.hpp"
#include "websocket/deflate.hpp"

namespace kestrin {

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
    HeaderList hs = default_headers(s, HeaderUse::WebSocket);
    if (!origin.empty())
        set_header(hs, "Origin", origin);
    if (!protocols.empty()) {
        std::string offered;
        for (const auto &p : protocols)
            offered += (offered.empty() ? "" : ", ") + p;
        hs.emplace_back("Sec-WebSocket-Protocol", offered);
    }
    hs.emplace_back("Sec-WebSocket-Extensions", deflate_offer(s));
    // A caller's header replaces a default of the same name.
    merge_headers(hs, caller, Merge::Appended);
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
