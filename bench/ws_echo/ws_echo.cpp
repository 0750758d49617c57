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

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

constexpr std::size_t max_message = 64 * 1024 * 1024;

// `false`: no permessage-deflate code at all, so no zlib and no inflate state per connection.
using ws_stream = websocket::stream<tcp::socket, false>;

class Session : public std::enable_shared_from_this<Session> {
  public:
    explicit Session(tcp::socket socket) : ws_(std::move(socket)) {}

    void start() {
        ws_.next_layer().set_option(tcp::no_delay(true));
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
