// The session behind a WebSocket, on Boost.Beast: one handler per step of the connection,
// each returning early once the connection ended or its step failed, and a write queue.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <boost/beast/websocket/stream.hpp>

#include "handler_slot.hpp"
#include "http_head.hpp"
#include "websocket/close.hpp"
#include "websocket/config.hpp"
#include "websocket/stream.hpp"
#include "websocket/target.hpp"
#include "websocket/tunnel.hpp"
#include "websocket/websocket.hpp"

namespace kestrin {

class WebSocketSession final : public WebSocket,
                               public std::enable_shared_from_this<WebSocketSession> {
  public:
    WebSocketSession(std::shared_ptr<Engine> engine, WebSocketConfig config);
    ~WebSocketSession() override;

    ks_status start() override;
    ks_status send(uint32_t type, const uint8_t *data, size_t len, bool run_loop) override;
    ks_status run_until(int (*ready)(void *), void *arg) override;
    ks_status close(uint32_t code, const char *reason, size_t len) override;
    ks_status cancel() override;
    void release() override;
    void abort(Failure failure, std::string_view message) override;
    void drop_stream() noexcept override;

  private:
    friend class WebSocket; // create() sets api_ref_

    using PlainWs = boost::beast::websocket::stream<WsTcp>;
    using TlsWs = boost::beast::websocket::stream<boost::beast::ssl_stream<WsTcp>>;

    // Seen from API threads; moves only forward.
    enum Phase : int { Idle, Connecting, Open, Closing, Done };

    struct Outgoing {
        bool text;
        std::string data;
    };

    // Runs one step on the network thread; running out of memory in it ends the connection
    // with OutOfMemory instead of unwinding through the thread.
    template <class F> void step(F &&f) {
        try {
            f();
        } catch (const std::bad_alloc &) {
            abort(kOutOfMemoryFailure, "out of memory");
            drop_stream_later();
        }
    }
    template <class F> void with_ws(F &&f) {
        if (tls_ws_)
            f(*tls_ws_);
        else
            f(*plain_ws_);
    }
    WsTcp &tcp();
    boost::beast::ssl_stream<WsTcp> &tls() { return tls_ws_->next_layer(); }

    void begin();
    void make_stream();
    void on_resolved(const boost::system::error_code &ec,
                     const boost::asio::ip::tcp::resolver::results_type &results);
    void on_connected(const boost::system::error_code &ec);
    void on_tunnel(const TunnelResult &result);
    void start_tls();
    void on_tls_handshake(const boost::system::error_code &ec);
    void start_handshake();
    void on_handshake(const boost::system::error_code &ec);
    template <class Ws> void on_control(Ws &ws, boost::beast::websocket::frame_type kind);
    void read_next();
    void on_read(const boost::system::error_code &ec);
    void enqueue(Outgoing out);
    void write_next();
    void on_written(const boost::system::error_code &ec);
    void begin_close(uint16_t code, std::string reason);
    void on_close_sent(const boost::system::error_code &ec);
    void report_closed(bool clean);
    void report_error(Failure failure, std::string_view message, int32_t response);
    void fail_with(const boost::system::error_code &ec, std::string_view stage);
    void fail_inflate(const boost::system::error_code &ec);
    void drop_stream_later() noexcept;
    void finish();
    bool ended() const { return phase_.load() == Done || done_; }

    // The abort that release() queues; it needs no memory then.
    HandlerSlot release_slot_;
    std::shared_ptr<Engine> engine_;
    // The caller's reference, dropped by release().
    std::shared_ptr<WebSocketSession> api_ref_;
    const WebSocketConfig config_;

    std::atomic<bool> started_{false};
    std::atomic<bool> canceled_{false};
    std::atomic<int> phase_{Idle};

    // Network thread state.
    bool done_ = false;
    bool opened_ = false;
    std::optional<WebSocketProxy> proxy_;
    boost::asio::ip::tcp::resolver resolver_;
    boost::asio::steady_timer timer_;
    std::unique_ptr<boost::asio::ssl::context> ssl_ctx_;
    std::unique_ptr<PlainWs> plain_ws_;
    std::unique_ptr<TlsWs> tls_ws_;
    boost::beast::flat_buffer rbuf_;
    boost::beast::websocket::response_type response_;
    std::deque<Outgoing> outq_;
    bool writing_ = false;
    bool close_sent_ = false;
    bool peer_closing_ = false;
    bool close_received_ = false; // the peer's close frame, whoever started
    std::optional<std::pair<uint16_t, std::string>> close_wanted_;
};

} // namespace kestrin
