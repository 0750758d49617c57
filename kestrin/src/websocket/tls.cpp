#include "websocket/tls.hpp"

#include <boost/asio/ip/address.hpp>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include "system_ca.hpp"

namespace kestrin {

namespace {

bool is_ip_literal(const std::string &host) {
    boost::system::error_code ec;
    boost::asio::ip::make_address(host, ec);
    return !ec;
}

// Trust exactly the given certificates.
void trust_pem(SSL_CTX *ctx, const std::string &pem) {
    X509_STORE *store = SSL_CTX_get_cert_store(ctx);
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(
        BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
    while (bio) {
        X509 *cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
        if (!cert)
            break;
        X509_STORE_add_cert(store, cert);
        X509_free(cert);
    }
    ERR_clear_error();
}

} // namespace

std::unique_ptr<boost::asio::ssl::context> websocket_tls_context(const EngineSettings &s) {
    auto context =
        std::make_unique<boost::asio::ssl::context>(boost::asio::ssl::context::tls_client);
    SSL_CTX *ctx = context->native_handle();
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    if (s.cert_mode == KS_CERT_NONE) {
        SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    } else {
        if (s.cert_mode == KS_CERT_SYSTEM) {
            SSL_CTX_set_default_verify_paths(ctx);
            if (const char *bundle = system_ca_bundle()) {
                SSL_CTX_load_verify_locations(ctx, bundle, nullptr);
                ERR_clear_error();
            }
        } else
            trust_pem(ctx, s.ca_pem);
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    }
    if (s.profile) {
        if (!s.profile->tls12_ciphers.empty())
            SSL_CTX_set_cipher_list(ctx, std::string(s.profile->tls12_ciphers).c_str());
        if (!s.profile->tls13_ciphers.empty())
            SSL_CTX_set_ciphersuites(ctx, std::string(s.profile->tls13_ciphers).c_str());
        if (!s.profile->curves.empty())
            SSL_CTX_set1_groups_list(ctx, std::string(s.profile->curves).c_str());
        ERR_clear_error();
    }
    return context;
}

void prepare_tls_connection(SSL *ssl, const std::string &host) {
    X509_VERIFY_PARAM *param = SSL_get0_param(ssl);
    if (is_ip_literal(host)) {
        X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
    } else {
        SSL_set_tlsext_host_name(ssl, host.c_str());
        // As browsers do: no falling back to the subject's common name without a SAN.
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS |
                                                   X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
        X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size());
    }
    static constexpr unsigned char kAlpn[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
    SSL_set_alpn_protos(ssl, kAlpn, sizeof(kAlpn));
}

} // namespace kestrin
