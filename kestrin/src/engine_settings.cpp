#include "engine_settings.hpp"

#include <memory>
#include <optional>

#include <curl/curl.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "cache.hpp"
#include "record_text.hpp"
#include "url.hpp"

namespace kestrin {
namespace {

// Number of certificates in PEM data.
size_t count_certificates(const std::string &pem) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(
        BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
    if (!bio)
        return 0;
    size_t n = 0;
    while (X509 *cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
        X509_free(cert);
        ++n;
    }
    return n;
}

// Adds http:// to a bare host:port and accepts only the proxy kinds we speak.
bool normalise_proxy(std::string &proxy) {
    if (proxy.empty())
        return true;
    if (proxy.find("://") == std::string::npos)
        proxy = "http://" + proxy;
    auto u = Url::parse(proxy);
    if (!u)
        return false;
    std::string s = u->scheme();
    return s == "http" || s == "https" || s == "socks5" || s == "socks5h" || s == "socks4" ||
           s == "socks4a";
}

std::string supported_encodings() {
    const curl_version_info_data *info = curl_version_info(CURLVERSION_NOW);
    std::string out;
    auto add = [&](const char *e) { out += out.empty() ? e : std::string(", ") + e; };
    if (info->features & CURL_VERSION_LIBZ) {
        add("gzip");
        add("deflate");
    }
    if (info->features & CURL_VERSION_BROTLI)
        add("br");
    if (info->features & CURL_VERSION_ZSTD)
        add("zstd");
    return out;
}

// What decides which origins an engine accepts: the verification mode, the trusted certificates
// and the proxy (whose certificate, and whose answers, an engine takes on trust). Hashed, so the
// namespace registry keeps no CA bundle or proxy credentials.
std::optional<std::string> trust_key(const EngineSettings &s) {
    std::string material = std::to_string(static_cast<uint32_t>(s.cert_mode)) + '\n' + s.proxy +
                           '\n' + s.proxy_username + '\n' +
                           (s.cert_mode == KS_CERT_CA_PEM ? s.ca_pem : "");
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(material.data(), material.size(), digest, &len, EVP_sha256(), nullptr) != 1)
        return std::nullopt;
    return std::string(reinterpret_cast<const char *>(digest), len);
}

} // namespace

ks_status parse_engine_config(const ks_engine_config &c, EngineSettings &out) {
    EngineSettings s;
    s.user_agent = text(c.user_agent, c.user_agent_len);
    s.accept_language = text(c.accept_language, c.accept_language_len);
    s.proxy = text(c.proxy, c.proxy_len);
    s.proxy_username = text(c.proxy_username, c.proxy_username_len);
    s.proxy_password = text(c.proxy_password, c.proxy_password_len);
    s.ca_pem = text(reinterpret_cast<const char *>(c.ca_pem), c.ca_pem_len);

    // HTTP/3 needs a libcurl with QUIC; a distributor's may lack it.
    bool quic = curl_version_info(CURLVERSION_NOW)->features & CURL_VERSION_HTTP3;
    if (!decode(c.http_version, quic ? KS_HTTP_3 : KS_HTTP_2, s.http_version) ||
        !decode(c.cert_mode, KS_CERT_NONE, s.cert_mode))
        return KS_INVALID_ARGUMENT;
    if (s.cert_mode == KS_CERT_CA_PEM && !s.ca_pem.empty() && count_certificates(s.ca_pem) == 0)
        return KS_INVALID_ARGUMENT;
    if (!normalise_proxy(s.proxy))
        return KS_INVALID_ARGUMENT;

    std::string profile_name = text(c.impersonate, c.impersonate_len);
    if (!profile_name.empty()) {
        s.profile = find_profile(profile_name);
        if (s.profile == nullptr)
            return KS_PROFILE_UNSUPPORTED;
    }
    s.accept_encoding = supported_encodings();

    std::string ns = text(c.profile_namespace, c.profile_namespace_len);
    std::shared_ptr<HttpCache> shared_cache;
    if (!ns.empty()) {
        std::string profile = s.profile ? std::string(s.profile->name) : std::string();
        auto trust = trust_key(s);
        if (!trust)
            return KS_OUT_OF_MEMORY;
        if (ks_status st = NamespaceLease::acquire(ns, profile, *trust, s.lease, shared_cache))
            return st;
    }
    if (!c.cache_disabled)
        s.cache = shared_cache ? shared_cache : std::make_shared<HttpCache>();
    out = std::move(s);
    return KS_OK;
}

} // namespace kestrin
