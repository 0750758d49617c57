// Every libcurl error has one row; each row gives the kind and the net error a
// browser reports for the same failure (numbers from Chromium's net error list).
#include <gtest/gtest.h>

#include <set>

#include <curl/curl.h>
#include <openssl/x509_vfy.h>

#include "error_map.hpp"

using kestrin::Failure;
using kestrin::FailureContext;
using kestrin::map_curl_error;

namespace {

enum Kind : uint32_t {
    InvalidArgument = 1,
    OutOfMemory = 3,
    InitializationFailed = 4,
    InvalidState = 5,
    Timeout = 6,
    Canceled = 7,
    Network = 8,
    Tls = 9,
    Proxy = 10,
    Protocol = 11,
    Redirect = 12
};

struct Expect {
    int code;
    Kind kind;
    int32_t net;
    Kind proxied_kind;
    int32_t proxied_net;
};

constexpr Expect same(int code, Kind k, int32_t net) {
    return {code, k, net, k, net};
}

// Written from the failure each code stands for, not from the table under test.
const Expect kExpected[] = {
    same(CURLE_UNSUPPORTED_PROTOCOL, Protocol, -370), // ERR_INVALID_HTTP_RESPONSE
    same(CURLE_FAILED_INIT, InitializationFailed, -2),
    same(CURLE_URL_MALFORMAT, InvalidArgument, -300),    // ERR_INVALID_URL
    same(CURLE_NOT_BUILT_IN, InitializationFailed, -11), // ERR_NOT_IMPLEMENTED
    same(CURLE_COULDNT_RESOLVE_PROXY, Proxy, -130),      // ERR_PROXY_CONNECTION_FAILED
    same(CURLE_COULDNT_RESOLVE_HOST, Network, -105),     // ERR_NAME_NOT_RESOLVED
    {CURLE_COULDNT_CONNECT, Network, -102, Proxy, -130}, // ERR_CONNECTION_REFUSED
    same(CURLE_WEIRD_SERVER_REPLY, Protocol, -370),
    same(CURLE_REMOTE_ACCESS_DENIED, Network, -10), // ERR_ACCESS_DENIED
    same(CURLE_FTP_ACCEPT_FAILED, Protocol, -2),
    same(CURLE_FTP_WEIRD_PASS_REPLY, Protocol, -2),
    same(CURLE_FTP_ACCEPT_TIMEOUT, Protocol, -2),
    same(CURLE_FTP_WEIRD_PASV_REPLY, Protocol, -2),
    same(CURLE_FTP_WEIRD_227_FORMAT, Protocol, -2),
    same(CURLE_FTP_CANT_GET_HOST, Protocol, -2),
    same(CURLE_HTTP2, Protocol, -337), // ERR_HTTP2_PROTOCOL_ERROR
    same(CURLE_FTP_COULDNT_SET_TYPE, Protocol, -2),
    same(CURLE_PARTIAL_FILE, Network, -354), // ERR_CONTENT_LENGTH_MISMATCH
    same(CURLE_FTP_COULDNT_RETR_FILE, Protocol, -2),
    same(CURLE_QUOTE_ERROR, Protocol, -2),
    same(CURLE_HTTP_RETURNED_ERROR, Protocol, -2),
    same(CURLE_WRITE_ERROR, Canceled, -3), // ERR_ABORTED
    same(CURLE_UPLOAD_FAILED, Network, -2),
    same(CURLE_READ_ERROR, Network, -2),
    same(CURLE_OUT_OF_MEMORY, OutOfMemory, -13), // ERR_OUT_OF_MEMORY
    same(CURLE_OPERATION_TIMEDOUT, Timeout, -7), // ERR_TIMED_OUT
    same(CURLE_FTP_PORT_FAILED, Protocol, -2),
    same(CURLE_FTP_COULDNT_USE_REST, Protocol, -2),
    same(CURLE_RANGE_ERROR, Protocol, -328), // ERR_REQUEST_RANGE_NOT_SATISFIABLE
    same(CURLE_HTTP_POST_ERROR, Protocol, -2),
    same(CURLE_SSL_CONNECT_ERROR, Tls, -107), // ERR_SSL_PROTOCOL_ERROR
    same(CURLE_BAD_DOWNLOAD_RESUME, Protocol, -2),
    same(CURLE_FILE_COULDNT_READ_FILE, Network, -6), // ERR_FILE_NOT_FOUND
    same(CURLE_LDAP_CANNOT_BIND, Protocol, -2),
    same(CURLE_LDAP_SEARCH_FAILED, Protocol, -2),
    same(CURLE_FUNCTION_NOT_FOUND, InitializationFailed, -2),
    same(CURLE_ABORTED_BY_CALLBACK, Canceled, -3),
    same(CURLE_BAD_FUNCTION_ARGUMENT, InvalidArgument, -4), // ERR_INVALID_ARGUMENT
    same(CURLE_INTERFACE_FAILED, Network, -108),            // ERR_ADDRESS_INVALID
    same(CURLE_TOO_MANY_REDIRECTS, Redirect, -310),         // ERR_TOO_MANY_REDIRECTS
    same(CURLE_UNKNOWN_OPTION, InvalidArgument, -4),
    same(CURLE_SETOPT_OPTION_SYNTAX, InvalidArgument, -4),
    same(CURLE_GOT_NOTHING, Network, -324), // ERR_EMPTY_RESPONSE
    same(CURLE_SSL_ENGINE_NOTFOUND, Tls, -107),
    same(CURLE_SSL_ENGINE_SETFAILED, Tls, -107),
    same(CURLE_SEND_ERROR, Network, -101), // ERR_CONNECTION_RESET
    same(CURLE_RECV_ERROR, Network, -101),
    same(CURLE_SSL_CERTPROBLEM, Tls, -117),           // ERR_BAD_SSL_CLIENT_AUTH_CERT
    same(CURLE_SSL_CIPHER, Tls, -113),                // ERR_SSL_VERSION_OR_CIPHER_MISMATCH
    same(CURLE_PEER_FAILED_VERIFICATION, Tls, -202),  // ERR_CERT_AUTHORITY_INVALID
    same(CURLE_BAD_CONTENT_ENCODING, Protocol, -330), // ERR_CONTENT_DECODING_FAILED
    same(CURLE_FILESIZE_EXCEEDED, Network, -8),       // ERR_FILE_TOO_BIG
    same(CURLE_USE_SSL_FAILED, Tls, -107),
    same(CURLE_SEND_FAIL_REWIND, Network, -25), // ERR_UPLOAD_STREAM_REWIND_NOT_SUPPORTED
    same(CURLE_SSL_ENGINE_INITFAILED, Tls, -107),
    same(CURLE_LOGIN_DENIED, Network, -10),
    same(CURLE_TFTP_NOTFOUND, Protocol, -2),
    same(CURLE_TFTP_PERM, Protocol, -2),
    same(CURLE_REMOTE_DISK_FULL, Protocol, -2),
    same(CURLE_TFTP_ILLEGAL, Protocol, -2),
    same(CURLE_TFTP_UNKNOWNID, Protocol, -2),
    same(CURLE_REMOTE_FILE_EXISTS, Protocol, -2),
    same(CURLE_TFTP_NOSUCHUSER, Protocol, -2),
    same(CURLE_SSL_CACERT_BADFILE, Tls, -202),
    same(CURLE_REMOTE_FILE_NOT_FOUND, Network, -6),
    same(CURLE_SSH, Protocol, -2),
    same(CURLE_SSL_SHUTDOWN_FAILED, Tls, -107),
    same(CURLE_AGAIN, Network, -2),
    same(CURLE_SSL_CRL_BADFILE, Tls, -207), // ERR_CERT_INVALID
    same(CURLE_SSL_ISSUER_ERROR, Tls, -202),
    same(CURLE_FTP_PRET_FAILED, Protocol, -2),
    same(CURLE_RTSP_CSEQ_ERROR, Protocol, -2),
    same(CURLE_RTSP_SESSION_ERROR, Protocol, -2),
    same(CURLE_FTP_BAD_FILE_LIST, Protocol, -2),
    same(CURLE_CHUNK_FAILED, Protocol, -2),
    same(CURLE_NO_CONNECTION_AVAILABLE, Network, -104), // ERR_CONNECTION_FAILED
    same(CURLE_SSL_PINNEDPUBKEYNOTMATCH, Tls, -150),    // ERR_SSL_PINNED_KEY_NOT_IN_CERT_CHAIN
    same(CURLE_SSL_INVALIDCERTSTATUS, Tls, -206),       // ERR_CERT_REVOKED
    same(CURLE_HTTP2_STREAM, Protocol, -337),
    same(CURLE_RECURSIVE_API_CALL, InvalidState, -2),
    {CURLE_AUTH_ERROR, Protocol, -2, Proxy, -115}, // ERR_PROXY_AUTH_UNSUPPORTED
    same(CURLE_HTTP3, Protocol, -356),             // ERR_QUIC_PROTOCOL_ERROR
    same(CURLE_QUIC_CONNECT_ERROR, Network, -358), // ERR_QUIC_HANDSHAKE_FAILED
    same(CURLE_PROXY, Proxy, -120),                // ERR_SOCKS_CONNECTION_FAILED
    same(CURLE_SSL_CLIENTCERT, Tls, -110),         // ERR_SSL_CLIENT_AUTH_CERT_NEEDED
    same(CURLE_UNRECOVERABLE_POLL, Network, -2),
#if LIBCURL_VERSION_NUM >= 0x080600
    same(CURLE_TOO_LARGE, Protocol, -325), // ERR_RESPONSE_HEADERS_TOO_BIG
#endif
#if LIBCURL_VERSION_NUM >= 0x080800
    same(CURLE_ECH_REQUIRED, Tls, -183), // ERR_ECH_NOT_NEGOTIATED
#endif
};

class ErrorRowTest : public testing::TestWithParam<Expect> {};

TEST_P(ErrorRowTest, MapsDirectAndThroughProxy) {
    const Expect &e = GetParam();
    EXPECT_EQ(map_curl_error(e.code), (Failure{e.kind, e.net}))
        << curl_easy_strerror(static_cast<CURLcode>(e.code));
    FailureContext proxied;
    proxied.via_proxy = true;
    EXPECT_EQ(map_curl_error(e.code, proxied), (Failure{e.proxied_kind, e.proxied_net}));
}

INSTANTIATE_TEST_SUITE_P(AllCodes, ErrorRowTest, testing::ValuesIn(kExpected),
                         [](const testing::TestParamInfo<Expect> &info) {
                             for (const auto &row : kestrin::error_table())
                                 if (row.curl_code == info.param.code)
                                     return std::string(row.name.substr(6)); // drop CURLE_
                             return "code_" + std::to_string(info.param.code);
                         });

} // namespace

