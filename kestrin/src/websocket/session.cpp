#include "websocket/session.hpp"

#include <algorithm>
#include <chrono>

#include <boost/asio/connect.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/websocket/error.hpp>

#include "engine.hpp"
#include "limits.hpp"
#include "websocket/deflate.hpp"
#include "websocket/failures.hpp"
#include "websocket/handshake.hpp"
#include "websocket/text.hpp"
#include "websocket/tls.hpp"

namespace kestrin {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using boost::system::error_code;

// ---- API side -----------------------------------------------------------------

WebSocketSession::WebSocketSession(std::shared_ptr<Engine> engine, WebSocketConfig config)
    : engine_(std::move(engine)), config_(std::move(config)), resolver_(engine_->io()),
      timer_(engine_->io()) {}

WebSocketSession::~WebSocketSession() = default;

ks_status WebSocket::create(const std::shared_ptr<Engine> &engine, const ks_websocket_config &c,
                            std::shared_ptr<WebSocket> &out) {
    WebSocketConfig config;
    if (ks_status st = read_websocket_config(c, config))
        return st;
    auto ws = std::make_shared<WebSocketSession>(engine, std::move(config));
    ws->api_ref_ = ws;
    out = std::move(ws);
    return KS_OK;
}

ks_status WebSocketSession::start() {
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

ks_status WebSocketSession::send(uint32_t type, const uint8_t *data, size_t len, bool run_loop) {
    if ((type != KS_MESSAGE_TEXT && type != KS_MESSAGE_BINARY) || (len && !data))
        return KS_INVALID_ARGUMENT;
    if (phase_.load() != Open)
        return KS_INVALID_STATE;
    std::string payload(reinterpret_cast<const char *>(data), data ? len : 0);
    if (type == KS_MESSAGE_TEXT && !valid_utf8(payload))
        return KS_INVALID_ARGUMENT; // the peer would have to fail the connection
    std::shared_ptr<bool> handed = run_loop ? std::make_shared<bool>(false) : nullptr;
    auto job = [self = shared_from_this(),
                out = Outgoing{type == KS_MESSAGE_TEXT, std::move(payload)}, handed]() mutable {
        self->step([&] { self->enqueue(std::move(out)); });
        if (handed)
            *handed = true;
    };
    if (!run_loop)
        return engine_->post(std::move(job)) ? KS_OK : KS_INVALID_STATE;
    std::optional<bool> took = engine_->post_and_take(std::move(job));
    if (!took)
        return KS_INVALID_STATE;
    if (*took)
        engine_->run_until([](void *h) -> int { return *static_cast<bool *>(h); }, handed.get());
    return KS_OK;
}

ks_status WebSocketSession::run_until(int (*ready)(void *), void *arg) {
    return started_ ? engine_->take_and_run_until(ready, arg) : ks_status{KS_INVALID_STATE};
}

ks_status WebSocketSession::close(uint32_t code, const char *reason, size_t len) {
    if (len && !reason)
        return KS_INVALID_ARGUMENT;
    std::string why = reason && len ? std::string(reason, len) : std::string();
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

ks_status WebSocketSession::cancel() {
    canceled_ = true;
    if (started_)
        engine_->post([self = shared_from_this()] { self->abort(kCanceled, "canceled"); });
    return KS_OK;
}

void WebSocketSession::release() {
    auto self = std::move(api_ref_);
    canceled_ = true;
    if (started_)
        engine_->post(in_slot(release_slot_, [self] { self->abort(kCanceled, "released"); }));
}

// ---- network thread: opening -----------------------------------------------------

WsTcp &WebSocketSession::tcp() {
    return tls_ws_ ? beast::get_lowest_layer(*tls_ws_) : beast::get_lowest_layer(*plain_ws_);
}

void WebSocketSession::begin() {
    auto self = shared_from_this();
    engine_->jobs().add(self, Kind::connection);
    if (canceled_ || engine_->stopped())
        return abort(kCanceled, "canceled");
    if (auto timeout = timeout_timer(config_.timeout_ms)) {
        timer_.expires_after(*timeout);
        timer_.async_wait([self](const error_code &ec) {
            if (!ec && !self->ended() && !self->opened_)
                self->abort(kTimedOut, "opening handshake timed out");
        });
    }
    make_stream();

    const EngineSettings &s = engine_->settings();
    std::string host = config_.target.host, port = config_.target.port;
    if (!s.proxy.empty()) {
        if (auto refusal = parse_proxy_url(s, proxy_.emplace()))
            return abort(refusal->failure, refusal->message);
        host = proxy_->host;
        port = proxy_->port;
    }
    engine_->begin_foreign_completion();
    try {
        resolver_.async_resolve(
            host, port,
            [self](const error_code &ec, const asio::ip::tcp::resolver::results_type &results) {
                self->engine_->end_foreign_completion();
                self->step([&] { self->on_resolved(ec, results); });
            });
    } catch (...) {
        engine_->end_foreign_completion();
        throw;
    }
}

void WebSocketSession::make_stream() {
    if (!config_.target.tls) {
        plain_ws_ = std::make_unique<PlainWs>(engine_->io());
        return;
    }
    ssl_ctx_ = websocket_tls_context(engine_->settings());
    tls_ws_ = std::make_unique<TlsWs>(engine_->io(), *ssl_ctx_);
    prepare_tls_connection(tls().native_handle(), config_.target.host);
}

void WebSocketSession::on_resolved(const error_code &ec,
                                   const asio::ip::tcp::resolver::results_type &results) {
    if (ended())
        return;
    if (ec)
        return abort(proxy_ ? Failure{KS_PROXY, net::ERR_PROXY_CONNECTION_FAILED}
                            : Failure{KS_NETWORK, net::ERR_NAME_NOT_RESOLVED},
                     "cannot resolve " + (proxy_ ? proxy_->host : config_.target.host) + ": " +
                         ec.message());
    tcp().async_connect(results, [self = shared_from_this()](const error_code &ec,
                                                             const asio::ip::tcp::endpoint &) {
        self->step([&] { self->on_connected(ec); });
    });
}

void WebSocketSession::on_connected(const error_code &ec) {
    if (ended())
        return;
    if (ec)
        return abort(connect_failure(ec, proxy_.has_value()), "connect failed: " + ec.message());
    tcp().socket().set_option(asio::ip::tcp::no_delay(true));
    if (!proxy_)
        return start_tls();
    auto self = shared_from_this();
    open_tunnel(
        tcp(), *proxy_, config_.target, [self] { return self->ended(); },
        [self](const TunnelResult &result) { self->step([&] { self->on_tunnel(result); }); });
}

void WebSocketSession::on_tunnel(const TunnelResult &result) {
    if (ended())
        return;
    if (result.failure)
        return report_error(*result.failure, result.message, result.response);
    start_tls();
}

void WebSocketSession::start_tls() {
    if (!tls_ws_)
        return start_handshake();
    tls().async_handshake(asio::ssl::stream_base::client,
                          [self = shared_from_this()](const error_code &ec) {
                              self->step([&] { self->on_tls_handshake(ec); });
                          });
}

void WebSocketSession::on_tls_handshake(const error_code &ec) {
    if (ended())
        return;
    if (ec)
        return abort(tls_failure(ec, SSL_get_verify_result(tls().native_handle())),
                     "TLS handshake failed: " + ec.message());
    start_handshake();
}

void WebSocketSession::start_handshake() {
    HeaderList hs =
        handshake_headers(engine_->settings(), config_.origin, config_.protocols, config_.headers);
    with_ws([&](auto &ws) {
        // Beast writes its own offer; the browser's text replaces it.
        websocket::permessage_deflate pmd;
        pmd.client_enable = true;
        pmd.compLevel = kDeflateLevel;
        pmd.memLevel = kDeflateMemLevel;
        pmd.msg_size_threshold = kDeflateThreshold;
        ws.set_option(pmd);
        ws.set_option(websocket::stream_base::decorator([hs](websocket::request_type &req) {
            req.erase(http::field::user_agent);
            req.erase(http::field::sec_websocket_extensions);
            for (const auto &[n, v] : hs)
                req.insert(n, v);
        }));
        ws.read_message_max(kWebSocketMaxMessage);
        ws.auto_fragment(false);
        ws.write_buffer_bytes(kWebSocketWriteBuffer);
        ws.async_handshake(response_, config_.target.host_header, config_.target.resource,
                           [self = shared_from_this()](const error_code &ec) {
                               self->step([&] { self->on_handshake(ec); });
                           });
    });
}

void WebSocketSession::on_handshake(const error_code &ec) {
    if (ended())
        return;
    if (ec) {
        std::string message =
            (is_malformed_http(ec) ? "not an HTTP response: " : "handshake: ") + ec.message();
        return report_error(handshake_failure(ec), message,
                            is_websocket_error(ec) ? response_.result_int() : 0);
    }
    std::string selected(response_[http::field::sec_websocket_protocol]);
    if (!selected.empty() &&
        std::ranges::find(config_.protocols, selected) == config_.protocols.end()) {
        // The connection is open at the frame level: fail it as RFC 6455 asks.
        error_code ignored;
        tcp().socket().close(ignored);
        return abort({KS_PROTOCOL, net::ERR_INVALID_RESPONSE},
                     "server selected a subprotocol that was not offered");
    }
    // Beast takes whatever the server answers, and reads an answer it cannot parse as a
    // refusal: check it as a browser does before a frame is read.
    std::string extensions;
    for (const auto &f : response_)
        if (f.name() == http::field::sec_websocket_extensions)
            extensions.append(extensions.empty() ? "" : ", ").append(f.value());
    bool negotiated = false;
    std::string refusal =
        check_extension_answer(extensions, deflate_offer(engine_->settings()), negotiated);
    if (!refusal.empty()) {
        error_code ignored;
        tcp().socket().close(ignored);
        return report_error({KS_PROTOCOL, net::ERR_INVALID_RESPONSE}, "handshake: " + refusal,
                            response_.result_int());
    }
    std::string head = response_head(response_);
    timer_.cancel();
    opened_ = true;
    with_ws([this](auto &ws) {
        ws.control_callback(
            [this, &ws](websocket::frame_type kind, beast::string_view) { on_control(ws, kind); });
    });
    int p = Connecting;
    phase_.compare_exchange_strong(p, Open); // a close during the handshake keeps Closing
    if (config_.cb.on_open)
        config_.cb.on_open(config_.cb.user_data, handle(), selected.data(), selected.size(),
                           head.data(), head.size());
    if (ended())
        return;
    read_next();
    write_next();
}

// ---- network thread: open ------------------------------------------------------

template <class Ws> void WebSocketSession::on_control(Ws &, websocket::frame_type kind) {
    if (kind != websocket::frame_type::close || done_)
        return;
    close_received_ = true;
    if (close_sent_ || peer_closing_)
        return;
    peer_closing_ = true;
    // Beast answers next, with the peer's code and reason (patches/boost); a code no close frame
    // may carry failed the read before this.
    int p = Open;
    phase_.compare_exchange_strong(p, Closing);
    if (config_.cb.on_closing)
        config_.cb.on_closing(config_.cb.user_data, handle());
}

void WebSocketSession::read_next() {
    with_ws([this](auto &ws) {
        ws.async_read(rbuf_, [self = shared_from_this()](const error_code &ec, size_t) {
            self->step([&] { self->on_read(ec); });
        });
    });
}

void WebSocketSession::on_read(const error_code &ec) {
    if (ended())
        return;
    if (ec) {
        if (ec == websocket::error::closed || close_received_)
            return report_closed(true);
        if (is_inflate_error(ec))
            return fail_inflate(ec);
        return fail_with(ec, "read");
    }
    bool is_text = false;
    with_ws([&](auto &ws) { is_text = ws.got_text(); });
    auto data = rbuf_.cdata();
    if (config_.cb.on_message)
        config_.cb.on_message(config_.cb.user_data, handle(),
                              is_text ? KS_MESSAGE_TEXT : KS_MESSAGE_BINARY, 0,
                              static_cast<const uint8_t *>(data.data()), data.size());
    rbuf_.consume(rbuf_.size());
    if (rbuf_.capacity() > kWebSocketReadBufferKept)
        rbuf_.shrink_to_fit();
    if (ended())
        return;
    read_next();
}

void WebSocketSession::enqueue(Outgoing out) {
    if (ended() || close_sent_ || peer_closing_)
        return;
    outq_.push_back(std::move(out));
    write_next();
}

void WebSocketSession::write_next() {
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
                           self->step([&] { self->on_written(ec); });
                       });
    });
}

