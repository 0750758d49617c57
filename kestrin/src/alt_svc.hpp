// HTTP/3 alternatives that origins advertise in Alt-Svc (RFC 7838), as an engine learns them:
// in memory, per engine, so what one engine learned never reaches another's trust settings.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "url.hpp"

namespace kestrin {

struct AltSvcValue {
    struct Alternative {
        std::string protocol; // ALPN id, as sent
        std::string host;     // empty: the origin's own host
        uint16_t port = 0;
        int64_t max_age = 86400; // seconds
    };
    bool clear = false;
    std::vector<Alternative> alternatives;
};

// Nullopt when the value does not parse; alternatives with unknown parameters are kept.
std::optional<AltSvcValue> parse_alt_svc(std::string_view value);

// Network thread only. Only an h3 alternative on the origin's own host and port is used: libcurl
// then races QUIC against TCP to that one address, so an alternative that does not work costs a
// short delay, never the request.
class AltSvcCache {
  public:
    using Clock = std::chrono::steady_clock;

    // A response's Alt-Svc replaces all that its origin advertised before.
    void learn(const Origin &origin, std::string_view value, Clock::time_point now);
    bool offers_h3(const Origin &origin, Clock::time_point now);
    bool empty() const { return h3_until_.empty(); }

  private:
    static constexpr size_t kMaxOrigins = 1024;
    static std::string key(const Origin &o) { return o.host + ':' + o.port; }
    std::unordered_map<std::string, Clock::time_point> h3_until_;
};

} // namespace kestrin
