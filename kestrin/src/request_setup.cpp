// A hop's libcurl handle set up from the engine's settings and the request, one function a
// concern: libcurl's hooks and the connection, the proxy, TLS, the method and body, the header
// lines.
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "engine.hpp"
#include "redirect_policy.hpp"
#include "request.hpp"
#include "system_ca.hpp"

namespace kestrin {

namespace {

// libcurl before 8.0.0 sets HTTP/2 up a second time on a reused prior-knowledge (clear-text)
// connection and fails that request with a framing error (curl issue 10634).
bool h2c_reuse_broken() {
    static const bool broken = curl_version_info(CURLVERSION_NOW)->version_num < 0x080000;
    return broken;
}

// HTTP/2 weights of the browser's priorities; 0 leaves libcurl's.
long stream_weight(Priority priority) {
    switch (priority) {
    case Priority::Highest:
        return 256;
    case Priority::Medium:
        return 220;
    case Priority::Low:
        return 183;
    case Priority::Lowest:
        return 147;
    case Priority::Idle:
        return 110;
    case Priority::Default:
        break;
    }
    return 0;
}

// RFC 9218 urgencies of the browser's priorities, which HTTP/3 carries in a header; empty
// leaves the server's default.
const char *urgency(Priority priority) {
    switch (priority) {
    case Priority::Highest:
        return "u=0";
    case Priority::Medium:
        return "u=1";
    case Priority::Low:
        return "u=2";
    case Priority::Lowest:
        return "u=3";
    case Priority::Idle:
        return "u=4";
    case Priority::Default:
        break;
    }
    return "";
}

// Without a DNS or IP subjectAltName, libcurl matches the host against the subject's common
// name; browsers refuse such a leaf as a name mismatch, and so do we.
int refuse_leaf_without_san(int ok, X509_STORE_CTX *store) {
    if (!ok || X509_STORE_CTX_get_error_depth(store) != 0)
        return ok;
    std::unique_ptr<GENERAL_NAMES, decltype(&GENERAL_NAMES_free)> names(
        static_cast<GENERAL_NAMES *>(X509_get_ext_d2i(X509_STORE_CTX_get_current_cert(store),
                                                      NID_subject_alt_name, nullptr, nullptr)),
        GENERAL_NAMES_free);
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names.get()); ++i) {
        int type = sk_GENERAL_NAME_value(names.get(), i)->type;
        if (type == GEN_DNS || type == GEN_IPADD)
            return 1;
    }
    X509_STORE_CTX_set_error(store, X509_V_ERR_HOSTNAME_MISMATCH);
    return 0;
}

// libcurl calls these for every TLS connection it sets up, to the origin and to a proxy alike.
// A peer's close without close_notify is an end of stream, as browsers take it: the HTTP framing
// then tells a complete body from a cut one. libcurl 8 no longer sets this and would fail every
// such close as a receive error, a complete body read until the close included.
CURLcode on_ssl_ctx(CURL *, void *ssl_ctx, void *) {
    SSL_CTX_set_options(static_cast<SSL_CTX *>(ssl_ctx), SSL_OP_IGNORE_UNEXPECTED_EOF);
    return CURLE_OK;
}

CURLcode on_ssl_ctx_verifying(CURL *e, void *ssl_ctx, void *data) {
    auto *ctx = static_cast<SSL_CTX *>(ssl_ctx);
    SSL_CTX_set_verify(ctx, SSL_CTX_get_verify_mode(ctx), &refuse_leaf_without_san);
    return on_ssl_ctx(e, ssl_ctx, data);
}

// An empty proxy also keeps libcurl from reading proxy environment variables.
void set_proxy(CURL *e, const EngineSettings &s) {
    curl_easy_setopt(e, CURLOPT_PROXY, s.proxy.c_str());
    if (!s.proxy_username.empty())
        curl_easy_setopt(e, CURLOPT_PROXYUSERNAME, s.proxy_username.c_str());
    if (!s.proxy_password.empty())
        curl_easy_setopt(e, CURLOPT_PROXYPASSWORD, s.proxy_password.c_str());
}