void WebSocketSession::on_written(const error_code &ec) {
    if (ended())
        return;
    if (ec) {
        outq_.clear();
        // The read side reports a close or a broken connection.
        if (is_websocket_error(ec))
            return;
        return fail_with(ec, "write");
    }
    outq_.pop_front();
    write_next();
}

// ---- network thread: closing and ending -------------------------------------------

void WebSocketSession::begin_close(uint16_t code, std::string reason) {
    if (ended())
        return;
    if (!opened_)
        return abort(kCanceled, "closed before the connection opened");
    if (close_wanted_ || peer_closing_)
        return;
    close_wanted_.emplace(code, std::move(reason));
    timer_.expires_after(kWebSocketCloseWait);
    timer_.async_wait([self = shared_from_this()](const error_code &ec) {
        if (!ec && !self->ended())
            self->report_closed(false); // the peer never answered our close
    });
    write_next();
}

void WebSocketSession::on_close_sent(const error_code &ec) {
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

void WebSocketSession::report_closed(bool clean) {
    uint16_t code = 1006; // abnormal closure: no close frame came back
    std::string reason;
    if (clean)
        with_ws([&](auto &ws) {
            const websocket::close_reason &r = ws.reason();
            code = r.code ? r.code : 1005; // 1005: the frame had none
            reason.assign(r.reason.data(), r.reason.size());
        });
    finish();
    config_.cb.on_closed(config_.cb.user_data, handle(), clean ? 1 : 0, code, reason.data(),
                         reason.size());
}

void WebSocketSession::fail_inflate(const error_code &ec) {
    // Beast fails a read of bad compressed data without a close frame; send the 1002 a
    // browser sends, unless a message is going out (a frame would land inside it).
    if (writing_)
        return fail_with(ec, "read");
    auto frame = std::make_shared<std::string>(client_close_frame(1002, ""));
    writing_ = true; // nothing else goes out after it
    with_ws([&](auto &ws) {
        asio::async_write(ws.next_layer(), asio::buffer(*frame),
                          [self = shared_from_this(), frame, ec](const error_code &, size_t) {
                              self->step([&] { self->fail_with(ec, "read"); });
                          });
    });
}

void WebSocketSession::fail_with(const error_code &ec, std::string_view stage) {
    report_error(stream_failure(ec), std::string(stage) + ": " + ec.message(), 0);
}

void WebSocketSession::abort(Failure failure, std::string_view message) {
    report_error(failure, message, 0);
}

void WebSocketSession::report_error(Failure failure, std::string_view message, int32_t response) {
    if (ended())
        return;
    finish();
    config_.cb.on_error(config_.cb.user_data, handle(), failure.status, failure.net_error, response,
                        message.data(), message.size());
}

void WebSocketSession::drop_stream() noexcept {
    // Moved out first: destroying the parked operations may drop the last other reference.
    auto plain = std::move(plain_ws_);
    auto tls = std::move(tls_ws_);
}

void WebSocketSession::drop_stream_later() noexcept {
    // A Beast handler may still be on the stack here; the loop runs the drop after it.
    try {
        asio::post(engine_->io(), [self = shared_from_this()] { self->drop_stream(); });
    } catch (const std::bad_alloc &) {
        // Then the engine's release reclaims the stream with its loop.
    }
}

void WebSocketSession::finish() {
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
    engine_->jobs().remove(shared_from_this(), Kind::connection);
}

} // namespace kestrin
