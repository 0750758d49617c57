// The Core's WebSockets through the C interface against a small Beast server on 127.0.0.1,
// checking the callback contract: open before messages, exactly one terminal callback,
// nothing after it, nothing at all for a connection released before it started.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <kestrin/kestrin_run.h>

#include "core_client.hpp"

using namespace kestrin_test;
using namespace std::chrono_literals;
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;

namespace {

// Accepts WebSocket connections, each on its own thread: "/close" closes with 4000 "srv"
// at once, anything else echoes. Selects "chat" when it is offered first. Its close reply
// carries the code only. Stops on destruction.
class WsServer {
  public:
    WsServer() : acceptor_(io_, {asio::ip::make_address("127.0.0.1"), 0}) {
        port_ = acceptor_.local_endpoint().port();
        thread_ = std::thread([this] { accept_loop(); });
    }
    ~WsServer() {
        stop_ = true;
        boost::system::error_code ec;
        asio::ip::tcp::socket poke(io_);
        poke.connect(acceptor_.local_endpoint(), ec);
        thread_.join();
        for (auto &t : sessions_)
            t.join();
    }
    std::string url(const std::string &path) const {
        return "ws://127.0.0.1:" + std::to_string(port_) + path;
    }

  private:
    void accept_loop() {
        while (!stop_) {
            asio::ip::tcp::socket s(io_);
            boost::system::error_code ec;
            acceptor_.accept(s, ec);
            if (ec || stop_)
                return;
            sessions_.emplace_back([s = std::move(s)]() mutable { session(std::move(s)); });
        }
    }
    static void session(asio::ip::tcp::socket s) {
        try {
            websocket::stream<asio::ip::tcp::socket> ws(std::move(s));
            beast::http::request<beast::http::string_body> req;
            beast::flat_buffer buf;
            beast::http::read(ws.next_layer(), buf, req);
            if (req[beast::http::field::sec_websocket_protocol].starts_with("chat"))
                ws.set_option(websocket::stream_base::decorator([](websocket::response_type &res) {
                    res.set(beast::http::field::sec_websocket_protocol, "chat");
                }));
            ws.accept(req);
            if (req.target() == "/close") {
                websocket::close_reason why;
                why.code = 4000;
                why.reason = "srv";
                ws.close(why);
            }
            for (;;) {
                beast::flat_buffer msg;
                ws.read(msg);
                ws.text(ws.got_text());
                ws.write(msg.data());
            }
        } catch (...) {
        }
    }

    asio::io_context io_;
    asio::ip::tcp::acceptor acceptor_;
    unsigned short port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::vector<std::thread> sessions_;
};

struct WsRecorder {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<std::string> events; // "open", "text:...", "binary:...", "closing", ...
    std::string protocol, detail;
    int terminals = 0;
    bool order_violation = false;
    uint32_t status = 0, close_code = 0;
    int32_t net_error = 0, response_code = 0;

    void add(std::string e, bool terminal = false) {
        std::lock_guard lock(mu);
        if (terminals > 0)
            order_violation = true;
        events.push_back(std::move(e));
        if (terminal)
            ++terminals;
        cv.notify_all();
    }
    bool wait_terminal(std::chrono::milliseconds limit = 10s) {
        std::unique_lock lock(mu);
        return cv.wait_for(lock, limit, [&] { return terminals > 0; });
    }
    bool wait_events(size_t n, std::chrono::milliseconds limit = 10s) {
        std::unique_lock lock(mu);
        return cv.wait_for(lock, limit, [&] { return events.size() >= n; });
    }

