// The engine configuration, copied out of ks_engine_config and checked.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <kestrin/kestrin.h>

#include "namespaces.hpp"
#include "profiles.hpp"

namespace kestrin {

class HttpCache;

struct EngineSettings {
    std::string user_agent;
    std::string accept_language;
    std::string proxy; // with an explicit scheme
    std::string proxy_username;
    std::string proxy_password;
    const Profile *profile = nullptr;
    uint32_t http_version = 0; // 0 auto, 1 HTTP/1.1, 2 HTTP/2
    uint32_t cert_mode = 0;    // 0 system trust, 1 ca_pem only, 2 no verification
    std::string ca_pem;
    std::string accept_encoding;      // what this libcurl can decode
    std::shared_ptr<HttpCache> cache; // null when the cache is disabled
    NamespaceLease lease;             // keeps the profile namespace claimed
};

// Fills settings from the record, or returns the status that refuses it.
ks_status parse_engine_config(const ks_engine_config &config, EngineSettings &out);

} // namespace kestrin
