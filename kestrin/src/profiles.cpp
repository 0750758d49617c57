#include "profiles.hpp"

#include <array>

namespace kestrin {
namespace {

constexpr std::string_view kChromeTls12 =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
    "ECDHE-RSA-AES128-SHA:ECDHE-RSA-AES256-SHA:AES128-GCM-SHA256:AES256-GCM-SHA384:AES128-SHA:"
    "AES256-SHA";
constexpr std::string_view kChromeTls13 =
    "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";
constexpr std::string_view kChromeCurves = "X25519:P-256:P-384";

constexpr std::string_view kFirefoxTls12 =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-CHACHA20-POLY1305:"
    "ECDHE-RSA-CHACHA20-POLY1305:ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-AES256-SHA:ECDHE-ECDSA-AES128-SHA:ECDHE-RSA-AES128-SHA:ECDHE-RSA-AES256-SHA:"
    "AES128-GCM-SHA256:AES256-GCM-SHA384:AES128-SHA:AES256-SHA";
constexpr std::string_view kFirefoxTls13 =
    "TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384";
constexpr std::string_view kFirefoxCurves = "X25519:P-256:P-384:P-521";

constexpr std::string_view kSafariTls12 =
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-CHACHA20-POLY1305:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-RSA-CHACHA20-POLY1305:"
    "ECDHE-ECDSA-AES256-SHA:ECDHE-ECDSA-AES128-SHA:ECDHE-RSA-AES256-SHA:ECDHE-RSA-AES128-SHA:"
    "AES256-GCM-SHA384:AES128-GCM-SHA256:AES256-SHA:AES128-SHA";
constexpr std::string_view kSafariTls13 =
    "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";
constexpr std::string_view kSafariCurves = "X25519:P-256:P-384:P-521";

constexpr std::string_view kNavigateAccept =
    "text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,image/apng,*/"
    "*;q=0.8,application/signed-exchange;v=b3;q=0.7";

constexpr std::array kChrome131 = std::to_array<HeaderView>({
    {"User-Agent", "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like "
                   "Gecko) Chrome/131.0.0.0 Safari/537.36"},
    {"sec-ch-ua", R"("Google Chrome";v="131", "Chromium";v="131", "Not_A Brand";v="24")"},
    {"sec-ch-ua-mobile", "?0"},
    {"sec-ch-ua-platform", R"("Windows")"},
    {"Upgrade-Insecure-Requests", "1"},
    {"Accept", kNavigateAccept},
    {"Accept-Encoding", "gzip, deflate, br, zstd"},
    {"Accept-Language", "en-US,en;q=0.9"},
    {"Sec-Fetch-Site", "none"},
    {"Sec-Fetch-Mode", "navigate"},
    {"Sec-Fetch-User", "?1"},
    {"Sec-Fetch-Dest", "document"},
    {"Priority", "u=0, i"},
});

constexpr std::array kChrome120 = std::to_array<HeaderView>({
    {"User-Agent", "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like "
                   "Gecko) Chrome/120.0.0.0 Safari/537.36"},
    {"sec-ch-ua", R"("Not_A Brand";v="8", "Chromium";v="120", "Google Chrome";v="120")"},
    {"sec-ch-ua-mobile", "?0"},
    {"sec-ch-ua-platform", R"("Windows")"},
    {"Upgrade-Insecure-Requests", "1"},
    {"Accept", kNavigateAccept},
    {"Accept-Encoding", "gzip, deflate, br"},
    {"Accept-Language", "en-US,en;q=0.9"},
    {"Sec-Fetch-Site", "none"},
    {"Sec-Fetch-Mode", "navigate"},
    {"Sec-Fetch-User", "?1"},
    {"Sec-Fetch-Dest", "document"},
});

constexpr std::array kFirefox133 = std::to_array<HeaderView>({
    {"User-Agent",
     "Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:133.0) Gecko/20100101 Firefox/133.0"},
    {"Accept", "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"},
    {"Accept-Encoding", "gzip, deflate, br, zstd"},
    {"Accept-Language", "en-US,en;q=0.5"},
    {"Upgrade-Insecure-Requests", "1"},
    {"Sec-Fetch-Dest", "document"},
    {"Sec-Fetch-Mode", "navigate"},
    {"Sec-Fetch-Site", "none"},
    {"Sec-Fetch-User", "?1"},
    {"Priority", "u=0, i"},
});

constexpr std::array kSafari18 = std::to_array<HeaderView>({
    {"User-Agent", "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, "
                   "like Gecko) Version/18.0 Safari/605.1.15"},
    {"Accept", "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"},
    {"Accept-Encoding", "gzip, deflate, br"},
    {"Accept-Language", "en-US,en;q=0.9"},
    {"Sec-Fetch-Dest", "document"},
    {"Sec-Fetch-Mode", "navigate"},
    {"Sec-Fetch-Site", "none"},
    {"Priority", "u=0, i"},
});

// Chromium and WebKit offer a client window size; Gecko leaves it out.
constexpr std::string_view kDeflateWithClientBits = "permessage-deflate; client_max_window_bits";
constexpr std::string_view kDeflatePlain = "permessage-deflate";

// Newest first within each family: the family alias picks the first.
constexpr std::array kProfiles = std::to_array<Profile>({
    {"chrome_131", kChrome131, kChromeTls12, kChromeTls13, kChromeCurves, kDeflateWithClientBits},
    {"chrome_120", kChrome120, kChromeTls12, kChromeTls13, kChromeCurves, kDeflateWithClientBits},
    {"firefox_133", kFirefox133, kFirefoxTls12, kFirefoxTls13, kFirefoxCurves, kDeflatePlain},
    {"safari_18", kSafari18, kSafariTls12, kSafariTls13, kSafariCurves, kDeflateWithClientBits},
});

} // namespace

std::span<const Profile> all_profiles() {
    return kProfiles;
}

const Profile *find_profile(std::string_view name) {
    for (const Profile &p : kProfiles)
        if (p.name == name)
            return &p;
    // A bare family name means its newest profile.
    for (const Profile &p : kProfiles)
        if (p.name.size() > name.size() && p.name.substr(0, name.size()) == name &&
            p.name[name.size()] == '_' && !name.empty())
            return &p;
    return nullptr;
}

} // namespace kestrin