    static WsRecorder *of(void *u) { return static_cast<WsRecorder *>(u); }
    static void on_open(void *u, ks_websocket *, const char *p, size_t pn, const char *d,
                        size_t dn) {
        auto *r = of(u);
        {
            std::lock_guard lock(r->mu);
            r->protocol.assign(p, pn);
            r->detail.assign(d, dn);
        }
        r->add("open");
    }
    static void on_message(void *u, ks_websocket *, uint32_t type, uint32_t, const uint8_t *data,
                           size_t len) {
        of(u)->add((type == KS_MESSAGE_TEXT ? "text:" : "binary:") +
                   std::string(reinterpret_cast<const char *>(data), len));
    }
    static void on_closing(void *u, ks_websocket *) { of(u)->add("closing"); }
    static void on_closed(void *u, ks_websocket *, uint32_t, uint32_t code, const char *reason,
                          size_t len) {
        auto *r = of(u);
        {
            std::lock_guard lock(r->mu);
            r->close_code = code;
        }
        r->add("closed:" + std::to_string(code) + ":" + std::string(reason, len), true);
    }
    static void on_error(void *u, ks_websocket *, uint32_t status, int32_t net, int32_t response,
                         const char *, size_t) {
        auto *r = of(u);
        {
            std::lock_guard lock(r->mu);
            r->status = status;
            r->net_error = net;
            r->response_code = response;
        }
        r->add("error:" + std::to_string(status), true);
    }
};

struct EngineDeleter {
    void operator()(ks_engine *e) const { ks_engine_release(e); }
};
struct WsDeleter {
    void operator()(ks_websocket *w) const { ks_websocket_release(w); }
};
using EnginePtr = std::unique_ptr<ks_engine, EngineDeleter>;
using WsPtr = std::unique_ptr<ks_websocket, WsDeleter>;

EnginePtr engine() {
    ks_engine *e = nullptr;
    EXPECT_EQ(make_engine({}, &e), KS_OK);
    return EnginePtr(e);
}

ks_websocket_config config(const std::string &url, WsRecorder &rec,
                           const std::vector<ks_text> &protocols = {}) {
    ks_websocket_config c{};
    c.struct_size = sizeof c;
    c.abi_version = KS_ABI_VERSION;
    c.url = url.data();
    c.url_len = url.size();
    c.protocols = protocols.empty() ? nullptr : protocols.data();
    c.protocol_count = protocols.size();
    c.callbacks = {sizeof(ks_websocket_callbacks), KS_ABI_VERSION,          &rec,
                   &WsRecorder::on_open,           &WsRecorder::on_message, &WsRecorder::on_closing,
                   &WsRecorder::on_closed,         &WsRecorder::on_error};
    return c;
}

WsPtr open_ws(ks_engine *e, const std::string &url, WsRecorder &rec,
              const std::vector<ks_text> &protocols = {}) {
    ks_websocket *w = nullptr;
    auto c = config(url, rec, protocols);
    EXPECT_EQ(ks_websocket_create(e, &c, &w), KS_OK);
    return WsPtr(w);
}

ks_status send_text(ks_websocket *w, const std::string &s) {
    return ks_websocket_send(w, KS_MESSAGE_TEXT, reinterpret_cast<const uint8_t *>(s.data()),
                             s.size());
}

} // namespace

