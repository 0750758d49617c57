#include "websocket.hpp"

#include <cstring>
#include <memory>
#include <random>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/websocket/error.hpp>
#include <curl/curl.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include "engine.hpp"
#include "error_map.hpp"
#include "http_head.hpp"

namespace kestrin {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using boost::system::error_code;

namespace {

constexpr std::string_view kDefaultUserAgent = "kestrin/0.1";

// Net error numbers a browser reports for the same failures.
constexpr int32_t ERR_FAILED = -2;
constexpr int32_t ERR_NOT_IMPLEMENTED = -11;
constexpr int32_t ERR_CONNECTION_CLOSED = -100;
constexpr int32_t ERR_CONNECTION_RESET = -101;
constexpr int32_t ERR_CONNECTION_REFUSED = -102;
constexpr int32_t ERR_CONNECTION_ABORTED = -103;
constexpr int32_t ERR_CONNECTION_FAILED = -104;
constexpr int32_t ERR_NAME_NOT_RESOLVED = -105;
constexpr int32_t ERR_SSL_PROTOCOL_ERROR = -107;
constexpr int32_t ERR_ADDRESS_UNREACHABLE = -109;
constexpr int32_t ERR_TUNNEL_CONNECTION_FAILED = -111;
constexpr int32_t ERR_SOCKS_CONNECTION_FAILED = -120;
constexpr int32_t ERR_CONNECTION_TIMED_OUT = -118;
constexpr int32_t ERR_PROXY_AUTH_REQUESTED = -127;
constexpr int32_t ERR_PROXY_CONNECTION_FAILED = -130;
constexpr int32_t ERR_MSG_TOO_BIG = -142;
constexpr int32_t ERR_WS_PROTOCOL_ERROR = -145;
constexpr int32_t ERR_INVALID_RESPONSE = -320;

std::string text(const char *p, size_t n) {
    return p && n ? std::string(p, n) : std::string();
}

// Headers the handshake itself owns; a caller may not set them.
bool reserved_header(std::string_view name) {
    static constexpr std::string_view kReserved[] = {
        "Host",
        "Upgrade",
        "Connection",
        "Content-Length",
        "Transfer-Encoding",
        "Sec-WebSocket-Key",
        "Sec-WebSocket-Version",
        "Sec-WebSocket-Accept",
        "Sec-WebSocket-Extensions",
        "Sec-WebSocket-Protocol",
    };
    for (auto r : kReserved)
        if (iequals(r, name))
            return true;
    return false;
}

using CurlUrl = std::unique_ptr<CURLU, decltype(&curl_url_cleanup)>;

std::optional<std::string> url_part(CURLU *u, CURLUPart part, unsigned flags = 0) {
    char *p = nullptr;
    if (curl_url_get(u, part, &p, flags) != CURLUE_OK || !p)
        return std::nullopt;
    std::string out = p;
    curl_free(p);
    return out;
}

std::string strip_brackets(std::string host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        return host.substr(1, host.size() - 2);
    return host;
}

bool is_ip_literal(const std::string &host) {
    error_code ec;
    asio::ip::make_address(host, ec);
    return !ec;
}

std::string base64(std::string_view in) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        uint32_t v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8) | uint8_t(in[i + 2]);
        for (int s = 18; s >= 0; s -= 6)
            out += kAlphabet[(v >> s) & 63];
    }
    if (i + 1 == in.size()) {
        uint32_t v = uint8_t(in[i]) << 16;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += "==";
    } else if (i + 2 == in.size()) {
        uint32_t v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

bool is_websocket_error(const error_code &ec) {
    return ec.category() == make_error_code(websocket::error::closed).category();
}

bool is_http_error(const error_code &ec) {
    return ec.category() == make_error_code(http::error::end_of_stream).category();
}

bool is_tls_error(const error_code &ec) {
    return ec.category() == asio::error::get_ssl_category() ||
           ec.category() == asio::ssl::error::get_stream_category();
}

// A transport failure once bytes were flowing.
Failure transport_failure(const error_code &ec) {
    if (ec == asio::error::eof || ec == http::error::end_of_stream ||
        ec == asio::ssl::error::stream_truncated)
        return {KS_NETWORK, ERR_CONNECTION_CLOSED};
    if (ec == asio::error::connection_reset || ec == asio::error::broken_pipe)
        return {KS_NETWORK, ERR_CONNECTION_RESET};
    if (ec == asio::error::connection_aborted)
        return {KS_NETWORK, ERR_CONNECTION_ABORTED};
    if (ec == asio::error::timed_out)
        return {KS_NETWORK, ERR_CONNECTION_TIMED_OUT};
    return {KS_NETWORK, ERR_FAILED};
}

} // namespace

// ---- helpers ------------------------------------------------------------------

