#include "test_server.hpp"

#include <strings.h>
#include <sys/socket.h>

namespace kestrin_test {

namespace asio = boost::asio;
using asio::ip::tcp;

std::string HttpRequest::header(const std::string &name) const {
    for (const auto &[n, v] : headers)
        if (strcasecmp(n.c_str(), name.c_str()) == 0)
            return v;
    return {};
}

bool Conn::send(std::string_view data) {
    boost::system::error_code ec;
    asio::write(sock, asio::buffer(data.data(), data.size()), ec);
    return !ec;
}

void Conn::reset() {
    std::lock_guard lock(mu);
    boost::system::error_code ec;
    sock.set_option(asio::socket_base::linger(true, 0), ec);
    sock.close(ec);
    closed = true;
}

void Conn::close() {
    std::lock_guard lock(mu);
    boost::system::error_code ec;
    sock.shutdown(tcp::socket::shutdown_both, ec);
    sock.close(ec);
    closed = true;
}

void Conn::interrupt() {
    std::lock_guard lock(mu);
    if (!closed)
        ::shutdown(sock.native_handle(), SHUT_RDWR);
}

std::string response(int status, const std::string &body,
                     const std::vector<std::pair<std::string, std::string>> &headers) {
    std::string out = "HTTP/1.1 " + std::to_string(status) + " X\r\n";
    for (const auto &[n, v] : headers)
        out += n + ": " + v + "\r\n";
    out += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    return out;
}

TestServer::TestServer(Handler handler)
    : handler_(std::move(handler)),
      acceptor_(io_, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
    port_ = acceptor_.local_endpoint().port();
    acceptor_thread_ = std::thread([this] { accept_loop(); });
}

TestServer::~TestServer() {
    stopping_ = true;
    boost::system::error_code ec;
    // Wake the blocked accept with a throwaway connection.
    {
        tcp::socket s(io_);
        s.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port_), ec);
    }
    acceptor_thread_.join();
    acceptor_.close(ec);
    std::list<std::thread> threads;
    {
        std::lock_guard lock(mu_);
        for (auto &w : conns_)
            if (auto c = w.lock())
                c->interrupt();
        threads.swap(threads_);
    }
    for (auto &t : threads)
        t.join();
}

void TestServer::accept_loop() {
    while (!stopping_) {
        boost::system::error_code ec;
        tcp::socket s(io_);
        acceptor_.accept(s, ec);
        if (ec || stopping_)
            break;
        ++connections_;
        auto conn = std::make_shared<Conn>(std::move(s));
        std::lock_guard lock(mu_);
        conns_.push_back(conn);
        threads_.emplace_back([this, conn] { serve(conn); });
    }
}

namespace {

bool read_until(tcp::socket &s, std::string &buf, const std::string &delim, size_t &pos) {
    while ((pos = buf.find(delim)) == std::string::npos) {
        char tmp[16384];
        boost::system::error_code ec;
        size_t n = s.read_some(asio::buffer(tmp), ec);
        if (ec || n == 0)
            return false;
        buf.append(tmp, n);
    }
    return true;
}

bool read_exact(tcp::socket &s, std::string &buf, size_t need) {
    while (buf.size() < need) {
        char tmp[16384];
        boost::system::error_code ec;
        size_t n = s.read_some(asio::buffer(tmp), ec);
        if (ec || n == 0)
            return false;
        buf.append(tmp, n);
    }
    return true;
}

} // namespace

void TestServer::serve(std::shared_ptr<Conn> conn) {
    std::string buf;
    while (!stopping_ && !conn->closed) {
        size_t pos;
        if (!read_until(conn->sock, buf, "\r\n\r\n", pos))
            return;
        HttpRequest req;
        std::string head = buf.substr(0, pos);
        buf.erase(0, pos + 4);
        size_t eol = head.find("\r\n");
        std::string line = head.substr(0, eol);
        size_t sp1 = line.find(' '), sp2 = line.rfind(' ');
        req.method = line.substr(0, sp1);
        req.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
        while (eol != std::string::npos) {
            size_t next = head.find("\r\n", eol + 2);
            std::string h = head.substr(eol + 2, next == std::string::npos ? std::string::npos
                                                                           : next - eol - 2);
            eol = next;
            size_t colon = h.find(':');
            if (colon == std::string::npos)
                continue;
            std::string v = h.substr(colon + 1);
            while (!v.empty() && v.front() == ' ')
                v.erase(0, 1);
            req.headers.emplace_back(h.substr(0, colon), v);
        }
        if (strcasecmp(req.header("Transfer-Encoding").c_str(), "chunked") == 0) {
            req.chunked = true;
            for (;;) {
                if (!read_until(conn->sock, buf, "\r\n", pos))
                    return;
                size_t size = std::stoul(buf.substr(0, pos), nullptr, 16);
                buf.erase(0, pos + 2);
                if (!read_exact(conn->sock, buf, size + 2))
                    return;
                req.body.append(buf, 0, size);
                buf.erase(0, size + 2);
                if (size == 0)
                    break;
            }
        } else if (std::string cl = req.header("Content-Length"); !cl.empty()) {
            size_t size = std::stoul(cl);
            if (!read_exact(conn->sock, buf, size))
                return;
            req.body = buf.substr(0, size);
            buf.erase(0, size);
        }
        ++requests_;
        handler_(req, *conn);
    }
}

} // namespace kestrin_test
