// One WebSocket connection of an engine on Boost.Beast: the API calls that
// reach it from any thread, and the connection it runs on the engine's network
// thread (resolve, proxy tunnel, TLS, opening handshake, read loop, write
// queue, closing handshake). Exactly one terminal callback per started
// connection: on_closed or on_error, never anything after it.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/role.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <boost/beast/websocket/stream.hpp>

#include "error_map.hpp"
#include "handler_slot.hpp"
#include "kestrin.h"

namespace kestrin {

class Engine;

// Largest message the Core reassembles; a bigger one fails the connection
// (close code 1009) instead of growing the buffer without bound.
inline constexpr size_t kWebSocketMaxMessage = size_t{64} << 20;
// How long a close we started waits for the peer's close frame.
inline constexpr int kWebSocketCloseTimeoutMs = 5000;

// The parts of a ws:// or wss:// URL the connection needs.
struct WebSocketTarget {
    bool tls = false;
    std::string host; // without brackets for IPv6 literals
    std::string port;
    std::string host_header; // host[:port] as the Host header carries it
    std::string resource;    // path and query
};

// Parses ws, wss (and http, https as their aliases); false when unusable.
bool parse_websocket_url(const std::string &url, WebSocketTarget &out);

// Whether a close frame may carry this code and reason (RFC 6455 7.4).
bool valid_close_frame(uint32_t code, std::string_view reason);

bool valid_utf8(std::string_view s);

// The connection's TCP stream. Its own type lets the teardown below replace Beast's, which
// waits without a limit for a peer that never closes after a close frame (or after the
// Core failed the connection and sent one).
struct WsTcp : boost::beast::tcp_stream {
    using boost::beast::tcp_stream::tcp_stream;
};

// How long a teardown waits for the peer to close its side before the socket is closed.
inline constexpr std::chrono::milliseconds kWebSocketTeardownLimit{1000};

// Reads until the peer closes, for at most kWebSocketTeardownLimit. Whatever ends the wait
// counts as done: Beast then reports the reason the connection was closed for.
template <class Handler> struct WsTeardownOp {
    WsTcp &stream;
    Handler handler;

    void operator()(boost::system::error_code ec = {}, size_t = 0) {
        // What the peer still sends is dropped, so one scratch buffer per network thread does,
        // and a teardown allocates nothing that could fail halfway through a close.
        thread_local std::array<char, 4096> scratch;
        if (!ec)
            return stream.async_read_some(boost::asio::buffer(scratch), std::move(*this));
        handler(boost::system::error_code{});
    }
};

template <class Handler>
void async_teardown(boost::beast::role_type, WsTcp &stream, Handler &&handler) {
    stream.expires_after(kWebSocketTeardownLimit);
    boost::system::error_code ignored;
    stream.socket().shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
    WsTeardownOp<std::decay_t<Handler>>{stream, std::forward<Handler>(handler)}();
}

template <class Handler>
void async_teardown(boost::beast::role_type, boost::beast::ssl_stream<WsTcp> &stream,
                    Handler &&handler) {
    boost::beast::get_lowest_layer(stream).expires_after(kWebSocketTeardownLimit);
    stream.async_shutdown([h = std::forward<Handler>(handler)](boost::system::error_code) mutable {
        h(boost::system::error_code{});
    });
}

// Follows what the peer sends (the HTTP head of the handshake, then frame by frame) to let a
// close frame with code 1014 through: Beast refuses it as reserved, though it is registered
// (Bad Gateway) and browsers accept it. Its low byte is turned into 1013's on the way in, and
// peer_code() turns that back.
class WsPeerCloseCode {
  public:
    void feed(unsigned char *p, size_t n);
    bool gone = false; // the stream it follows was destroyed
    uint16_t peer_code(uint16_t beast_code) const {
        return rewrote_ && beast_code == kStandIn ? kBadGateway : beast_code;
    }