void set_tls(CURL *e, const EngineSettings &s) {
    switch (s.cert_mode) {
    case KS_CERT_SYSTEM:
        if (const char *bundle = system_ca_bundle()) {
            curl_easy_setopt(e, CURLOPT_CAINFO, bundle);
            curl_easy_setopt(e, CURLOPT_PROXY_CAINFO, bundle);
        }
        break;
    case KS_CERT_CA_PEM:
        // Trust exactly the given certificates: no system bundle or directory.
        curl_easy_setopt(e, CURLOPT_CAINFO, nullptr);
        curl_easy_setopt(e, CURLOPT_CAPATH, nullptr);
        curl_easy_setopt(e, CURLOPT_PROXY_CAINFO, nullptr);
        curl_easy_setopt(e, CURLOPT_PROXY_CAPATH, nullptr);
        if (!s.ca_pem.empty()) {
            curl_blob blob{const_cast<char *>(s.ca_pem.data()), s.ca_pem.size(), CURL_BLOB_NOCOPY};
            curl_easy_setopt(e, CURLOPT_CAINFO_BLOB, &blob);
            curl_easy_setopt(e, CURLOPT_PROXY_CAINFO_BLOB, &blob);
        }
        break;
    case KS_CERT_NONE:
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(e, CURLOPT_PROXY_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(e, CURLOPT_PROXY_SSL_VERIFYHOST, 0L);
        break;
    }
    curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION,
                     s.cert_mode != KS_CERT_NONE ? &on_ssl_ctx_verifying : &on_ssl_ctx);
    if (s.profile) {
        curl_easy_setopt(e, CURLOPT_SSLVERSION, CURL_SSLVERSION_TLSv1_2);
        curl_easy_setopt(e, CURLOPT_SSL_CIPHER_LIST, std::string(s.profile->tls12_ciphers).c_str());
        curl_easy_setopt(e, CURLOPT_TLS13_CIPHERS, std::string(s.profile->tls13_ciphers).c_str());
        curl_easy_setopt(e, CURLOPT_SSL_EC_CURVES, std::string(s.profile->curves).c_str());
    }
}

} // namespace

bool Request::configure(CURL *e) {
    if (!configure_transport(e))
        return false;
    const EngineSettings &s = engine_->settings();
    set_proxy(e, s);
    set_tls(e, s);
    bool sends_body = configure_body(e);
    if (!configure_header_lines(e, sends_body))
        return false;
    if (long w = stream_weight(config_.priority))
        curl_easy_setopt(e, CURLOPT_STREAM_WEIGHT, w);
    return true;
}

bool Request::configure_transport(CURL *e) {
    const EngineSettings &s = engine_->settings();
    own(e);
    if (config_.parsed_url) {
        curl_easy_setopt(e, CURLOPT_CURLU, config_.parsed_url->handle());
    } else {
        curl_easy_setopt(e, CURLOPT_CURLU, nullptr); // it would outrank CURLOPT_URL
        if (curl_easy_setopt(e, CURLOPT_URL, config_.url.text.c_str()) != CURLE_OK)
            return false;
    }
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Request::on_header);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Request::on_write);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    watch_h2_frames(e);
    // A paused transfer makes libcurl keep all that its current read decodes to, and fail past
    // 64 MiB: gzip decodes at most about 1032 times, so a 32 KiB read stays well under it.
    curl_easy_setopt(e, CURLOPT_BUFFERSIZE, long(kReadSize));
    curl_easy_setopt(e, CURLOPT_TCP_KEEPALIVE, 1L);
    engine_->watch_connections(e);
    curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, &Request::on_prereq);
    curl_easy_setopt(e, CURLOPT_PREREQDATA, this);
    curl_easy_setopt(e, CURLOPT_SOCKOPTFUNCTION, &Request::on_sockopt);
    curl_easy_setopt(e, CURLOPT_SOCKOPTDATA, this);
    // Waiting for a connection to learn whether it multiplexes pays only where it learns that
    // early (ALPN, prior knowledge). A clear-text connection tells with its first response, so
    // one stalled request would hold back every other request to its host.
    bool https = config_.url.origin.scheme == "https";
    hop_.curl_version = curl_http_version(https);
    if (s.http_version == KS_HTTP_2 && !https && h2c_reuse_broken()) {
        // Such a libcurl cannot share these connections: one connection per request.
        curl_easy_setopt(e, CURLOPT_FRESH_CONNECT, 1L);
        curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L);
    } else if (s.http_version == KS_HTTP_2 || https) {
        curl_easy_setopt(e, CURLOPT_PIPEWAIT, 1L);
    }
    // Decode whatever the server encodes; the Accept-Encoding header itself
    // comes from build_headers().
    curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, s.accept_encoding.c_str());
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, hop_.curl_version);
#ifdef CURLOPT_H3_ALTERNATIVE
    if (!hop_.h3_alternative.empty())
        curl_easy_setopt(e, CURLOPT_H3_ALTERNATIVE, hop_.h3_alternative.c_str());