bool valid_utf8(std::string_view s) {
    const auto *p = reinterpret_cast<const unsigned char *>(s.data());
    const auto *end = p + s.size();
    while (p < end) {
        unsigned c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int n;
        unsigned cp;
        if ((c & 0xE0) == 0xC0) {
            n = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            n = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            n = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (end - p <= n)
            return false;
        for (int i = 1; i <= n; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        static constexpr unsigned kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        p += n + 1;
    }
    return true;
}

bool valid_close_frame(uint32_t code, std::string_view reason) {
    bool code_ok = (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) ||
                   (code >= 3000 && code <= 4999);
    return code_ok && reason.size() <= 123 && valid_utf8(reason);
}

void WsPeerCloseCode::feed(unsigned char *p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = p[i];
        switch (phase_) {
        case Phase::HttpHead: {
            static constexpr char kEnd[] = "\r\n\r\n";
            matched_ = c == kEnd[matched_] ? matched_ + 1 : (c == '\r' ? 1 : 0);
            if (matched_ == 4)
                phase_ = Phase::FrameHead;
            break;
        }
        case Phase::FrameHead: {
            head_[head_len_++] = c;
            if (head_len_ < 2)
                break;
            size_t len7 = head_[1] & 0x7F;
            size_t need = 2 + (len7 == 126 ? 2 : len7 == 127 ? 8 : 0) + (head_[1] & 0x80 ? 4 : 0);
            if (head_len_ < need)
                break;
            uint64_t len = len7;
            if (len7 == 126)
                len = (uint64_t(head_[2]) << 8) | head_[3];
            else if (len7 == 127)
                for (int k = 0; k < 8; ++k)
                    len = (k ? len << 8 : 0) | head_[2 + k];
            // A masked frame from a server fails in Beast anyway; its bytes are left alone.
            close_frame_ = (head_[0] & 0x0F) == 0x8 && !(head_[1] & 0x80);
            head_len_ = 0;
            remaining_ = len;
            offset_ = 0;
            if (remaining_ > 0)
                phase_ = Phase::Payload;
            break;
        }
        case Phase::Payload: {
            if (close_frame_ && offset_ == 0)
                code_high_ = c;
            if (close_frame_ && offset_ == 1 && code_high_ == (kBadGateway >> 8) &&
                c == (kBadGateway & 0xFF)) {
                p[i] = static_cast<unsigned char>(kStandIn & 0xFF);
                rewrote_ = true;
            }
            // The rest of a payload is skipped whole, not looked at byte by byte.
            uint64_t step = close_frame_ && offset_ < 1 ? 1 : std::min<uint64_t>(remaining_, n - i);
            offset_ += step;
            remaining_ -= step;
            i += step - 1;
            if (remaining_ == 0)
                phase_ = Phase::FrameHead;
            break;
        }
        }
    }
}

bool valid_received_close_code(uint16_t code) {
    return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) ||
           (code >= 3000 && code <= 4999);
}

std::string client_close_frame(std::optional<uint16_t> code, std::string_view reason) {
    std::string payload;
    if (code) {
        payload += char(*code >> 8);
        payload += char(*code & 0xFF);
        payload.append(reason.substr(0, 123));
    }
    thread_local std::mt19937 rng{std::random_device{}()};
    uint32_t key = rng();
    std::string frame;
    frame += '\x88';
    frame += char(0x80 | payload.size());
    for (int i = 0; i < 4; ++i)
        frame += char(key >> (8 * i));
    for (size_t i = 0; i < payload.size(); ++i)
        frame += char(payload[i] ^ frame[2 + i % 4]);
    return frame;
}