TEST(CoreWs, OpenEchoCloseWithOneTerminal) {
    WsServer server;
    auto e = engine();
    WsRecorder rec;
    std::vector<ks_text> offered{{"chat", 4}, {"other", 5}};
    auto w = open_ws(e.get(), server.url("/echo"), rec, offered);
    EXPECT_EQ(send_text(w.get(), "early"), KS_INVALID_STATE); // not open yet
    ASSERT_EQ(ks_websocket_start(w.get()), KS_OK);
    EXPECT_EQ(ks_websocket_start(w.get()), KS_INVALID_STATE);
    ASSERT_TRUE(rec.wait_events(1));
    EXPECT_EQ(rec.protocol, "chat");
    EXPECT_EQ(rec.detail.rfind("HTTP/1.1 101 ", 0), 0u) << rec.detail;
    EXPECT_NE(rec.detail.find("\r\nSec-WebSocket-Accept: "), std::string::npos);
    EXPECT_EQ(rec.detail.substr(rec.detail.size() - 4), "\r\n\r\n");

    ASSERT_EQ(send_text(w.get(), "one"), KS_OK);
    ASSERT_EQ(ks_websocket_send(w.get(), KS_MESSAGE_BINARY, nullptr, 0), KS_OK);
    EXPECT_EQ(ks_websocket_send(w.get(), KS_MESSAGE_BINARY + 1, nullptr, 0), KS_INVALID_ARGUMENT);
    EXPECT_EQ(send_text(w.get(), "\xff"), KS_INVALID_ARGUMENT);
    ASSERT_TRUE(rec.wait_events(3));
    EXPECT_EQ(ks_websocket_close(w.get(), 1005, nullptr, 0), KS_INVALID_ARGUMENT);
    ASSERT_EQ(ks_websocket_close(w.get(), 1000, "bye", 3), KS_OK);
    EXPECT_EQ(send_text(w.get(), "late"), KS_INVALID_STATE);
    ASSERT_TRUE(rec.wait_terminal());
    EXPECT_EQ(ks_websocket_cancel(w.get()), KS_OK); // after the end: nothing happens
    w.reset();
    std::this_thread::sleep_for(50ms);
    std::lock_guard lock(rec.mu);
    EXPECT_EQ(rec.events,
              (std::vector<std::string>{"open", "text:one", "binary:", "closed:1000:"}));
    EXPECT_EQ(rec.terminals, 1);
    EXPECT_FALSE(rec.order_violation);
}

TEST(CoreWs, ServerCloseReportsClosingThenClosed) {
    WsServer server;
    auto e = engine();
    WsRecorder rec;
    auto w = open_ws(e.get(), server.url("/close"), rec);
    ASSERT_EQ(ks_websocket_start(w.get()), KS_OK);
    ASSERT_TRUE(rec.wait_terminal());
    std::lock_guard lock(rec.mu);
    EXPECT_EQ(rec.events, (std::vector<std::string>{"open", "closing", "closed:4000:srv"}));
}

TEST(CoreWs, ReleaseEndsWithOneTerminalAndUnstartedIsSilent) {
    WsServer server;
    auto e = engine();
    WsRecorder started, idle;
    auto a = open_ws(e.get(), server.url("/echo"), started);
    auto b = open_ws(e.get(), server.url("/echo"), idle);
    ASSERT_EQ(ks_websocket_start(a.get()), KS_OK);
    ASSERT_TRUE(started.wait_events(1));
    a.reset(); // released while open
    b.reset(); // released before it started
    ASSERT_TRUE(started.wait_terminal());
    std::this_thread::sleep_for(100ms);
    std::lock_guard lock(started.mu);
    EXPECT_EQ(started.terminals, 1);
    EXPECT_EQ(started.status, uint32_t(KS_CANCELED));
    EXPECT_FALSE(started.order_violation);
    EXPECT_TRUE(idle.events.empty());
}

TEST(CoreWs, EngineReleaseEndsLiveConnectionsAndRefusesStarts) {
    WsServer server;
    auto e = engine();
    WsRecorder live, later;
    auto a = open_ws(e.get(), server.url("/echo"), live);
    auto b = open_ws(e.get(), server.url("/echo"), later);
    ASSERT_EQ(ks_websocket_start(a.get()), KS_OK);
    ASSERT_TRUE(live.wait_events(1));
    e.reset();
    ASSERT_TRUE(live.wait_terminal());
    EXPECT_EQ(live.status, uint32_t(KS_CANCELED));
    EXPECT_EQ(live.net_error, -3);
    EXPECT_NE(ks_websocket_start(b.get()), KS_OK);
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(later.events.empty());
}

