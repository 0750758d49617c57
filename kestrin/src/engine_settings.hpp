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
    ks_http_version http_version = KS_HTTP_AUTO;
    ks_cert_mode cert_mode = KS_CERT_SYSTEM;
    std::string ca_pem;
    std::string accept_encoding;      // what this libcurl can decode
    std::shared_ptr<HttpCache> cache; // null when the cache is disabled
    NamespaceLease lease;             // keeps the profile namespace claimed
};

// Fills settings from the record, or returns the status that refuses it.
ks_status parse_engine_config(const ks_engine_config &config, EngineSettings &out);

} // namespace kestrin