#endif
    if (hop_.curl_version == CURL_HTTP_VERSION_3ONLY) {
        curl_easy_setopt(e, CURLOPT_OPENSOCKETFUNCTION, &Request::on_open_socket);
        curl_easy_setopt(e, CURLOPT_OPENSOCKETDATA, this);
    }
    return true;
}

// QUIC needs TLS, and libcurl speaks it to no proxy of ours: http URLs and proxied requests go
// as auto sends them. An explicit HTTP/3 never falls back, as a browser forced onto QUIC; auto
// races QUIC to the origin's advertised h3 alternative against TCP to the origin.
long Request::curl_http_version(bool https) {
    const EngineSettings &s = engine_->settings();
    bool quic = https && s.proxy.empty();
    switch (s.http_version) {
    case KS_HTTP_1_1:
        return CURL_HTTP_VERSION_1_1;
    case KS_HTTP_2:
        return CURL_HTTP_VERSION_2_PRIOR_KNOWLEDGE;
    case KS_HTTP_3:
        if (quic)
            return CURL_HTTP_VERSION_3ONLY;
        break;
    case KS_HTTP_AUTO:
        if (quic && !engine_->alt_svc().empty()) {
            auto alt = engine_->alt_svc().offers_h3(config_.url.origin, AltSvcCache::Clock::now());
            if (alt) {
                hop_.h3_alternative = *alt;
                return CURL_HTTP_VERSION_3;
            }
        }
        break;
    }
    return CURL_HTTP_VERSION_2TLS;
}

bool Request::configure_body(CURL *e) {
    if (config_.method == "HEAD" && config_.body_kind == BodyKind::None) {
        curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
    } else if (config_.body_kind == BodyKind::Stream) {
        curl_easy_setopt(e, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(e, CURLOPT_INFILESIZE_LARGE, curl_off_t(-1));
        curl_easy_setopt(e, CURLOPT_READFUNCTION, &Request::on_read);
        curl_easy_setopt(e, CURLOPT_READDATA, this);
        curl_easy_setopt(e, CURLOPT_SEEKFUNCTION, &Request::on_seek);
        curl_easy_setopt(e, CURLOPT_SEEKDATA, this);
        if (config_.method != "PUT")
            curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, config_.method.c_str());
    } else if (config_.body_kind == BodyKind::Bytes || config_.method == "POST" ||
               config_.method == "PUT" || config_.method == "PATCH") {
        // Bodyless POST/PUT/PATCH still say Content-Length: 0, as browsers do.
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(config_.body.size()));
        curl_easy_setopt(e, CURLOPT_POSTFIELDS, config_.body.data());
        if (config_.method != "POST")
            curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, config_.method.c_str());
        return true;
    } else if (config_.method == "GET") {
        curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
    } else {
        curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, config_.method.c_str());
    }
    return false;
}

// The engine's lines serve a bodyless request that adds no header; anything else gets its own.
bool Request::configure_header_lines(CURL *e, bool sends_body) {
    // The caller's priority outranks a profile's navigation default; a Priority header of the
    // caller's own outranks both.
    bool urgent = hop_.curl_version == CURL_HTTP_VERSION_3ONLY && *urgency(config_.priority) &&
                  !has_header(config_.headers, "Priority");
    if (!own_headers_ && hop_.extra_headers.empty() && !urgent && !sends_body) {
        header_list_.reset();
        curl_easy_setopt(e, CURLOPT_HTTPHEADER, engine_->request_template().bodyless_lines());
        return true;
    }
    HeaderList headers = sent_headers();
    for (const auto &h : hop_.extra_headers)
        headers.push_back(h);
    if (urgent) {
        std::erase_if(headers, [](const auto &h) { return iequals(h.first, "Priority"); });
        headers.emplace_back("Priority", urgency(config_.priority));
    }
    if (sends_body && !has_header(headers, "Content-Type"))
        headers.emplace_back("Content-Type", std::string()); // no form default
    if (!has_header(headers, "Expect"))
        headers.emplace_back("Expect", std::string());
    header_list_.reset(header_lines(headers, config_.headers));
    if (!header_list_)
        return false;
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, header_list_.get());
    return true;
}

} // namespace kestrin