// Echoes sent and awaited by callers running the loop themselves, while another thread uses a
// second connection of the same engine through the network thread.
TEST(CoreWs, CallersRunTheLoopForSendAndReceive) {
    WsServer server;
    auto e = engine();
    WsRecorder mine, theirs;
    auto w = open_ws(e.get(), server.url("/echo"), mine);
    auto other = open_ws(e.get(), server.url("/echo"), theirs);
    auto events_at_least = [](WsRecorder &rec, size_t n) {
        std::lock_guard lock(rec.mu);
        return rec.events.size() >= n;
    };
    struct Wait {
        WsRecorder *rec;
        size_t n;
        decltype(events_at_least) *check;
    };
    auto ready = [](void *arg) -> int {
        auto *w = static_cast<Wait *>(arg);
        return (*w->check)(*w->rec, w->n);
    };
    EXPECT_EQ(ks_websocket_run_until(w.get(), ready, nullptr), KS_INVALID_STATE); // unstarted
    ASSERT_EQ(ks_websocket_start(w.get()), KS_OK);
    ASSERT_EQ(ks_websocket_start(other.get()), KS_OK);
    ASSERT_TRUE(mine.wait_events(1));
    ASSERT_TRUE(theirs.wait_events(1));
    std::thread background([&] {
        for (size_t i = 1; i <= 50; ++i)
            if (send_text(other.get(), "b") != KS_OK || !theirs.wait_events(i + 1))
                return;
    });
    for (size_t i = 1; i <= 50; ++i) {
        std::string text = "m" + std::to_string(i);
        ASSERT_EQ(ks_websocket_send_and_run(w.get(), KS_MESSAGE_TEXT,
                                            reinterpret_cast<const uint8_t *>(text.data()),
                                            text.size()),
                  KS_OK);
        Wait wait{&mine, i + 1, &events_at_least};
        ks_status st = ks_websocket_run_until(w.get(), ready, &wait);
        EXPECT_TRUE(st == KS_OK || st == KS_INVALID_STATE) << st;
        ASSERT_TRUE(mine.wait_events(i + 1));
        std::lock_guard lock(mine.mu);
        EXPECT_EQ(mine.events.back(), "text:" + text);
    }
    background.join();
    EXPECT_TRUE(theirs.wait_events(51));
    for (auto *ws : {w.get(), other.get()})
        ASSERT_EQ(ks_websocket_close(ws, 1000, nullptr, 0), KS_OK);
    ASSERT_TRUE(mine.wait_terminal()); // before the recorders go
    ASSERT_TRUE(theirs.wait_terminal());
    EXPECT_FALSE(mine.order_violation);
}

TEST(CoreWs, CreateChecksTheRecord) {
    auto e = engine();
    WsRecorder rec;
    ks_websocket *w = nullptr;
    std::string url = "ws://127.0.0.1:1/";
    auto c = config(url, rec);
    c.struct_size = sizeof c - 8;
    EXPECT_EQ(ks_websocket_create(e.get(), &c, &w), KS_INVALID_ARGUMENT);
    c = config(url, rec);
    c.abi_version = 7;
    EXPECT_EQ(ks_websocket_create(e.get(), &c, &w), KS_UNSUPPORTED_ABI);
    c = config(url, rec);
    c.callbacks.on_error = nullptr;
    EXPECT_EQ(ks_websocket_create(e.get(), &c, &w), KS_INVALID_ARGUMENT);
    std::string bad = "http//nothing";
    c = config(bad, rec);
    EXPECT_EQ(ks_websocket_create(e.get(), &c, &w), KS_INVALID_ARGUMENT);
    EXPECT_EQ(w, nullptr);

    // Nothing listens on port 1: a connection error, with no response code.
    auto ok = open_ws(e.get(), url, rec);
    ASSERT_EQ(ks_websocket_start(ok.get()), KS_OK);
    ASSERT_TRUE(rec.wait_terminal());
    EXPECT_EQ(rec.status, uint32_t(KS_NETWORK));
    EXPECT_EQ(rec.net_error, -102);
    EXPECT_EQ(rec.response_code, 0);
}
