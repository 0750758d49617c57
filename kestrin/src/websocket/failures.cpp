#include "websocket/failures.hpp"

#include <boost/asio/error.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/websocket/error.hpp>
#include <boost/beast/zlib/error.hpp>
#include <openssl/x509_vfy.h>

namespace kestrin {

namespace asio = boost::asio;
namespace http = boost::beast::http;
namespace websocket = boost::beast::websocket;
using boost::system::error_code;

namespace {

bool is_tls_error(const error_code &ec) {
    return ec.category() == asio::error::get_ssl_category() ||
           ec.category() == asio::ssl::error::get_stream_category();
}

} // namespace

bool is_websocket_error(const error_code &ec) {
    return ec.category() == make_error_code(websocket::error::closed).category();
}

Failure transport_failure(const error_code &ec) {
    if (ec == asio::error::eof || ec == http::error::end_of_stream ||
        ec == asio::ssl::error::stream_truncated)
        return {KS_NETWORK, net::ERR_CONNECTION_CLOSED};
    if (ec == asio::error::connection_reset || ec == asio::error::broken_pipe)
        return {KS_NETWORK, net::ERR_CONNECTION_RESET};
    if (ec == asio::error::connection_aborted)
        return {KS_NETWORK, net::ERR_CONNECTION_ABORTED};
    if (ec == asio::error::timed_out)
        return {KS_NETWORK, net::ERR_CONNECTION_TIMED_OUT};
    return {KS_NETWORK, net::ERR_FAILED};
}

Failure connect_failure(const error_code &ec, bool via_proxy) {
    if (via_proxy)
        return {KS_PROXY, net::ERR_PROXY_CONNECTION_FAILED};
    if (ec == asio::error::connection_refused)
        return {KS_NETWORK, net::ERR_CONNECTION_REFUSED};
    if (ec == asio::error::timed_out)
        return {KS_NETWORK, net::ERR_CONNECTION_TIMED_OUT};
    if (ec == asio::error::network_unreachable || ec == asio::error::host_unreachable)
        return {KS_NETWORK, net::ERR_ADDRESS_UNREACHABLE};
    return {KS_NETWORK, net::ERR_CONNECTION_FAILED};
}

Failure tls_failure(const error_code &ec, long verify_result) {
    if (verify_result != X509_V_OK)
        return {KS_TLS, certificate_error(verify_result)};
    return is_tls_error(ec) ? Failure{KS_TLS, net::ERR_SSL_PROTOCOL_ERROR} : transport_failure(ec);
}

bool is_malformed_http(const error_code &ec) {
    return ec.category() == make_error_code(http::error::end_of_stream).category() &&
           ec != http::error::end_of_stream;
}

Failure handshake_failure(const error_code &ec) {
    if (is_websocket_error(ec) || is_malformed_http(ec))
        return {KS_PROTOCOL, net::ERR_INVALID_RESPONSE};
    return transport_failure(ec);
}

bool is_inflate_error(const error_code &ec) {
    return ec.category() == make_error_code(boost::beast::zlib::error::need_buffers).category();
}

Failure stream_failure(const error_code &ec) {
    if (is_inflate_error(ec))
        return {KS_PROTOCOL, net::ERR_WS_PROTOCOL_ERROR};
    if (is_websocket_error(ec)) {
        if (ec == websocket::error::message_too_big || ec == websocket::error::buffer_overflow)
            return {KS_PROTOCOL, net::ERR_MSG_TOO_BIG};
        return {KS_PROTOCOL, net::ERR_WS_PROTOCOL_ERROR};
    }
    if (is_tls_error(ec) && ec != asio::ssl::error::stream_truncated)
        return {KS_TLS, net::ERR_SSL_PROTOCOL_ERROR};
    return transport_failure(ec);
}

} // namespace kestrin