TEST(ErrorTable, CoversEveryCurlCodeOnceWithValidStatuses) {
    std::set<int> seen;
    for (const auto &row : kestrin::error_table()) {
        EXPECT_TRUE(seen.insert(row.curl_code).second) << row.name;
        for (const Failure &f : {row.direct, row.proxied}) {
            EXPECT_GE(f.status, 1u) << row.name;
            EXPECT_LE(f.status, 15u) << row.name;
            EXPECT_LT(f.net_error, 0) << row.name;
        }
    }
    // Every code libcurl uses has a row; those a newer libcurl retired keep theirs for older ones.
    for (int code = 1; code < CURL_LAST; ++code) {
        std::string text = curl_easy_strerror(static_cast<CURLcode>(code));
        if (text.find("Unknown error") == std::string::npos) {
            EXPECT_EQ(seen.count(code), 1u) << code << " " << text;
        }
    }
    EXPECT_EQ(seen.size(), std::size(kExpected));
    EXPECT_EQ(map_curl_error(CURLE_OK), (Failure{0, 0}));
}

TEST(ErrorTable, ContextRefinesProxyTlsAndChunkedFailures) {
    FailureContext tunnel;
    tunnel.via_proxy = true;
    tunnel.tunnel_status = 407;
    EXPECT_EQ(map_curl_error(CURLE_RECV_ERROR, tunnel), (Failure{Proxy, -127}));
    tunnel.tunnel_status = 502;
    EXPECT_EQ(map_curl_error(CURLE_RECV_ERROR, tunnel), (Failure{Proxy, -111}));
    tunnel.tunnel_status = 200; // tunnel fine: a later reset is the server's
    EXPECT_EQ(map_curl_error(CURLE_RECV_ERROR, tunnel), (Failure{Network, -101}));

    FailureContext tls;
    struct {
        long verify;
        int32_t net;
    } certs[] = {{X509_V_OK, -200},
                 {X509_V_ERR_UNSPECIFIED, -200},
                 {X509_V_ERR_HOSTNAME_MISMATCH, -200},
                 {X509_V_ERR_CERT_HAS_EXPIRED, -201},
                 {X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT, -202},
                 {X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY, -202},
                 {X509_V_ERR_CERT_REVOKED, -206},
                 {X509_V_ERR_INVALID_PURPOSE, -207}};
    for (const auto &c : certs) {
        tls.tls_verify_result = c.verify;
        EXPECT_EQ(map_curl_error(CURLE_PEER_FAILED_VERIFICATION, tls), (Failure{Tls, c.net}))
            << c.verify;
    }

    FailureContext chunked;
    chunked.chunked_body = true;
    EXPECT_EQ(map_curl_error(CURLE_PARTIAL_FILE, chunked), (Failure{Network, -355}));
    FailureContext quic;
    quic.over_quic = true; // a QUIC stream or connection broke
    EXPECT_EQ(map_curl_error(CURLE_RECV_ERROR, quic), (Failure{Protocol, -356}));
    EXPECT_EQ(map_curl_error(CURLE_SEND_ERROR, quic), (Failure{Protocol, -356}));
    EXPECT_EQ(map_curl_error(CURLE_OPERATION_TIMEDOUT, quic), (Failure{Timeout, -7}));
    EXPECT_EQ(map_curl_error(9999), (Failure{Network, -2}));
}
