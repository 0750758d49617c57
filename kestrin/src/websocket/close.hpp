// Closing a WebSocket as browsers do: the close frame rules and the answer to a peer's close
// (code and reason echoed, 1014 let through). The stream layer here sits between Beast's
// WebSocket layer and the transport.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <boost/asio/write.hpp>
#include <boost/beast/core/role.hpp>

namespace kestrin {

// Close codes a peer may send (RFC 6455 7.4 and the IANA registry).
bool valid_received_close_code(uint16_t code);

// Whether a close frame may carry this code and reason (RFC 6455 7.4).
bool valid_close_frame(uint32_t code, std::string_view reason);

// A masked client close frame; no code gives an empty payload.
std::string client_close_frame(std::optional<uint16_t> code, std::string_view reason);

// The close frame that answers the peer's: its code and reason, none for none, and 1002 for
// a code no close frame may carry (which fails the connection).
struct CloseAnswer {
    std::string frame;
    bool forbidden_code = false;
};
CloseAnswer answer_peer_close(uint16_t code, std::string_view reason);

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

} // namespace kestrin
