// WebSocket echo server for the benchmark: every message goes back whole, with its opcode.
// Usage: ws_echo PORT   (listens on 127.0.0.1, prints "ready" once listening)
//        ws_echo --version   (the Boost version it was built with, for the report)
//
// One thread, one asynchronous loop per connection. It exists so that 1 MiB echoes measure the
// client: no compression, no fragmentation of replies, and a read buffer kept between messages
// so a steady stream of same-sized messages allocates nothing.
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/version.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>

#include <sys/socket.h>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

constexpr std::size_t max_message = 64 * 1024 * 1024;

// A TCP socket that sleeps through the arrival of a large message. Beast asks for exactly the
// frame's remaining payload when it reads a payload straight into the message buffer; for a
// large one, SO_RCVLOWAT makes the kernel wake us once all of it (up to a cap) is queued, rather
// than for every segment the client's writes produce. A cross-core wake-up costs tens of
// microseconds here, so this halves the server's CPU per MiB. Small reads (frame headers, small
// messages) keep a low-water mark of one byte, so nothing waits for bytes that may not come.
class LowatSocket {
  public:
    using executor_type = tcp::socket::executor_type;

    explicit LowatSocket(tcp::socket socket) : socket_(std::move(socket)) {}

    executor_type get_executor() noexcept { return socket_.get_executor(); }
    tcp::socket &socket() noexcept { return socket_; }

    template <class Buffers, class Handler>
    auto async_read_some(const Buffers &buffers, Handler &&handler) {
        const std::size_t want = asio::buffer_size(buffers);
        set_lowat(want >= large_read ? static_cast<int>(std::min(want, max_lowat)) : 1);
        return socket_.async_read_some(buffers, std::forward<Handler>(handler));
    }

    template <class Buffers, class Handler>
    auto async_write_some(const Buffers &buffers, Handler &&handler) {
        return socket_.async_write_some(buffers, std::forward<Handler>(handler));
    }

  private:
    static constexpr std::size_t large_read = 64 * 1024;
    static constexpr std::size_t max_lowat = 4 * 1024 * 1024;

    void set_lowat(int bytes) {
        if (bytes == lowat_)
            return;
        lowat_ = bytes;
        ::setsockopt(socket_.native_handle(), SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof bytes);
    }

    tcp::socket socket_;
    int lowat_ = 1;
};

// The websocket stream closes its next layer through these, found by argument lookup.
void beast_close_socket(LowatSocket &socket) {
    beast::close_socket(socket.socket());
}

template <class Handler>
void async_teardown(beast::role_type role, LowatSocket &socket, Handler &&handler) {
    websocket::async_teardown(role, socket.socket(), std::forward<Handler>(handler));
}

// `false`: no permessage-deflate code at all, so no zlib and no inflate state per connection.
using ws_stream = websocket::stream<LowatSocket, false>;

class Session : public std::enable_shared_from_this<Session> {
  public:
    explicit Session(tcp::socket socket) : ws_(std::move(socket)) {}

    void start() {
        ws_.next_layer().socket().set_option(tcp::no_delay(true));
        ws_.read_message_max(max_message);
        ws_.auto_fragment(false);
        ws_.async_accept([self = shared_from_this()](beast::error_code ec) {
            if (!ec)
                self->read();
        });
    }

  private:
    void read() {
        ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (!ec)
                self->write();
        });
    }

    void write() {
        ws_.binary(ws_.got_binary());
        ws_.async_write(buffer_.data(),
                        [self = shared_from_this()](beast::error_code ec, std::size_t) {
                            self->buffer_.consume(self->buffer_.size());
                            if (!ec)
                                self->read();
                        });
    }

    ws_stream ws_;
    beast::flat_buffer buffer_;
};

void accept(tcp::acceptor &acceptor) {
    acceptor.async_accept([&acceptor](beast::error_code ec, tcp::socket socket) {
        if (!ec)
            std::make_shared<Session>(std::move(socket))->start();
        accept(acceptor);
    });
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 2 && std::string_view{argv[1]} == "--version") {
        std::printf("%d.%d.%d\n", BOOST_VERSION / 100000, BOOST_VERSION / 100 % 1000,
                    BOOST_VERSION % 100);
        return 0;
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PORT\n", argv[0]);
        return 2;
    }
    asio::io_context io{1};
    tcp::endpoint endpoint{asio::ip::make_address("127.0.0.1"),
                           static_cast<unsigned short>(std::atoi(argv[1]))};
    tcp::acceptor acceptor{io};
    acceptor.open(endpoint.protocol());
    acceptor.set_option(tcp::acceptor::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen(16384);
    accept(acceptor);
    std::printf("ready\n");
    std::fflush(stdout);
    io.run();
}
