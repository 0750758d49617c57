#include "websocket/deflate.hpp"

#include <vector>

#include "http_head.hpp"
#include "profiles.hpp"

namespace kestrin {

namespace {

// A window size as RFC 7692 writes it: 8 to 15, no leading zero.
bool window_bits(std::string_view v) {
    return (v.size() == 1 && v[0] >= '8' && v[0] <= '9') ||
           (v.size() == 2 && v[0] == '1' && v[1] >= '0' && v[1] <= '5');
}

// The permessage-deflate parameters of one answer; empty when they are acceptable.
std::string check_params(const std::vector<std::string_view> &params, bool offered_client_bits) {
    std::vector<std::string_view> seen;
    for (size_t i = 1; i < params.size(); ++i) {
        std::string_view p = params[i];
        size_t eq = p.find('=');
        std::string_view name = trim(p.substr(0, eq));
        std::string_view value = eq == std::string_view::npos ? "" : trim(p.substr(eq + 1));
        bool has_value = eq != std::string_view::npos;
        for (std::string_view s : seen)
            if (iequals(s, name))
                return "duplicate permessage-deflate parameter " + std::string(name);
        seen.push_back(name);
        if (iequals(name, "server_no_context_takeover") ||
            iequals(name, "client_no_context_takeover")) {
            if (has_value)
                return std::string(name) + " takes no value";
        } else if (iequals(name, "server_max_window_bits") ||
                   iequals(name, "client_max_window_bits")) {
            if (iequals(name, "client_max_window_bits") && !offered_client_bits)
                return "client_max_window_bits was not offered";
            // A quoted value is legal but unheard of; Beast would read it otherwise than we do.
            if (!window_bits(value))
                return "bad value for " + std::string(name);
        } else {
            return "unknown permessage-deflate parameter " + std::string(name);
        }
    }
    return {};
}

} // namespace

std::string_view deflate_offer(const EngineSettings &s) {
    return s.profile ? s.profile->ws_extensions : kCommonDeflateOffer;
}

std::string check_extension_answer(std::string_view answer, std::string_view offer,
                                   bool &negotiated) {
    negotiated = false;
    bool offered_client_bits = offer.find("client_max_window_bits") != std::string_view::npos;
    for (std::string_view ext : split_list(answer, ',')) {
        if (ext.empty())
            continue; // an HTTP list may hold empty elements
        std::vector<std::string_view> params = split_list(ext, ';');
        if (!iequals(params[0], "permessage-deflate") || offer.empty())
            return "server answered with an extension that was not offered: " +
                   std::string(params[0]);
        if (negotiated)
            return "server answered with permessage-deflate twice";
        if (std::string why = check_params(params, offered_client_bits); !why.empty())
            return why;
        negotiated = true;
    }
    return {};
}

} // namespace kestrin