  private:
    static constexpr uint16_t kBadGateway = 1014, kStandIn = 1013;
    enum class Phase { HttpHead, FrameHead, Payload };
    Phase phase_ = Phase::HttpHead;
    unsigned matched_ = 0; // of the CR LF CR LF that ends the HTTP head
    unsigned char head_[14] = {};
    size_t head_len_ = 0;
    uint64_t remaining_ = 0; // payload bytes left in this frame
    uint64_t offset_ = 0;    // payload bytes seen of this frame
    bool close_frame_ = false;
    unsigned char code_high_ = 0;
    bool rewrote_ = false;
};

// Between Beast's WebSocket layer and the transport: replaces the close frame Beast sends in
// answer to the peer's, since Beast echoes the code only, while browsers echo code and
// reason, answer a close without a code with an empty one, and fail on a code that no close
// frame may carry.
template <class Next> class WsCloseTap {
  public:
    using executor_type = typename Next::executor_type;

    template <class... Args>
    explicit WsCloseTap(Args &&...args)
        : next_(std::forward<Args>(args)...), peer_close_(std::make_shared<WsPeerCloseCode>()) {}
    WsCloseTap(const WsCloseTap &) = delete;
    WsCloseTap &operator=(const WsCloseTap &) = delete;
    ~WsCloseTap() { peer_close_->gone = true; }

    executor_type get_executor() noexcept { return next_.get_executor(); }
    Next &next_layer() noexcept { return next_; }
    const Next &next_layer() const noexcept { return next_; }

    // The whole frame to send instead of Beast's next close frame; empty for none.
    std::string close_reply;

    template <class Buffers, class Handler>
    void async_read_some(const Buffers &buffers, Handler &&handler) {
        // The follower is shared, not reached through `this`: a stream dropped after running
        // out of memory may be gone when a read completes, and its buffers with it.
        next_.async_read_some(
            buffers, [follower = peer_close_, buffers, h = std::forward<Handler>(handler)](
                         boost::system::error_code ec, size_t n) mutable {
                size_t left = follower->gone ? 0 : n;
                for (auto it = boost::asio::buffer_sequence_begin(buffers);
                     left > 0 && it != boost::asio::buffer_sequence_end(buffers); ++it) {
                    boost::asio::mutable_buffer b = *it;
                    size_t take = std::min(left, b.size());
                    follower->feed(static_cast<unsigned char *>(b.data()), take);
                    left -= take;
                }
                h(ec, n);
            });
    }

    uint16_t peer_code(uint16_t beast_code) const { return peer_close_->peer_code(beast_code); }

    template <class Buffers, class Handler>
    void async_write_some(const Buffers &buffers, Handler &&handler) {
        if (close_reply.empty() || !is_close_frame(buffers))
            return next_.async_write_some(buffers, std::forward<Handler>(handler));
        auto frame = std::make_shared<std::string>(std::move(close_reply));
        close_reply.clear();
        size_t n = boost::asio::buffer_size(buffers);
        boost::asio::async_write(
            next_, boost::asio::buffer(*frame),
            [frame, n, h = std::forward<Handler>(handler)](boost::system::error_code ec,
                                                           size_t) mutable { h(ec, ec ? 0 : n); });
    }

  private:
    // Beast writes a client close frame whole, in one buffer: header, mask, payload.
    template <class Buffers> static bool is_close_frame(const Buffers &buffers) {
        unsigned char head[2];
        if (boost::asio::buffer_copy(boost::asio::buffer(head), buffers) < 2)
            return false;
        size_t len = head[1] & 0x7F;
        return head[0] == 0x88 && (head[1] & 0x80) && len <= 125 &&
               boost::asio::buffer_size(buffers) == 6 + len;
    }

    Next next_;
    std::shared_ptr<WsPeerCloseCode> peer_close_;
};

template <class Next, class Handler>
void async_teardown(boost::beast::role_type role, WsCloseTap<Next> &stream, Handler &&handler) {
    async_teardown(role, stream.next_layer(), std::forward<Handler>(handler));
}

// A masked client close frame; no code gives an empty payload.
std::string client_close_frame(std::optional<uint16_t> code, std::string_view reason);

// Close codes a peer may send (RFC 6455 7.4 and the IANA registry).
bool valid_received_close_code(uint16_t code);

class WebSocket : public std::enable_shared_from_this<WebSocket> {
  public:
    // Checks and copies the configuration; nothing runs until start().
    static ks_status create(const std::shared_ptr<Engine> &engine,
                            const ks_websocket_config &config, std::shared_ptr<WebSocket> &out);
    ~WebSocket();
    WebSocket(const WebSocket &) = delete;
    WebSocket &operator=(const WebSocket &) = delete;

    ks_websocket *handle() { return reinterpret_cast<ks_websocket *>(this); }
    static WebSocket *from(ks_websocket *h) { return reinterpret_cast<WebSocket *>(h); }

