// The WebSocket connection's TCP stream, and a teardown for it that does not wait forever.
#pragma once

#include <array>
#include <type_traits>
#include <utility>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/role.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>

#include "limits.hpp"

namespace kestrin {

// Its own type lets the teardown below replace Beast's, which waits without a limit for a peer
// that never closes after a close frame (or after the Core failed the connection and sent one).
struct WsTcp : boost::beast::tcp_stream {
    using boost::beast::tcp_stream::tcp_stream;
};

// Reads until the peer closes, for at most kWebSocketTeardownWait. Whatever ends the wait
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
    stream.expires_after(kWebSocketTeardownWait);
    boost::system::error_code ignored;
    stream.socket().shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
    WsTeardownOp<std::decay_t<Handler>>{stream, std::forward<Handler>(handler)}();
}

template <class Handler>
void async_teardown(boost::beast::role_type, boost::beast::ssl_stream<WsTcp> &stream,
                    Handler &&handler) {
    boost::beast::get_lowest_layer(stream).expires_after(kWebSocketTeardownWait);
    stream.async_shutdown([h = std::forward<Handler>(handler)](boost::system::error_code) mutable {
        h(boost::system::error_code{});
    });
}

} // namespace kestrin
