#include "default_headers.hpp"

#include <algorithm>
#include <vector>

namespace kestrin {

namespace {

constexpr std::string_view kDefaultUserAgent = "kestrin/" KESTRIN_VERSION;

// Profile headers a WebSocket handshake does not send: they fit only a page navigation.
bool navigation_only(std::string_view name) {
    return iequals(name, "Accept") || iequals(name, "Upgrade-Insecure-Requests") ||
           iequals(name, "Sec-Fetch-User") || iequals(name, "Priority");
}

} // namespace

HeaderList default_headers(const EngineSettings &s, HeaderUse use) {
    const bool websocket = use == HeaderUse::WebSocket;
    HeaderList out;
    if (websocket) {
        out.emplace_back("Pragma", "no-cache");
        out.emplace_back("Cache-Control", "no-cache");
    }
    if (s.profile) {
        for (const auto &[n, v] : s.profile->headers) {
            if (!websocket)
                out.emplace_back(n, v);
            else if (iequals(n, "Sec-Fetch-Dest") || iequals(n, "Sec-Fetch-Mode"))
                out.emplace_back(n, "websocket");
            else if (!navigation_only(n))
                out.emplace_back(n, v);
        }
    } else {
        out.emplace_back("User-Agent", kDefaultUserAgent);
        if (!websocket) {
            out.emplace_back("Accept", "*/*");
            if (!s.accept_encoding.empty())
                out.emplace_back("Accept-Encoding", s.accept_encoding);
        }
    }
    if (!s.user_agent.empty())
        set_header(out, "User-Agent", s.user_agent);
    if (!s.accept_language.empty())
        set_header(out, "Accept-Language", s.accept_language);
    return out;
}

void set_header(HeaderList &list, std::string_view name, std::string_view value) {
    for (auto &[n, v] : list)
        if (iequals(n, name)) {
            v = value;
            return;
        }
    list.emplace_back(name, value);
}

void merge_headers(HeaderList &defaults, const HeaderList &caller, Merge how) {
    if (how == Merge::Appended) {
        std::erase_if(defaults, [&caller](const auto &h) {
            return std::ranges::any_of(caller,
                                       [&h](const auto &c) { return iequals(c.first, h.first); });
        });
        defaults.insert(defaults.end(), caller.begin(), caller.end());
        return;
    }
    std::vector<bool> replaced(defaults.size(), false);
    for (const auto &[name, value] : caller) {
        bool done = false;
        for (size_t i = 0; i < replaced.size(); ++i)
            if (!replaced[i] && iequals(defaults[i].first, name)) {
                defaults[i].second = value;
                replaced[i] = true;
                done = true;
                break;
            }
        if (!done)
            defaults.emplace_back(name, value);
    }
}

} // namespace kestrin