    // API side, any thread; none of these waits for the network thread.
    ks_status start();
    ks_status send(uint32_t type, const uint8_t *data, size_t len);
    ks_status close(uint32_t code, const char *reason, size_t len);
    ks_status cancel();
    void release();

    // The caller's reference, dropped by release().
    std::shared_ptr<WebSocket> api_ref;

    // Network thread: ends the connection with an error callback.
    void abort(Failure failure, std::string_view message);
    // Network thread, with no handler of this connection running: destroys the Beast stream.
    // An exception out of a Beast operation can leave the operations it had parked inside the
    // stream (each holding this connection and work on the loop) with nobody to resume them.
    void drop_stream() noexcept;
    void drop_stream_later() noexcept;
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

  private:
    // The abort that release() queues; it needs no memory then.
    HandlerSlot release_slot_;

    explicit WebSocket(std::shared_ptr<Engine> engine);

    using Tcp = WsTcp;
    using PlainWs = boost::beast::websocket::stream<WsCloseTap<Tcp>>;
    using TlsWs = boost::beast::websocket::stream<WsCloseTap<boost::beast::ssl_stream<Tcp>>>;

    // Seen from API threads; moves only forward.
    enum Phase : int { Idle, Connecting, Open, Closing, Done };

    struct Outgoing {
        bool text;
        std::string data;
    };

    template <class F> void with_ws(F &&f) {
        if (tls_ws_)
            f(*tls_ws_);
        else
            f(*plain_ws_);
    }
    Tcp &tcp();
    boost::beast::ssl_stream<Tcp> &tls() { return tls_ws_->next_layer().next_layer(); }

    void begin();
    void make_stream();
    void on_resolved(const boost::system::error_code &ec,
                     const boost::asio::ip::tcp::resolver::results_type &results);
    void on_connected(const boost::system::error_code &ec);
    void send_connect();
    void socks_io(size_t read_len, std::function<void()> next);
    void socks_greet();
    void socks_connect();
    void on_tunnel(const boost::system::error_code &ec);
    void start_tls();
    void start_handshake();
    void on_handshake(const boost::system::error_code &ec);
    void read_next();
    void on_read(const boost::system::error_code &ec);
    void enqueue(Outgoing out);
    void write_next();
    void begin_close(uint16_t code, std::string reason);
    void on_close_sent(const boost::system::error_code &ec);
    void report_closed(bool clean);
    void fail_with(const boost::system::error_code &ec, std::string_view stage);
    void finish();
    bool ended() const { return phase_.load() == Done || done_; }

    std::shared_ptr<Engine> engine_;

    // Copied configuration.
    ks_websocket_callbacks cb_{};
    std::string url_;
    WebSocketTarget target_;
    std::string origin_;
    std::vector<std::string> protocols_;
    std::vector<std::pair<std::string, std::string>> headers_;
    uint64_t timeout_ms_ = 0;

    std::atomic<bool> started_{false};
    std::atomic<bool> canceled_{false};
    std::atomic<int> phase_{Idle};

    // Network thread state.
    bool done_ = false;
    bool opened_ = false;
    bool via_proxy_ = false;
    bool socks_ = false;
    std::string proxy_host_, proxy_port_, proxy_user_, proxy_password_;
    boost::asio::ip::tcp::resolver resolver_;
    boost::asio::steady_timer timer_;
    std::unique_ptr<boost::asio::ssl::context> ssl_ctx_;
    std::unique_ptr<PlainWs> plain_ws_;
    std::unique_ptr<TlsWs> tls_ws_;
    boost::beast::flat_buffer rbuf_;
    std::string io_buf_; // the proxy CONNECT request, the SOCKS exchange
    std::optional<boost::beast::http::response_parser<boost::beast::http::empty_body>> tunnel_;
    boost::beast::websocket::response_type response_;
    std::deque<Outgoing> outq_;
    bool writing_ = false;
    bool close_sent_ = false;
    bool peer_closing_ = false;
    bool close_received_ = false; // the peer's close frame, whoever started
    bool bad_close_code_ = false; // the peer's close frame carried a forbidden code
    std::optional<std::pair<uint16_t, std::string>> close_wanted_;
};

// The engine behind a handle of the C interface (defined with the entry points).
std::shared_ptr<Engine> engine_from_handle(ks_engine *engine);

} // namespace kestrin
