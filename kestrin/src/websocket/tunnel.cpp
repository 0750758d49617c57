#include "websocket/tunnel.hpp"

#include <memory>
#include <utility>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>

#include "websocket/failures.hpp"
#include "websocket/text.hpp"

namespace kestrin {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using boost::system::error_code;

namespace {

class Tunnel : public std::enable_shared_from_this<Tunnel> {
  public:
    Tunnel(WsTcp &tcp, const WebSocketProxy &proxy, const WebSocketTarget &target,
           std::function<bool()> ended, std::function<void(TunnelResult)> done)
        : tcp_(tcp), proxy_(proxy), target_(target), ended_(std::move(ended)),
          done_(std::move(done)) {}

    void start() { proxy_.socks ? socks_greet() : send_connect(); }

  private:
    void fail(int32_t net_error, std::string message, int32_t response = 0) {
        done_({Failure{KS_PROXY, net_error}, response, std::move(message)});
    }

    // ---- HTTP CONNECT ----

    void send_connect() {
        std::string authority = target_.host.find(':') != std::string::npos
                                    ? "[" + target_.host + "]:" + target_.port
                                    : target_.host + ":" + target_.port;
        io_buf_ = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
        if (!proxy_.user.empty() || !proxy_.password.empty())
            io_buf_ += "Proxy-Authorization: Basic " + base64(proxy_.user + ":" + proxy_.password) +
                       "\r\n";
        io_buf_ += "Proxy-Connection: keep-alive\r\n\r\n";
        asio::async_write(tcp_, asio::buffer(io_buf_),
                          [self = shared_from_this()](const error_code &ec, size_t) {
                              self->on_connect_sent(ec);
                          });
    }

    void on_connect_sent(const error_code &ec) {
        if (ended_())
            return;
        if (ec)
            return fail(net::ERR_TUNNEL_CONNECTION_FAILED, "proxy: " + ec.message());
        answer_.emplace();
        answer_->skip(true); // a CONNECT answer has no body
        http::async_read_header(tcp_, rbuf_, *answer_,
                                [self = shared_from_this()](const error_code &ec, size_t) {
                                    self->on_connect_answer(ec);
                                });
    }

    void on_connect_answer(const error_code &ec) {
        if (ended_())
            return;
        if (ec)
            return fail(net::ERR_TUNNEL_CONNECTION_FAILED, "proxy: " + ec.message());
        int status = answer_->get().result_int();
        if (status / 100 != 2)
            return fail(status == 407 ? net::ERR_PROXY_AUTH_REQUESTED
                                      : net::ERR_TUNNEL_CONNECTION_FAILED,
                        "proxy refused the tunnel with " + std::to_string(status), status);
        if (rbuf_.size() != 0)
            return fail(net::ERR_TUNNEL_CONNECTION_FAILED, "proxy sent data ahead of TLS");
        done_({});
    }

    // ---- SOCKS5 ----

    // Sends io_buf_, then reads read_len bytes into it and goes on with next.
    void socks_io(size_t read_len, void (Tunnel::*next)()) {
        asio::async_write(
            tcp_, asio::buffer(io_buf_),
            [self = shared_from_this(), read_len, next](const error_code &ec, size_t) {
                if (self->ended_())
                    return;
                if (ec)
                    return self->fail(net::ERR_SOCKS_CONNECTION_FAILED, "SOCKS: " + ec.message());
                self->socks_read(read_len, next);
            });
    }

    void socks_read(size_t len, void (Tunnel::*next)()) {
        io_buf_.assign(len, '\0');
        asio::async_read(tcp_, asio::buffer(io_buf_),
                         [self = shared_from_this(), next](const error_code &ec, size_t) {
                             if (self->ended_())
                                 return;
                             if (ec)
                                 return self->fail(net::ERR_SOCKS_CONNECTION_FAILED,
                                                   "SOCKS: " + ec.message());
                             ((*self).*next)();
                         });
    }

    bool socks_auth() const { return !proxy_.user.empty() || !proxy_.password.empty(); }

    void socks_greet() {
        io_buf_ =
            socks_auth() ? std::string("\x05\x02\x00\x02", 4) : std::string("\x05\x01\x00", 3);
        socks_io(2, &Tunnel::on_socks_method);
    }

    void on_socks_method() {
        unsigned method = uint8_t(io_buf_[1]);
        if (io_buf_[0] != 5 || (method != 0 && !(socks_auth() && method == 2)))
            return fail(net::ERR_SOCKS_CONNECTION_FAILED,
                        "SOCKS: no acceptable authentication method");
        if (method == 0)
            return socks_connect();
        if (proxy_.user.size() > 255 || proxy_.password.size() > 255)
            return fail(net::ERR_SOCKS_CONNECTION_FAILED, "SOCKS: credentials too long");
        io_buf_ = std::string(1, '\x01') + char(proxy_.user.size()) + proxy_.user +
                  char(proxy_.password.size()) + proxy_.password;
        socks_io(2, &Tunnel::on_socks_auth);
    }

    void on_socks_auth() {
        if (io_buf_[1] != 0)
            return fail(net::ERR_PROXY_AUTH_REQUESTED, "SOCKS: the proxy refused the credentials");
        socks_connect();
    }

    void socks_connect() {
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
                return fail(net::ERR_SOCKS_CONNECTION_FAILED, "SOCKS: host name too long");
            io_buf_ += '\x03';
            io_buf_ += char(target_.host.size());
            io_buf_ += target_.host;
        }
        unsigned port = static_cast<unsigned>(std::stoul(target_.port));
        io_buf_ += char(port >> 8);
        io_buf_ += char(port & 0xFF);
        // The reply: version, status, reserved, address type and the address's first byte.
        socks_io(5, &Tunnel::on_socks_reply);
    }

    void on_socks_reply() {
        if (io_buf_[0] != 5 || io_buf_[1] != 0)
            return fail(net::ERR_SOCKS_CONNECTION_FAILED,
                        "SOCKS: connect refused with " + std::to_string(uint8_t(io_buf_[1])));
        uint8_t atyp = io_buf_[3];
        size_t rest = atyp == 1 ? 3 + 2 : atyp == 4 ? 15 + 2 : uint8_t(io_buf_[4]) + 2;
        socks_read(rest, &Tunnel::on_socks_bound);
    }

    void on_socks_bound() { done_({}); }

    WsTcp &tcp_;
    const WebSocketProxy &proxy_;
    const WebSocketTarget &target_;
    std::function<bool()> ended_;
    std::function<void(TunnelResult)> done_;
    std::string io_buf_; // the CONNECT request, the SOCKS exchange
    boost::beast::flat_buffer rbuf_;
    std::optional<http::response_parser<http::empty_body>> answer_;
};

} // namespace

void open_tunnel(WsTcp &tcp, const WebSocketProxy &proxy, const WebSocketTarget &target,
                 std::function<bool()> ended, std::function<void(TunnelResult)> done) {
    std::make_shared<Tunnel>(tcp, proxy, target, std::move(ended), std::move(done))->start();
}

} // namespace kestrin
