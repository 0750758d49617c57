// A small scripted HTTP/1.1 server on 127.0.0.1 for C-level tests of the Core:
// each request is handed to a handler that writes the raw answer itself, so
// tests can send slow, broken or unusual responses.
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio.hpp>

namespace kestrin_test {

struct HttpRequest {
    std::string method, target;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    bool chunked = false;
    std::string header(const std::string &name) const;
};

class Conn {
  public:
    explicit Conn(boost::asio::ip::tcp::socket s) : sock(std::move(s)) {}
    // False when the peer has gone.
    bool send(std::string_view data);
    // Closes with RST instead of FIN.
    void reset();
    void close();
    // Wakes a handler blocked in send or a read, from the server's destructor.
    void interrupt();
    boost::asio::ip::tcp::socket sock;
    std::mutex mu; // orders close() against interrupt()
    bool closed = false;
};

class TestServer {
  public:
    using Handler = std::function<void(const HttpRequest &, Conn &)>;
    explicit TestServer(Handler handler);
    ~TestServer();
    uint16_t port() const { return port_; }
    std::string url(const std::string &path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    int connections() const { return connections_; }
    int requests() const { return requests_; }

  private:
    void accept_loop();
    void serve(std::shared_ptr<Conn> conn);

    Handler handler_;
    boost::asio::io_context io_;
    boost::asio::ip::tcp::acceptor acceptor_;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0}, requests_{0};
    std::thread acceptor_thread_;
    std::mutex mu_;
    std::list<std::thread> threads_;
    std::list<std::weak_ptr<Conn>> conns_;
};

// A plain response with Content-Length.
std::string response(int status, const std::string &body,
                     const std::vector<std::pair<std::string, std::string>> &headers = {});

} // namespace kestrin_test