bool parse_websocket_url(const std::string &url, WebSocketTarget &out) {
    CurlUrl u(curl_url(), curl_url_cleanup);
    if (!u || url.empty() ||
        curl_url_set(u.get(), CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        return false;
    auto scheme = url_part(u.get(), CURLUPART_SCHEME);
    auto host = url_part(u.get(), CURLUPART_HOST);
    if (!scheme || !host || host->empty())
        return false;
    if (*scheme == "ws" || *scheme == "http")
        out.tls = false;
    else if (*scheme == "wss" || *scheme == "https")
        out.tls = true;
    else
        return false;
    if (url_part(u.get(), CURLUPART_FRAGMENT))
        return false; // a fragment has no meaning for a WebSocket URL
    std::string default_port = out.tls ? "443" : "80";
    auto port = url_part(u.get(), CURLUPART_PORT);
    out.port = port ? *port : default_port;
    out.host = strip_brackets(*host);
    out.host_header = *host;
    if (out.port != default_port)
        out.host_header += ":" + out.port;
    auto path = url_part(u.get(), CURLUPART_PATH);
    out.resource = path && !path->empty() ? *path : "/";
    if (auto query = url_part(u.get(), CURLUPART_QUERY))
        out.resource += "?" + *query;
    return true;
}

// ---- API side -----------------------------------------------------------------

WebSocket::WebSocket(std::shared_ptr<Engine> engine)
    : engine_(std::move(engine)), resolver_(engine_->io()), timer_(engine_->io()) {}

WebSocket::~WebSocket() = default;

ks_status WebSocket::create(const std::shared_ptr<Engine> &engine, const ks_websocket_config &c,
                            std::shared_ptr<WebSocket> &out) {
    if (c.struct_size < sizeof(ks_websocket_config) ||
        c.callbacks.struct_size < sizeof(ks_websocket_callbacks))
        return KS_INVALID_ARGUMENT;
    if (c.abi_version != KS_ABI_VERSION || c.callbacks.abi_version != KS_ABI_VERSION)
        return KS_UNSUPPORTED_ABI;
    if (!c.callbacks.on_closed || !c.callbacks.on_error)
        return KS_INVALID_ARGUMENT;
    if ((c.url_len && !c.url) || (c.origin_len && !c.origin) ||
        (c.protocol_count && !c.protocols) || (c.header_count && !c.headers))
        return KS_INVALID_ARGUMENT;

    std::shared_ptr<WebSocket> ws(new WebSocket(engine));
    ws->url_ = text(c.url, c.url_len);
    if (!parse_websocket_url(ws->url_, ws->target_))
        return KS_INVALID_ARGUMENT;
    ws->origin_ = text(c.origin, c.origin_len);
    if (!is_field_value(ws->origin_))
        return KS_INVALID_ARGUMENT;
    for (size_t i = 0; i < c.protocol_count; ++i) {
        const ks_text &p = c.protocols[i];
        if (p.len && !p.data)
            return KS_INVALID_ARGUMENT;
        std::string proto = text(p.data, p.len);
        if (!is_token(proto))
            return KS_INVALID_ARGUMENT;
        for (const auto &seen : ws->protocols_)
            if (seen == proto)
                return KS_INVALID_ARGUMENT;
        ws->protocols_.push_back(std::move(proto));
    }
    for (size_t i = 0; i < c.header_count; ++i) {
        const ks_header &h = c.headers[i];
        if ((h.name_len && !h.name) || (h.value_len && !h.value))
            return KS_INVALID_ARGUMENT;
        std::string name = text(h.name, h.name_len), value = text(h.value, h.value_len);
        if (!is_token(name) || !is_field_value(value) || reserved_header(name))
            return KS_INVALID_ARGUMENT;
        ws->headers_.emplace_back(std::move(name), std::move(value));
    }
    ws->cb_ = c.callbacks;
    ws->timeout_ms_ = c.timeout_ms;
    ws->api_ref = ws;
    out = std::move(ws);
    return KS_OK;
}

ks_status WebSocket::start() {
    if (started_.exchange(true))
        return KS_INVALID_STATE;
    phase_ = Connecting;
    bool posted = false;
    try {
        posted = engine_->post([self = shared_from_this()] { self->step([&] { self->begin(); }); });
    } catch (...) {
        phase_ = Idle; // out of memory: the caller may try again
        started_ = false;
        throw;
    }
    if (!posted) {
        phase_ = Idle;
        started_ = false;
        return KS_INVALID_STATE; // the engine was released
    }
    return KS_OK;
}

ks_status WebSocket::send(uint32_t type, const uint8_t *data, size_t len) {
    if ((type != 1 && type != 2) || (len && !data))
        return KS_INVALID_ARGUMENT;
    if (phase_.load() != Open)
        return KS_INVALID_STATE;
    std::string payload(reinterpret_cast<const char *>(data), data ? len : 0);
    if (type == 1 && !valid_utf8(payload))
        return KS_INVALID_ARGUMENT; // the peer would have to fail the connection
    bool posted = engine_->post(
        [self = shared_from_this(), out = Outgoing{type == 1, std::move(payload)}]() mutable {
            self->step([&] { self->enqueue(std::move(out)); });
        });
    return posted ? KS_OK : KS_INVALID_STATE;
}

ks_status WebSocket::close(uint32_t code, const char *reason, size_t len) {
    if (len && !reason)
        return KS_INVALID_ARGUMENT;
    std::string why = text(reason, len);
    if (!valid_close_frame(code, why))
        return KS_INVALID_ARGUMENT;
    int p = phase_.load();
    while (true) {
        if (p != Open && p != Connecting)
            return KS_INVALID_STATE;
        if (phase_.compare_exchange_weak(p, Closing))
            break;
    }
    engine_->post([self = shared_from_this(), code, why = std::move(why)]() mutable {
        self->step([&] { self->begin_close(static_cast<uint16_t>(code), std::move(why)); });
    });
    return KS_OK;
}

ks_status WebSocket::cancel() {
    canceled_ = true;
    if (started_)
        engine_->post([self = shared_from_this()] { self->abort(kCanceled, "canceled"); });
    return KS_OK;
}

void WebSocket::release() {
    auto self = std::move(api_ref);
    canceled_ = true;
    if (started_)
        engine_->post(in_slot(release_slot_, [self] { self->abort(kCanceled, "released"); }));
}

// ---- network thread -------------------------------------------------------------

WebSocket::Tcp &WebSocket::tcp() {
    return tls_ws_ ? beast::get_lowest_layer(*tls_ws_) : beast::get_lowest_layer(*plain_ws_);
}

void WebSocket::begin() {
    auto self = shared_from_this();
    engine_->adopt_websocket(self);
    if (canceled_ || engine_->stopped())
        return abort(kCanceled, "canceled");
    if (timeout_ms_ > 0) {
        timer_.expires_after(
            std::chrono::milliseconds(std::min<uint64_t>(timeout_ms_, uint64_t{1} << 40)));
        timer_.async_wait([self](const error_code &ec) {
            if (!ec && !self->ended() && !self->opened_)
                self->abort(kTimedOut, "opening handshake timed out");
        });
    }
    make_stream();

    const EngineSettings &s = engine_->settings();
    std::string host = target_.host, port = target_.port;
    if (!s.proxy.empty()) {
        CurlUrl u(curl_url(), curl_url_cleanup);
        if (!u || curl_url_set(u.get(), CURLUPART_URL, s.proxy.c_str(), CURLU_NON_SUPPORT_SCHEME) !=
                      CURLUE_OK)
            return abort({KS_PROXY, ERR_PROXY_CONNECTION_FAILED}, "unusable proxy URL");
        auto scheme = url_part(u.get(), CURLUPART_SCHEME);
        // SOCKS5 always hands the host name to the proxy, as socks5h does.
        if (scheme && (*scheme == "socks5" || *scheme == "socks5h"))
            socks_ = true;
        else if (!scheme || *scheme != "http")
            return abort({KS_PROXY, ERR_NOT_IMPLEMENTED},
                         "WebSockets go through HTTP and SOCKS5 proxies only");
        auto phost = url_part(u.get(), CURLUPART_HOST);
        if (!phost)
            return abort({KS_PROXY, ERR_PROXY_CONNECTION_FAILED}, "proxy URL without a host");
        via_proxy_ = true;
        proxy_host_ = strip_brackets(*phost);
        auto pport = url_part(u.get(), CURLUPART_PORT);
        proxy_port_ = pport ? *pport : "1080";
        proxy_user_ = url_part(u.get(), CURLUPART_USER, CURLU_URLDECODE).value_or("");
        proxy_password_ = url_part(u.get(), CURLUPART_PASSWORD, CURLU_URLDECODE).value_or("");
        if (!s.proxy_username.empty())
            proxy_user_ = s.proxy_username;
        if (!s.proxy_password.empty())
            proxy_password_ = s.proxy_password;
        host = proxy_host_;
        port = proxy_port_;
    }
    resolver_.async_resolve(
        host, port,
        [self](const error_code &ec, const asio::ip::tcp::resolver::results_type &results) {
            self->step([&] { self->on_resolved(ec, results); });
        });
}

void WebSocket::make_stream() {
    if (!target_.tls) {
        plain_ws_ = std::make_unique<PlainWs>(engine_->io());
        return;
    }
    const EngineSettings &s = engine_->settings();
    ssl_ctx_ = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_client);
    SSL_CTX *ctx = ssl_ctx_->native_handle();
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    if (s.cert_mode == 2) {
        SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    } else {
        if (s.cert_mode == 0) {
            SSL_CTX_set_default_verify_paths(ctx);
        } else {
            // Trust exactly the given certificates.
            X509_STORE *store = SSL_CTX_get_cert_store(ctx);
            std::unique_ptr<BIO, decltype(&BIO_free)> bio(
                BIO_new_mem_buf(s.ca_pem.data(), static_cast<int>(s.ca_pem.size())), BIO_free);
            while (bio) {
                X509 *cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
                if (!cert)
                    break;
                X509_STORE_add_cert(store, cert);
                X509_free(cert);
            }
            ERR_clear_error();
        }
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
    tls_ws_ = std::make_unique<TlsWs>(engine_->io(), *ssl_ctx_);
    SSL *ssl = tls().native_handle();
    X509_VERIFY_PARAM *param = SSL_get0_param(ssl);
    if (is_ip_literal(target_.host)) {
        X509_VERIFY_PARAM_set1_ip_asc(param, target_.host.c_str());
    } else {
        SSL_set_tlsext_host_name(ssl, target_.host.c_str());
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        X509_VERIFY_PARAM_set1_host(param, target_.host.c_str(), target_.host.size());
    }
    static constexpr unsigned char kAlpn[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
    SSL_set_alpn_protos(ssl, kAlpn, sizeof(kAlpn));
}

void WebSocket::on_resolved(const error_code &ec,
                            const asio::ip::tcp::resolver::results_type &results) {
    if (ended())
        return;
    if (ec)
        return abort(via_proxy_ ? Failure{KS_PROXY, ERR_PROXY_CONNECTION_FAILED}
                                : Failure{KS_NETWORK, ERR_NAME_NOT_RESOLVED},
                     "cannot resolve " + (via_proxy_ ? proxy_host_ : target_.host) + ": " +
                         ec.message());
    tcp().async_connect(results, [self = shared_from_this()](const error_code &ec,
                                                             const asio::ip::tcp::endpoint &) {
        self->step([&] { self->on_connected(ec); });
    });
}

void WebSocket::on_connected(const error_code &ec) {
    if (ended())
        return;
    if (ec) {
        Failure f{KS_NETWORK, ERR_CONNECTION_FAILED};
        if (via_proxy_)
            f = {KS_PROXY, ERR_PROXY_CONNECTION_FAILED};
        else if (ec == asio::error::connection_refused)
            f.net_error = ERR_CONNECTION_REFUSED;
        else if (ec == asio::error::timed_out)
            f.net_error = ERR_CONNECTION_TIMED_OUT;
        else if (ec == asio::error::network_unreachable || ec == asio::error::host_unreachable)
            f.net_error = ERR_ADDRESS_UNREACHABLE;
        return abort(f, "connect failed: " + ec.message());
    }
    tcp().socket().set_option(asio::ip::tcp::no_delay(true));
    if (socks_)
        return socks_greet();
    if (via_proxy_)
        return send_connect();
    start_tls();
}

void WebSocket::send_connect() {
    std::string authority = target_.host.find(':') != std::string::npos
                                ? "[" + target_.host + "]:" + target_.port
                                : target_.host + ":" + target_.port;
    io_buf_ = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
    if (!proxy_user_.empty() || !proxy_password_.empty())
        io_buf_ +=
            "Proxy-Authorization: Basic " + base64(proxy_user_ + ":" + proxy_password_) + "\r\n";
    io_buf_ += "Proxy-Connection: keep-alive\r\n\r\n";
    asio::async_write(
        tcp(), asio::buffer(io_buf_), [self = shared_from_this()](const error_code &ec, size_t) {
            if (self->ended())
                return;
            if (ec)
                return self->abort({KS_PROXY, ERR_TUNNEL_CONNECTION_FAILED},
                                   "proxy: " + ec.message());
            self->tunnel_.emplace();
            self->tunnel_->skip(true); // a CONNECT answer has no body
            http::async_read_header(self->tcp(), self->rbuf_, *self->tunnel_,
                                    [self](const error_code &ec, size_t) { self->on_tunnel(ec); });
        });
}

// ---- SOCKS5 (RFC 1928, user name and password of RFC 1929) ----

void WebSocket::socks_io(size_t read_len, std::function<void()> next) {
    auto self = shared_from_this();
    asio::async_write(
        tcp(), asio::buffer(io_buf_), [self, read_len, next](const error_code &ec, size_t) {
            if (self->ended())
                return;
            if (ec)
                return self->abort({KS_PROXY, ERR_SOCKS_CONNECTION_FAILED},
                                   "SOCKS: " + ec.message());
            self->io_buf_.assign(read_len, '\0');
            asio::async_read(self->tcp(), asio::buffer(self->io_buf_),
                             [self, next](const error_code &ec, size_t) {
                                 if (self->ended())
                                     return;
                                 if (ec)
                                     return self->abort({KS_PROXY, ERR_SOCKS_CONNECTION_FAILED},
                                                        "SOCKS: " + ec.message());
                                 next();
                             });
        });
}

void WebSocket::socks_greet() {
    bool auth = !proxy_user_.empty() || !proxy_password_.empty();
    io_buf_ = auth ? std::string("\x05\x02\x00\x02", 4) : std::string("\x05\x01\x00", 3);
    socks_io(2, [this, auth] {
        unsigned method = uint8_t(io_buf_[1]);
        if (io_buf_[0] != 5 || (method != 0 && !(auth && method == 2)))
            return abort({KS_PROXY, ERR_SOCKS_CONNECTION_FAILED},
                         "SOCKS: no acceptable authentication method");
        if (method == 0)
            return socks_connect();
        if (proxy_user_.size() > 255 || proxy_password_.size() > 255)
            return abort({KS_PROXY, ERR_SOCKS_CONNECTION_FAILED}, "SOCKS: credentials too long");
        io_buf_ = std::string(1, '\x01') + char(proxy_user_.size()) + proxy_user_ +
                  char(proxy_password_.size()) + proxy_password_;
        socks_io(2, [this] {
            if (io_buf_[1] != 0)
                return abort({KS_PROXY, ERR_PROXY_AUTH_REQUESTED},
                             "SOCKS: the proxy refused the credentials");
            socks_connect();
        });
    });
}

void WebSocket::socks_connect() {
    io_buf_ = std::string("\x05\x01\x00", 3);
    error_code ec;
    auto ip = asio::ip::make_address(target_.host, ec);
    if (!ec && ip.is_v4()) {
        auto b = ip.to_v4().to_bytes();
        io_buf_ += '\x01';
        io_buf_.append(reinterpret_cast<const char *>(b.data()), b.size());
    } else if (!ec) {
        auto b = ip.to_v6().to_bytes();
        io_buf_ += '\x04';
        io_buf_.append(reinterpret_cast<const char *>(b.data()), b.size());
    } else {
        if (target_.host.size() > 255)
            return abort({KS_PROXY, ERR_SOCKS_CONNECTION_FAILED}, "SOCKS: host name too long");
        io_buf_ += '\x03';
        io_buf_ += char(target_.host.size());
        io_buf_ += target_.host;
    }
    unsigned port = static_cast<unsigned>(std::stoul(target_.port));
    io_buf_ += char(port >> 8);
    io_buf_ += char(port & 0xFF);
    // The reply: version, status, reserved, address type and the address's first byte.
    socks_io(5, [this] {
        if (io_buf_[0] != 5 || io_buf_[1] != 0)
            return abort({KS_PROXY, ERR_SOCKS_CONNECTION_FAILED},
                         "SOCKS: connect refused with " + std::to_string(uint8_t(io_buf_[1])));
        uint8_t atyp = io_buf_[3];
        size_t rest = atyp == 1 ? 3 + 2 : atyp == 4 ? 15 + 2 : uint8_t(io_buf_[4]) + 2;
        io_buf_.assign(rest, '\0');
        asio::async_read(tcp(), asio::buffer(io_buf_),
                         [self = shared_from_this()](const error_code &ec, size_t) {
                             if (self->ended())
                                 return;
                             if (ec)
                                 return self->abort({KS_PROXY, ERR_SOCKS_CONNECTION_FAILED},
                                                    "SOCKS: " + ec.message());
                             self->start_tls();
                         });
    });
}

void WebSocket::on_tunnel(const error_code &ec) {
    if (ended())
        return;
    if (ec)
        return abort({KS_PROXY, ERR_TUNNEL_CONNECTION_FAILED}, "proxy: " + ec.message());
    int status = tunnel_->get().result_int();
    if (status / 100 != 2) {
        Failure f{KS_PROXY,
                  status == 407 ? ERR_PROXY_AUTH_REQUESTED : ERR_TUNNEL_CONNECTION_FAILED};
        std::string message = "proxy refused the tunnel with " + std::to_string(status);
        finish(); // reported with the proxy's status as the response code
        cb_.on_error(cb_.user_data, handle(), f.status, f.net_error, status, message.data(),
                     message.size());
        return;
    }
    if (rbuf_.size() != 0)
        return abort({KS_PROXY, ERR_TUNNEL_CONNECTION_FAILED}, "proxy sent data ahead of TLS");
    tunnel_.reset();
    start_tls();
}

void WebSocket::start_tls() {
    if (!tls_ws_)
        return start_handshake();
    tls().async_handshake(
        asio::ssl::stream_base::client, [self = shared_from_this()](const error_code &ec) {
            if (self->ended())
                return;
            if (ec) {
                long verify = SSL_get_verify_result(self->tls().native_handle());
                Failure f = verify != X509_V_OK
                                ? Failure{KS_TLS, certificate_error(verify)}
                                : (is_tls_error(ec) ? Failure{KS_TLS, ERR_SSL_PROTOCOL_ERROR}
                                                    : transport_failure(ec));
                return self->abort(f, "TLS handshake failed: " + ec.message());
            }
            self->start_handshake();
        });
}

void WebSocket::start_handshake() {
    // Browser-like request headers: the profile's, minus those that only fit a
    // page navigation, then the caller's in their order.
    const EngineSettings &s = engine_->settings();
    std::vector<std::pair<std::string, std::string>> hs;
    hs.emplace_back("Pragma", "no-cache");
    hs.emplace_back("Cache-Control", "no-cache");
    if (s.profile) {
        for (const auto &[n, v] : s.profile->headers) {
            if (iequals(n, "Accept") || iequals(n, "Upgrade-Insecure-Requests") ||
                iequals(n, "Sec-Fetch-User") || iequals(n, "Priority"))
                continue;
            if (iequals(n, "Sec-Fetch-Dest") || iequals(n, "Sec-Fetch-Mode"))
                hs.emplace_back(n, "websocket");
            else
                hs.emplace_back(n, v);
        }
    } else {
        hs.emplace_back("User-Agent", kDefaultUserAgent);
    }
    auto put = [&hs](std::string_view name, std::string_view value) {
        for (auto &[n, v] : hs)
            if (iequals(n, name)) {
                v = value;
                return;
            }
        hs.emplace_back(name, value);
    };
    if (!s.user_agent.empty())
        put("User-Agent", s.user_agent);
    if (!s.accept_language.empty())
        put("Accept-Language", s.accept_language);
    if (!origin_.empty())
        put("Origin", origin_);
    if (!protocols_.empty()) {
        std::string offered;
        for (const auto &p : protocols_)
            offered += (offered.empty() ? "" : ", ") + p;
        hs.emplace_back("Sec-WebSocket-Protocol", offered);
    }
    // A caller's header replaces a default of the same name.
    std::erase_if(hs, [this](const auto &h) {
        for (const auto &[n, v] : headers_)
            if (iequals(n, h.first))
                return true;
        return false;
    });
    for (const auto &h : headers_)
        hs.push_back(h);

    with_ws([&](auto &ws) {
        ws.set_option(websocket::stream_base::decorator([hs](websocket::request_type &req) {
            req.erase(http::field::user_agent);
            for (const auto &[n, v] : hs)
                req.insert(n, v);
        }));
        ws.read_message_max(kWebSocketMaxMessage);
        ws.auto_fragment(false);
        ws.write_buffer_bytes(64 * 1024);
        ws.async_handshake(response_, target_.host_header, target_.resource,
                           [self = shared_from_this()](const error_code &ec) {
                               self->step([&] { self->on_handshake(ec); });
                           });
    });
}

void WebSocket::on_handshake(const error_code &ec) {
    if (ended())
        return;
    int status = response_.result_int();
    if (ec) {
        if (is_websocket_error(ec))
            return fail_with(ec, "handshake");
        if (is_http_error(ec) && ec != http::error::end_of_stream)
            return abort({KS_PROTOCOL, ERR_INVALID_RESPONSE},
                         "not an HTTP response: " + ec.message());
        return abort(transport_failure(ec), "handshake: " + ec.message());
    }
    std::string selected(response_[http::field::sec_websocket_protocol]);
    if (!selected.empty()) {
        bool offered = false;
        for (const auto &p : protocols_)
            offered = offered || p == selected;
        if (!offered) {
            // The connection is open at the frame level: fail it as RFC 6455 asks.
            with_ws([](auto &ws) {
                error_code ignored;
                beast::get_lowest_layer(ws).socket().close(ignored);
            });
            return abort({KS_PROTOCOL, ERR_INVALID_RESPONSE},
                         "server selected a subprotocol that was not offered");
        }
    }
    std::string detail =
        "HTTP/1.1 " + std::to_string(status) + " " + std::string(response_.reason()) + "\r\n";
    for (const auto &f : response_)
        detail.append(f.name_string()).append(": ").append(f.value()).append("\r\n");
    detail += "\r\n";
    timer_.cancel();
    opened_ = true;

    with_ws([this](auto &ws) {
        ws.control_callback([this, &ws](websocket::frame_type kind, beast::string_view) {
            if (kind != websocket::frame_type::close || done_)
                return;
            close_received_ = true;
            if (close_sent_ || peer_closing_)
                return;
            peer_closing_ = true;
            // Beast answers next; shape its answer as a browser does.
            const websocket::close_reason &r = ws.reason();
            uint16_t code = ws.next_layer().peer_code(r.code);
            if (code == websocket::close_code::none) {
                ws.next_layer().close_reply = client_close_frame(std::nullopt, {});
            } else if (!valid_received_close_code(code)) {
                bad_close_code_ = true;
                ws.next_layer().close_reply = client_close_frame(1002, {});
                return;
            } else {
                ws.next_layer().close_reply =
                    client_close_frame(code, std::string_view(r.reason.data(), r.reason.size()));
            }
            int p = Open;
            phase_.compare_exchange_strong(p, Closing);
            if (cb_.on_closing)
                cb_.on_closing(cb_.user_data, handle());
        });
    });
    int p = Connecting;
    phase_.compare_exchange_strong(p, Open); // a close during the handshake keeps Closing
    if (cb_.on_open)
        cb_.on_open(cb_.user_data, handle(), selected.data(), selected.size(), detail.data(),
                    detail.size());
    if (ended())
        return;
    read_next();
    write_next();
}

void WebSocket::read_next() {
    with_ws([this](auto &ws) {
        ws.async_read(rbuf_, [self = shared_from_this()](const error_code &ec, size_t) {
            self->step([&] { self->on_read(ec); });
        });
    });
}

void WebSocket::on_read(const error_code &ec) {
    if (ended())
        return;
    if (ec) {
        if (bad_close_code_)
            return abort({KS_PROTOCOL, ERR_WS_PROTOCOL_ERROR},
                         "the peer closed with a forbidden code");
        if (ec == websocket::error::closed || close_received_)
            return report_closed(true);
        return fail_with(ec, "read");
    }
    bool is_text = false;
    with_ws([&](auto &ws) { is_text = ws.got_text(); });
    auto data = rbuf_.cdata();
    if (cb_.on_message)
        cb_.on_message(cb_.user_data, handle(), is_text ? 1 : 2, 0,
                       static_cast<const uint8_t *>(data.data()), data.size());
    rbuf_.consume(rbuf_.size());
    if (rbuf_.capacity() > 1024 * 1024)
        rbuf_.shrink_to_fit(); // do not keep a big message's memory around
    if (ended())
        return;
    read_next();
}

void WebSocket::enqueue(Outgoing out) {
    if (ended() || close_sent_ || peer_closing_)
        return;
    outq_.push_back(std::move(out));
    write_next();
}

void WebSocket::write_next() {
    if (ended() || writing_ || !opened_)
        return;
    if (outq_.empty()) {
        if (close_wanted_ && !close_sent_ && !peer_closing_) {
            close_sent_ = true;
            writing_ = true;
            websocket::close_reason why;
            why.code = close_wanted_->first;
            why.reason = close_wanted_->second;
            with_ws([&](auto &ws) {
                ws.async_close(why, [self = shared_from_this()](const error_code &ec) {
                    self->writing_ = false;
                    self->step([&] { self->on_close_sent(ec); });
                });
            });
        }
        return;
    }
    writing_ = true;
    Outgoing &front = outq_.front();
    with_ws([&](auto &ws) {
        ws.text(front.text);
        ws.async_write(asio::buffer(front.data),
                       [self = shared_from_this()](const error_code &ec, size_t) {
                           self->writing_ = false;
                           if (self->ended())
                               return;
                           if (ec) {
                               self->outq_.clear();
                               // The read side reports a close or a broken connection.
                               if (ec == websocket::error::closed || is_websocket_error(ec))
                                   return;
                               return self->fail_with(ec, "write");
                           }
                           self->outq_.pop_front();
                           self->step([&] { self->write_next(); });
                       });
    });
}

void WebSocket::begin_close(uint16_t code, std::string reason) {
    if (ended())
        return;
    if (!opened_)
        return abort(kCanceled, "closed before the connection opened");
    if (close_wanted_ || peer_closing_)
        return;
    close_wanted_.emplace(code, std::move(reason));
    timer_.expires_after(std::chrono::milliseconds(kWebSocketCloseTimeoutMs));
    timer_.async_wait([self = shared_from_this()](const error_code &ec) {
        if (!ec && !self->ended())
            self->report_closed(false); // the peer never answered our close
    });
    write_next();
}

void WebSocket::on_close_sent(const error_code &ec) {
    if (ended())
        return;
    // Usually the pending read sees the peer's close frame first. Once that frame came,
    // a failure while tearing down TLS or TCP does not make the close unclean.
    // The close operation may read the peer's close frame itself, without the control
    // callback; its code is then in reason().
    bool got_code = false;
    with_ws([&](auto &ws) { got_code = ws.reason().code != 0; });
    if (!ec || ec == websocket::error::closed || close_received_ || got_code)
        return report_closed(true);
    if (ec == asio::error::operation_aborted)
        return;
    report_closed(false); // the connection ended without answering our close
}

void WebSocket::report_closed(bool clean) {
    uint16_t code = 1006; // abnormal closure: no close frame came back
    std::string reason;
    if (clean)
        with_ws([&](auto &ws) {
            const websocket::close_reason &r = ws.reason();
            code = r.code ? ws.next_layer().peer_code(r.code) : 1005; // 1005: the frame had none
            reason.assign(r.reason.data(), r.reason.size());
        });
    finish();
    cb_.on_closed(cb_.user_data, handle(), clean ? 1 : 0, code, reason.data(), reason.size());
}

void WebSocket::fail_with(const error_code &ec, std::string_view stage) {
    Failure f = transport_failure(ec);
    int32_t response = 0;
    std::string message = std::string(stage) + ": " + ec.message();
    if (is_websocket_error(ec)) {
        if (std::string_view(stage) == "handshake") {
            f = {KS_PROTOCOL, ERR_INVALID_RESPONSE};
            response = response_.result_int();
        } else if (ec == websocket::error::message_too_big ||
                   ec == websocket::error::buffer_overflow) {
            f = {KS_PROTOCOL, ERR_MSG_TOO_BIG};
        } else {
            f = {KS_PROTOCOL, ERR_WS_PROTOCOL_ERROR};
        }
    } else if (is_tls_error(ec) && ec != asio::ssl::error::stream_truncated) {
        f = {KS_TLS, ERR_SSL_PROTOCOL_ERROR};
    }
    finish();
    cb_.on_error(cb_.user_data, handle(), f.status, f.net_error, response, message.data(),
                 message.size());
}

void WebSocket::abort(Failure failure, std::string_view message) {
    if (ended())
        return;
    finish();
    cb_.on_error(cb_.user_data, handle(), failure.status, failure.net_error, 0, message.data(),
                 message.size());
}

void WebSocket::drop_stream() noexcept {
    // Moved out first: destroying the parked operations may drop the last other reference.
    auto plain = std::move(plain_ws_);
    auto tls = std::move(tls_ws_);
}

void WebSocket::drop_stream_later() noexcept {
    // A Beast handler may still be on the stack here; the loop runs the drop after it.
    try {
        asio::post(engine_->io(), [self = shared_from_this()] { self->drop_stream(); });
    } catch (const std::bad_alloc &) {
        // Then the engine's release reclaims the stream with its loop.
    }
}

void WebSocket::finish() {
    done_ = true;
    phase_ = Done;
    timer_.cancel();
    try {
        resolver_.cancel();
    } catch (const std::bad_alloc &) {
        // Asio allocates to cancel. A resolve still running then completes into an ended
        // connection, which ignores it; the terminal callback must come either way.
    }
    outq_.clear();
    if (plain_ws_ || tls_ws_) {
        error_code ignored;
        tcp().socket().close(ignored);
    }
    engine_->forget_websocket(shared_from_this());
}

} // namespace kestrin
