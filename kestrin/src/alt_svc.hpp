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

// Network thread only. The first usable h3 alternative is kept: libcurl races QUIC to it against
// TCP to the origin, so an alternative that does not work costs a short delay, never the request,
// and once marked broken not even that. TLS names and verifies the origin on either path.
class AltSvcCache {
  public:
    using Clock = std::chrono::steady_clock;

    // What alternatives an engine may use: its own host and port always; another port, and
    // another host (whose certificate must then be valid for the origin), where libcurl can
    // connect QUIC elsewhere than TCP and certificates are verified.
    // (No member initializers: a default argument of the enclosing class value-initializes it.)
    struct Reach {
        bool other_port;
        bool other_host;
    };

    // A response's Alt-Svc replaces all that its origin advertised before.
    void learn(const Origin &origin, std::string_view value, Clock::time_point now,
               Reach reach = Reach{});
    // Where QUIC connects: "" for the origin's own host and port, else "host:port", ":port" or
    // "[v6]:port". Nullopt when there is none, or while it is marked broken.
    std::optional<std::string_view> offers_h3(const Origin &origin, Clock::time_point now);
    bool empty() const { return h3_.empty(); }

    // A new connection raced QUIC against TCP and TCP won: the alternative is broken, and only
    // TCP is used for 5 minutes the first time, twice as long each time again, at most 2 days.
    void quic_failed(const Origin &origin, Clock::time_point now);
    // A QUIC connection to the alternative worked: the mark and its count are forgotten.
    void quic_worked(const Origin &origin);
    // The machine's addresses changed: every mark and count is forgotten.
    void network_changed() { broken_.clear(); }

    static constexpr Clock::duration kFirstBrokenFor = std::chrono::minutes(5);
    static constexpr Clock::duration kMostBrokenFor = std::chrono::hours(48);

  private:
    struct Broken {
        Clock::time_point until;
        Clock::duration for_;
    };
    struct H3 {
        Clock::time_point until;
        std::string destination;
    };
    static constexpr size_t kMaxOrigins = 1024;
    static std::string key(const Origin &o) { return o.host + ':' + o.port; }
    std::unordered_map<std::string, H3> h3_;
    std::unordered_map<std::string, Broken> broken_;
};

} // namespace kestrin
