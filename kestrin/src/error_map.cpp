#include "error_map.hpp"

#include <array>

#include <curl/curl.h>
#include <openssl/x509_vfy.h>

namespace kestrin {
namespace {

using namespace net;

constexpr uint32_t kInvalidArgument = 1, kOutOfMemory = 3, kInitFailed = 4, kInvalidState = 5,
                   kTimeout = 6, kCanceled = 7, kNetwork = 8, kTls = 9, kProxy = 10, kProtocol = 11,
                   kRedirect = 12;

constexpr Failure F(uint32_t s, int32_t n) {
    return {s, n};
}

#define ROW(code, s, n)                                                                            \
    { code, #code, F(s, n), F(s, n) }
#define PROXY_ROW(code, s, n, ps, pn)                                                              \
    { code, #code, F(s, n), F(ps, pn) }

// Protocols other than HTTP(S) are disabled on every transfer, so their codes
// cannot occur; they still map to a protocol failure rather than fall through.
constexpr std::array kTable = std::to_array<ErrorRow>({
    // URL schemes are checked before a transfer starts, so during one this
    // means an answer without a status line (HTTP/0.9), which we refuse.
    ROW(CURLE_UNSUPPORTED_PROTOCOL, kProtocol, ERR_INVALID_HTTP_RESPONSE),
    ROW(CURLE_FAILED_INIT, kInitFailed, ERR_FAILED),
    ROW(CURLE_URL_MALFORMAT, kInvalidArgument, ERR_INVALID_URL),
    ROW(CURLE_NOT_BUILT_IN, kInitFailed, ERR_NOT_IMPLEMENTED),
    ROW(CURLE_COULDNT_RESOLVE_PROXY, kProxy, ERR_PROXY_CONNECTION_FAILED),
    ROW(CURLE_COULDNT_RESOLVE_HOST, kNetwork, ERR_NAME_NOT_RESOLVED),
    PROXY_ROW(CURLE_COULDNT_CONNECT, kNetwork, ERR_CONNECTION_REFUSED, kProxy,
              ERR_PROXY_CONNECTION_FAILED),
    ROW(CURLE_WEIRD_SERVER_REPLY, kProtocol, ERR_INVALID_HTTP_RESPONSE),
    ROW(CURLE_REMOTE_ACCESS_DENIED, kNetwork, ERR_ACCESS_DENIED),
    ROW(CURLE_FTP_ACCEPT_FAILED, kProtocol, ERR_FAILED),
    ROW(CURLE_FTP_WEIRD_PASS_REPLY, kProtocol, ERR_FAILED),
    ROW(CURLE_FTP_ACCEPT_TIMEOUT, kProtocol, ERR_FAILED),
    ROW(CURLE_FTP_WEIRD_PASV_REPLY, kProtocol, ERR_FAILED),
    ROW(CURLE_FTP_WEIRD_227_FORMAT, kProtocol, ERR_FAILED),
    ROW(CURLE_FTP_CANT_GET_HOST, kProtocol, ERR_FAILED),
    ROW(CURLE_HTTP2, kProtocol, ERR_HTTP2_PROTOCOL_ERROR),
    ROW(CURLE_FTP_COULDNT_SET_TYPE, kProtocol, ERR_FAILED),
    ROW(CURLE_PARTIAL_FILE, kNetwork, ERR_CONTENT_LENGTH_MISMATCH),
    ROW(CURLE_FTP_COULDNT_RETR_FILE, kProtocol, ERR_FAILED),
    ROW(CURLE_QUOTE_ERROR, kProtocol, ERR_FAILED),
    ROW(CURLE_HTTP_RETURNED_ERROR, kProtocol, ERR_FAILED),
    ROW(CURLE_WRITE_ERROR, kCanceled, ERR_ABORTED),
    ROW(CURLE_UPLOAD_FAILED, kNetwork, ERR_FAILED),
    ROW(CURLE_READ_ERROR, kNetwork, ERR_FAILED),
    ROW(CURLE_OUT_OF_MEMORY, kOutOfMemory, ERR_OUT_OF_MEMORY),
    ROW(CURLE_OPERATION_TIMEDOUT, kTimeout, ERR_TIMED_OUT),
    ROW(CURLE_FTP_PORT_FAILED, kProtocol, ERR_FAILED),
    ROW(CURLE_FTP_COULDNT_USE_REST, kProtocol, ERR_FAILED),
    ROW(CURLE_RANGE_ERROR, kProtocol, ERR_REQUEST_RANGE_NOT_SATISFIABLE),
    ROW(CURLE_HTTP_POST_ERROR, kProtocol, ERR_FAILED),
    ROW(CURLE_SSL_CONNECT_ERROR, kTls, ERR_SSL_PROTOCOL_ERROR),
    ROW(CURLE_BAD_DOWNLOAD_RESUME, kProtocol, ERR_FAILED),
    ROW(CURLE_FILE_COULDNT_READ_FILE, kNetwork, ERR_FILE_NOT_FOUND),
    ROW(CURLE_LDAP_CANNOT_BIND, kProtocol, ERR_FAILED),
    ROW(CURLE_LDAP_SEARCH_FAILED, kProtocol, ERR_FAILED),
    ROW(CURLE_FUNCTION_NOT_FOUND, kInitFailed, ERR_FAILED),
    ROW(CURLE_ABORTED_BY_CALLBACK, kCanceled, ERR_ABORTED),
    ROW(CURLE_BAD_FUNCTION_ARGUMENT, kInvalidArgument, ERR_INVALID_ARGUMENT),
    ROW(CURLE_INTERFACE_FAILED, kNetwork, ERR_ADDRESS_INVALID),
    ROW(CURLE_TOO_MANY_REDIRECTS, kRedirect, ERR_TOO_MANY_REDIRECTS),
    ROW(CURLE_UNKNOWN_OPTION, kInvalidArgument, ERR_INVALID_ARGUMENT),
    ROW(CURLE_SETOPT_OPTION_SYNTAX, kInvalidArgument, ERR_INVALID_ARGUMENT),
    ROW(CURLE_GOT_NOTHING, kNetwork, ERR_EMPTY_RESPONSE),
    ROW(CURLE_SSL_ENGINE_NOTFOUND, kTls, ERR_SSL_PROTOCOL_ERROR),
    ROW(CURLE_SSL_ENGINE_SETFAILED, kTls, ERR_SSL_PROTOCOL_ERROR),
    ROW(CURLE_SEND_ERROR, kNetwork, ERR_CONNECTION_RESET),
    ROW(CURLE_RECV_ERROR, kNetwork, ERR_CONNECTION_RESET),
    ROW(CURLE_SSL_CERTPROBLEM, kTls, ERR_BAD_SSL_CLIENT_AUTH_CERT),
    ROW(CURLE_SSL_CIPHER, kTls, ERR_SSL_VERSION_OR_CIPHER_MISMATCH),
    ROW(CURLE_PEER_FAILED_VERIFICATION, kTls, ERR_CERT_AUTHORITY_INVALID),
    ROW(CURLE_BAD_CONTENT_ENCODING, kProtocol, ERR_CONTENT_DECODING_FAILED),
    ROW(CURLE_FILESIZE_EXCEEDED, kNetwork, ERR_FILE_TOO_BIG),
    ROW(CURLE_USE_SSL_FAILED, kTls, ERR_SSL_PROTOCOL_ERROR),
    ROW(CURLE_SEND_FAIL_REWIND, kNetwork, ERR_UPLOAD_STREAM_REWIND_NOT_SUPPORTED),
    ROW(CURLE_SSL_ENGINE_INITFAILED, kTls, ERR_SSL_PROTOCOL_ERROR),
    ROW(CURLE_LOGIN_DENIED, kNetwork, ERR_ACCESS_DENIED),
    ROW(CURLE_TFTP_NOTFOUND, kProtocol, ERR_FAILED),
    ROW(CURLE_TFTP_PERM, kProtocol, ERR_FAILED),
    ROW(CURLE_REMOTE_DISK_FULL, kProtocol, ERR_FAILED),
    ROW(CURLE_TFTP_ILLEGAL, kProtocol, ERR_FAILED),
    ROW(CURLE_TFTP_UNKNOWNID, kProtocol, ERR_FAILED),
    ROW(CURLE_REMOTE_FILE_EXISTS, kProtocol, ERR_FAILED),
    ROW(CURLE_TFTP_NOSUCHUSER, kProtocol, ERR_FAILED),
    ROW(CURLE_SSL_CACERT_BADFILE, kTls, ERR_CERT_AUTHORITY_INVALID),
    ROW(CURLE_REMOTE_FILE_NOT_FOUND, kNetwork, ERR_FILE_NOT_FOUND),
    ROW(CURLE_SSH, kProtocol, ERR_FAILED),
    ROW(CURLE_SSL_SHUTDOWN_FAILED, kTls, ERR_SSL_PROTOCOL_ERROR),
    ROW(CURLE_AGAIN, kNetwork, ERR_FAILED),
    ROW(CURLE_SSL_CRL_BADFILE, kTls, ERR_CERT_INVALID),
    ROW(CURLE_SSL_ISSUER_ERROR, kTls, ERR_CERT_AUTHORITY_INVALID),
    ROW(CURLE_FTP_PRET_FAILED, kProtocol, ERR_FAILED),
    ROW(CURLE_RTSP_CSEQ_ERROR, kProtocol, ERR_FAILED),
    ROW(CURLE_RTSP_SESSION_ERROR, kProtocol, ERR_FAILED),
    ROW(CURLE_FTP_BAD_FILE_LIST, kProtocol, ERR_FAILED),
    ROW(CURLE_CHUNK_FAILED, kProtocol, ERR_FAILED),
    ROW(CURLE_NO_CONNECTION_AVAILABLE, kNetwork, ERR_CONNECTION_FAILED),
    ROW(CURLE_SSL_PINNEDPUBKEYNOTMATCH, kTls, ERR_SSL_PINNED_KEY_NOT_IN_CERT_CHAIN),
    ROW(CURLE_SSL_INVALIDCERTSTATUS, kTls, ERR_CERT_REVOKED),
    ROW(CURLE_HTTP2_STREAM, kProtocol, ERR_HTTP2_PROTOCOL_ERROR),
    ROW(CURLE_RECURSIVE_API_CALL, kInvalidState, ERR_FAILED),
    PROXY_ROW(CURLE_AUTH_ERROR, kProtocol, ERR_FAILED, kProxy, ERR_PROXY_AUTH_UNSUPPORTED),
    ROW(CURLE_HTTP3, kProtocol, ERR_QUIC_PROTOCOL_ERROR),
    ROW(CURLE_QUIC_CONNECT_ERROR, kNetwork, ERR_QUIC_PROTOCOL_ERROR),
    ROW(CURLE_PROXY, kProxy, ERR_SOCKS_CONNECTION_FAILED),
    ROW(CURLE_SSL_CLIENTCERT, kTls, ERR_SSL_CLIENT_AUTH_CERT_NEEDED),
    ROW(CURLE_UNRECOVERABLE_POLL, kNetwork, ERR_FAILED),
});

#undef ROW
#undef PROXY_ROW

constexpr Failure kUnknown{kNetwork, ERR_FAILED};

} // namespace

int32_t certificate_error(long verify_result) {
    switch (verify_result) {
    case X509_V_OK:              // the chain was fine, so the host name was not
    case X509_V_ERR_UNSPECIFIED: // what libcurl's own host name check reports
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return ERR_CERT_COMMON_NAME_INVALID;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return ERR_CERT_DATE_INVALID;
    case X509_V_ERR_CERT_REVOKED:
        return ERR_CERT_REVOKED;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
        return ERR_CERT_AUTHORITY_INVALID;
    default:
        return ERR_CERT_INVALID;
    }
}

std::span<const ErrorRow> error_table() {
    return kTable;
}

Failure map_curl_error(int code, const FailureContext &ctx) {
    if (code == CURLE_OK)
        return {0, 0};
    // A proxy that refused the tunnel answers CONNECT with an HTTP status.
    if (ctx.via_proxy && ctx.tunnel_status >= 300)
        return {kProxy,
                ctx.tunnel_status == 407 ? ERR_PROXY_AUTH_REQUESTED : ERR_TUNNEL_CONNECTION_FAILED};
    if (code == CURLE_PEER_FAILED_VERIFICATION && ctx.tls_verify_result >= 0)
        return {kTls, certificate_error(ctx.tls_verify_result)};
    if (code == CURLE_PARTIAL_FILE && ctx.chunked_body)
        return {kNetwork, ERR_INCOMPLETE_CHUNKED_ENCODING};
    for (const ErrorRow &row : kTable)
        if (row.curl_code == code)
            return ctx.via_proxy ? row.proxied : row.direct;
    return kUnknown;
}

} // namespace kestrin
