#include "alt_svc.hpp"

#include <algorithm>
#include <charconv>

#include "http_head.hpp"

namespace kestrin {
namespace {

// A year: longer promises change nothing for an engine and keep the arithmetic in range.
constexpr int64_t kMaxAge = 365LL * 24 * 3600;

std::string unquote(std::string_view s) {
    if (s.size() < 2 || s.front() != '"' || s.back() != '"')
        return std::string(s);
    std::string out;
    for (size_t i = 1; i + 1 < s.size(); ++i) {
        if (s[i] == '\\' && i + 2 < s.size())
            ++i;
        out += s[i];
    }
    return out;
}

template <class T> bool number(std::string_view s, T &out) {
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && end == s.data() + s.size() && !s.empty();
}

// All digits, and at most a year: too large a value is a long time, not a malformed one.
std::optional<int64_t> max_age(std::string_view s) {
    if (s.empty() || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return std::min(*delta_seconds(s), kMaxAge);
}

// "host:port", "[v6]:port" or ":port".
bool parse_authority(std::string_view a, AltSvcValue::Alternative &alt) {
    size_t colon = a.rfind(':');
    if (colon == std::string_view::npos)
        return false;
    unsigned port = 0;
    if (!number(a.substr(colon + 1), port) || port == 0 || port > 65535)
        return false;
    std::string_view host = a.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    alt.host = ascii_lower(host);
    alt.port = static_cast<uint16_t>(port);
    return true;
}

} // namespace

std::optional<AltSvcValue> parse_alt_svc(std::string_view value) {
    AltSvcValue out;
    value = trim(value);
    if (value == "clear") {
        out.clear = true;
        return out;
    }
    for (std::string_view item : split_list(value, ',')) {
        if (item.empty())
            continue; // empty list elements are allowed
        std::vector<std::string_view> parts = split_list(item, ';');
        size_t eq = parts[0].find('=');
        if (eq == std::string_view::npos || eq == 0)
            return std::nullopt;
        AltSvcValue::Alternative alt;
        alt.protocol.assign(trim(parts[0].substr(0, eq)));
        if (!parse_authority(unquote(trim(parts[0].substr(eq + 1))), alt))
            return std::nullopt;
        for (size_t i = 1; i < parts.size(); ++i) {
            size_t peq = parts[i].find('=');
            if (peq == std::string_view::npos)
                continue;
            std::string name(trim(parts[i].substr(0, peq)));
            std::string param = unquote(trim(parts[i].substr(peq + 1)));
            if (iequals(name, "ma"))
                alt.max_age = max_age(param).value_or(alt.max_age);
        }
        out.alternatives.push_back(std::move(alt));
    }
    return out;
}

void AltSvcCache::learn(const Origin &origin, std::string_view value, Clock::time_point now,
                        Reach reach) {
    auto parsed = parse_alt_svc(value);
    if (!parsed)
        return; // a malformed field changes nothing
    std::string k = key(origin);
    h3_.erase(k);
    // The origin's host as an alternative names it: an IPv6 literal without its brackets.
    std::string_view own = origin.host;
    if (own.size() >= 2 && own.front() == '[')
        own = own.substr(1, own.size() - 2);
    for (const auto &alt : parsed->alternatives) {
        bool same_host = alt.host.empty() || alt.host == own;
        bool same_port = std::to_string(alt.port) == origin.port;
        if (alt.protocol != "h3" || alt.max_age <= 0 || (!same_host && !reach.other_host) ||
            (!same_port && !reach.other_port))
            continue;
        std::string destination;
        if (!same_host)
            destination = alt.host.find(':') != std::string::npos ? '[' + alt.host + ']' : alt.host;
        if (!same_host || !same_port)
            destination += ':' + std::to_string(alt.port);
        if (h3_.size() >= kMaxOrigins) {
            std::erase_if(h3_, [now](const auto &e) { return e.second.until <= now; });
            if (h3_.size() >= kMaxOrigins)
                h3_.erase(h3_.begin());
        }
        h3_.emplace(std::move(k), H3{now + std::chrono::seconds(alt.max_age), destination});
        return;
    }
}

std::optional<std::string_view> AltSvcCache::offers_h3(const Origin &origin,
                                                       Clock::time_point now) {
    std::string k = key(origin);
    auto it = h3_.find(k);
    if (it == h3_.end())
        return std::nullopt;
    if (it->second.until <= now) {
        h3_.erase(it);
        return std::nullopt;
    }
    // An expired mark stays, so that the next failure doubles it.
    auto broken = broken_.find(k);
    if (broken != broken_.end() && broken->second.until > now)
        return std::nullopt;
    return it->second.destination;
}

void AltSvcCache::quic_failed(const Origin &origin, Clock::time_point now) {
    std::string k = key(origin);
    auto it = broken_.find(k);
    if (it == broken_.end()) {
        if (broken_.size() >= kMaxOrigins)
            broken_.erase(broken_.begin());
        broken_.emplace(std::move(k), Broken{now + kFirstBrokenFor, kFirstBrokenFor});
        return;
    }
    // Requests that raced together on the mark's first connections fail together: count once.
    if (it->second.until > now)
        return;
    it->second.for_ = std::min<Clock::duration>(it->second.for_ * 2, kMostBrokenFor);
    it->second.until = now + it->second.for_;
}

void AltSvcCache::quic_worked(const Origin &origin) {
    if (!broken_.empty())
        broken_.erase(key(origin));
}

} // namespace kestrin
