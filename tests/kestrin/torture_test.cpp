// Allocation-failure torture of the Core's C interface: a whole request (or WebSocket) path
// runs once per allocation point with exactly that allocation failing, first through libcurl's
// allocator, then through C++ operator new. Every run must end in success or a clean error
// (a status, or exactly one terminal callback), never a crash, a hang, a lost callback or a
// leak (LeakSanitizer checks at exit), and the next run without failures must succeed.
//
// Only the Core's threads and this thread's ks_ calls are counted; the local servers and the
// test's own bookkeeping are exempt. KESTRIN_TORTURE_STRIDE=1 tries every point (by hand);
// the default stride keeps a CI run short.
#include <execinfo.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <kestrin/kestrin.h>

namespace {

// ---- the failure injector -----------------------------------------------------------------

enum class Source { None, Curl, New };

std::atomic<Source> g_source{Source::None};
std::atomic<long> g_target{0}; // the allocation to fail, counted from 1; 0 = disarmed
constexpr long kEveryAllocation = -1;
std::atomic<long> g_count{0};
std::atomic<bool> g_hit{false};
thread_local bool t_exempt = false;

bool fail_now(Source s) {
    if (t_exempt || g_target.load(std::memory_order_relaxed) == 0 ||
        g_source.load(std::memory_order_relaxed) != s)
        return false;
    long n = g_count.fetch_add(1) + 1;
    long target = g_target.load();
    if (n != target && target != kEveryAllocation)
        return false;
    g_hit = true;
    if (std::getenv("KESTRIN_TORTURE_TRACE")) { // where the failure lands, when replaying one
        void *frames[32];
        backtrace_symbols_fd(frames, backtrace(frames, 32), 2);
    }
    return true;
}

void arm(Source s, long n) {
    g_count = 0;
    g_hit = false;
    g_source = s;
    g_target = n;
}

void disarm() {
    g_target = 0;
    g_source = Source::None;
}

// Marks the calling thread's allocations as the test's own while in scope.
struct Exempt {
    bool was = t_exempt;
    Exempt() { t_exempt = true; }
    ~Exempt() { t_exempt = was; }
};

// Counts the enclosed Core call on an otherwise exempt thread.
template <class F> auto counted(F &&f) {
    bool was = t_exempt;
    t_exempt = false;
    auto r = f();
    t_exempt = was;
    return r;
}

void *curl_malloc_hook(size_t n) {
    return fail_now(Source::Curl) ? nullptr : std::malloc(n);
}
void curl_free_hook(void *p) {
    std::free(p);
}
void *curl_realloc_hook(void *p, size_t n) {
    return fail_now(Source::Curl) ? nullptr : std::realloc(p, n);
}
char *curl_strdup_hook(const char *s) {
    if (fail_now(Source::Curl))
        return nullptr;
    size_t n = std::strlen(s) + 1;
    auto *p = static_cast<char *>(std::malloc(n));
    if (p)
        std::memcpy(p, s, n);
    return p;
}
void *curl_calloc_hook(size_t n, size_t size) {
    return fail_now(Source::Curl) ? nullptr : std::calloc(n, size);
}

// Before the Core's own (reference-counted) curl_global_init, so libcurl keeps these.
void install_curl_hooks() {
    static std::once_flag once;
    std::call_once(once, [] {
        ASSERT_EQ(curl_global_init_mem(CURL_GLOBAL_DEFAULT, curl_malloc_hook, curl_free_hook,
                                       curl_realloc_hook, curl_strdup_hook, curl_calloc_hook),
                  CURLE_OK);
    });
}

void *new_impl(size_t n) {
    if (fail_now(Source::New))
        throw std::bad_alloc();
    if (void *p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}

void *new_nothrow_impl(size_t n) noexcept {
    if (fail_now(Source::New))
        return nullptr;
    return std::malloc(n ? n : 1);
}

// ---- local servers ------------------------------------------------------------------------

long thread_count() {
    Exempt ex;
    FILE *f = std::fopen("/proc/self/status", "r");
    if (!f)
        return -1;
    char line[256];
    long n = -1;
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "Threads: %ld", &n) == 1)
            break;
    std::fclose(f);
    return n;
}

namespace asio = boost::asio;
namespace beast = boost::beast;

constexpr size_t kBodySize = 100 * 1024;

// Accepts on 127.0.0.1 and serves each connection on a thread of its own, exempt from injected
// failures; the destructor stops it.
class ThreadedServer {
  public:
    using Session = std::function<void(asio::ip::tcp::socket)>;
    explicit ThreadedServer(Session session)
        : session_(std::move(session)), acceptor_(io_, {asio::ip::make_address("127.0.0.1"), 0}) {
        port_ = acceptor_.local_endpoint().port();
        thread_ = std::thread([this] {
            t_exempt = true;
            accept_loop();
        });
    }
    ~ThreadedServer() {
        stop_ = true;
        boost::system::error_code ec;
        asio::ip::tcp::socket poke(io_);
        poke.connect(acceptor_.local_endpoint(), ec);
        thread_.join();
        for (auto &t : sessions_)
            t.join();
    }
    unsigned short port() const { return port_; }

  private:
    void accept_loop() {
        while (!stop_) {
            asio::ip::tcp::socket s(io_);
            boost::system::error_code ec;
            acceptor_.accept(s, ec);
            if (ec || stop_)
                return;
            sessions_.emplace_back([this, s = std::move(s)]() mutable {
                t_exempt = true;
                session_(std::move(s));
            });
        }
    }

    Session session_;
    asio::io_context io_;
    asio::ip::tcp::acceptor acceptor_;
    unsigned short port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::list<std::thread> sessions_;
};

// Answers every HTTP/1.1 request on a connection with 200 and kBodySize bytes of 'x', closing
// it afterwards. Allocation-free from the injector's point of view.
class HttpServer {
  public:
    HttpServer() : body_(kBodySize, 'x'), server_([this](auto s) { session(std::move(s)); }) {}
    std::string url() const { return "http://127.0.0.1:" + std::to_string(server_.port()) + "/t"; }

  private:
    void session(asio::ip::tcp::socket s) {
        std::string in;
        char buf[4096];
        boost::system::error_code ec;
        while (in.find("\r\n\r\n") == std::string::npos) {
            size_t n = s.read_some(asio::buffer(buf), ec);
            if (ec)
                return;
            in.append(buf, n);
        }
        std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                           std::to_string(body_.size()) + "\r\nConnection: close\r\n\r\n";
        asio::write(s, asio::buffer(head), ec);
        if (!ec)
            asio::write(s, asio::buffer(body_), ec);
        s.shutdown(asio::ip::tcp::socket::shutdown_send, ec);
        // Wait for the client to close so the response is never cut by a reset.
        while (!ec)
            s.read_some(asio::buffer(buf), ec);
    }

    std::string body_;
    ThreadedServer server_;
};

// Echoes every WebSocket message.
class WsEchoServer {
  public:
    WsEchoServer() : server_(&echo) {}
    std::string url() const { return "ws://127.0.0.1:" + std::to_string(server_.port()) + "/echo"; }

  private:
    static void echo(asio::ip::tcp::socket s) {
        try {
            beast::websocket::stream<asio::ip::tcp::socket> ws(std::move(s));
            ws.accept();
            for (;;) {
                beast::flat_buffer msg;
                ws.read(msg);
                ws.text(ws.got_text());
                ws.write(msg.data());
            }
        } catch (...) {
        }
    }

    ThreadedServer server_;
};

// ---- recorders (no allocation in the callbacks) -------------------------------------------

struct RequestLog {
    std::mutex mu;
    std::condition_variable cv;
    int responses = 0, completes = 0, status = 0;
    size_t body = 0;
    uint32_t complete_status = 0;
    bool order_violation = false;

    static void on_response(void *p, ks_request *, int32_t status, const uint8_t *, size_t) {
        auto *r = static_cast<RequestLog *>(p);
        std::lock_guard lock(r->mu);
        r->order_violation |= r->completes > 0 || r->responses > 0;
        r->status = status;
        ++r->responses;
    }
    static bool on_body(void *p, ks_request *, const uint8_t *data, size_t len) {
        auto *r = static_cast<RequestLog *>(p);
        std::lock_guard lock(r->mu);
        r->order_violation |= r->completes > 0 || r->responses == 0;
        for (size_t i = 0; i < len; ++i)
            r->order_violation |= data[i] != 'x';
        r->body += len;
        return true;
    }
    static void on_complete(void *p, ks_request *, uint32_t status, int32_t) {
        auto *r = static_cast<RequestLog *>(p);
        std::lock_guard lock(r->mu);
        r->order_violation |= r->completes > 0;
        ++r->completes;
        r->complete_status = status;
        r->cv.notify_all();
    }
    ks_request_callbacks callbacks() {
        ks_request_callbacks cb{};
        cb.struct_size = sizeof cb;
        cb.abi_version = KS_ABI_VERSION;
        cb.user_data = this;
        cb.on_response = &on_response;
        cb.on_body = &on_body;
        cb.on_complete = &on_complete;
        return cb;
    }
};

struct WsLog {
    std::mutex mu;
    std::condition_variable cv;
    int opens = 0, messages = 0, terminals = 0;
    bool echo_ok = false, clean_close = false, order_violation = false;
    uint32_t error_status = 0;

    static WsLog *of(void *p) { return static_cast<WsLog *>(p); }
    static void on_open(void *p, ks_websocket *, const char *, size_t, const char *, size_t) {
        auto *w = of(p);
        std::lock_guard lock(w->mu);
        w->order_violation |= w->terminals > 0 || w->opens > 0;
        ++w->opens;
        w->cv.notify_all();
    }
    static void on_message(void *p, ks_websocket *, uint32_t type, uint32_t, const uint8_t *data,
                           size_t len) {
        auto *w = of(p);
        std::lock_guard lock(w->mu);
        w->order_violation |= w->terminals > 0 || w->opens == 0;
        ++w->messages;
        w->echo_ok = type == KS_MESSAGE_TEXT && len == 5 && std::memcmp(data, "hello", 5) == 0;
        w->cv.notify_all();
    }
    static void on_closing(void *p, ks_websocket *) {
        auto *w = of(p);
        std::lock_guard lock(w->mu);
        w->order_violation |= w->terminals > 0;
    }
    static void on_closed(void *p, ks_websocket *, uint32_t clean, uint32_t code, const char *,
                          size_t) {
        auto *w = of(p);
        std::lock_guard lock(w->mu);
        w->order_violation |= w->terminals > 0;
        ++w->terminals;
        w->clean_close = clean && code == 1000;
        w->cv.notify_all();
    }
    static void on_error(void *p, ks_websocket *, uint32_t status, int32_t, int32_t, const char *,
                         size_t) {
        auto *w = of(p);
        std::lock_guard lock(w->mu);
        w->order_violation |= w->terminals > 0;
        ++w->terminals;
        w->error_status = status;
        w->cv.notify_all();
    }
    ks_websocket_callbacks callbacks() {
        ks_websocket_callbacks cb{};
        cb.struct_size = sizeof cb;
        cb.abi_version = KS_ABI_VERSION;
        cb.user_data = this;
        cb.on_open = &on_open;
        cb.on_message = &on_message;
        cb.on_closing = &on_closing;
        cb.on_closed = &on_closed;
        cb.on_error = &on_error;
        return cb;
    }
};

// Configurations for `url`, which must outlive them.
ks_request_config get_config(const std::string &url, RequestLog &log) {
    ks_request_config c{};
    c.struct_size = sizeof c;
    c.abi_version = KS_ABI_VERSION;
    c.url = url.data();
    c.url_len = url.size();
    c.method = "GET";
    c.method_len = 3;
    c.callbacks = log.callbacks();
    return c;
}

ks_websocket_config ws_config(const std::string &url, WsLog &log) {
    ks_websocket_config c{};
    c.struct_size = sizeof c;
    c.abi_version = KS_ABI_VERSION;
    c.url = url.data();
    c.url_len = url.size();
    c.callbacks = log.callbacks();
    return c;
}

// ---- one run of a path --------------------------------------------------------------------

constexpr auto kLimit = std::chrono::seconds(10);

// What one run ended with: "ok", or where it failed cleanly ("engine:3", "complete:8", ...).
// An empty fault means the run was clean.
struct Outcome {
    std::string ending, fault;
};

bool allowed_create_status(ks_status s) {
    return s == KS_OUT_OF_MEMORY || s == KS_INITIALIZATION_FAILED;
}

ks_engine *create_engine(Outcome &out) {
    ks_engine_config c{};
    c.struct_size = sizeof c;
    c.abi_version = KS_ABI_VERSION;
    c.cache_disabled = 1;
    ks_engine *engine = nullptr;
    ks_status st = counted([&] { return ks_engine_create(&c, &engine); });
    if (st != KS_OK) {
        out.ending = "engine:" + std::to_string(st);
        if (!allowed_create_status(st))
            out.fault = "ks_engine_create gave status " + std::to_string(st);
        return nullptr;
    }
    return engine;
}

// Waits for the Core's network threads to end after an engine release: one left running is
// a hang, and would hide what it holds from the leak check.
void await_threads(long baseline, Outcome &out) {
    auto until = std::chrono::steady_clock::now() + kLimit;
    while (thread_count() > baseline) {
        if (std::chrono::steady_clock::now() > until) {
            if (out.fault.empty())
                out.fault = "a Core thread did not end after ks_engine_release";
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

Outcome http_run(const std::string &url, long baseline) {
    Outcome out;
    ks_engine *engine = create_engine(out);
    if (!engine)
        return out;
    RequestLog log;
    ks_request_config c = get_config(url, log);
    ks_request *req = nullptr;
    ks_status st = counted([&] { return ks_request_create(engine, &c, &req); });
    if (st != KS_OK) {
        out.ending = "request:" + std::to_string(st);
        if (st != KS_OUT_OF_MEMORY)
            out.fault = "ks_request_create gave status " + std::to_string(st);
    } else {
        st = counted([&] { return ks_request_start(req); });
        if (st != KS_OK) {
            out.ending = "start:" + std::to_string(st);
            if (st != KS_OUT_OF_MEMORY)
                out.fault = "ks_request_start gave status " + std::to_string(st);
        } else {
            std::unique_lock lock(log.mu);
            if (!log.cv.wait_for(lock, kLimit, [&] { return log.completes > 0; })) {
                out.fault = "no on_complete";
            } else if (log.complete_status == KS_OK) {
                out.ending = "ok";
                if (log.status != 200 || log.body != kBodySize)
                    out.fault = "success with status " + std::to_string(log.status) + " and " +
                                std::to_string(log.body) + " body bytes";
            } else {
                out.ending = "complete:" + std::to_string(log.complete_status);
            }
        }
        counted([&] {
            ks_request_release(req);
            return 0;
        });
    }
    counted([&] {
        ks_engine_release(engine);
        return 0;
    });
    await_threads(baseline, out);
    std::lock_guard lock(log.mu);
    if (log.completes > 1 || log.order_violation)
        out.fault = "callbacks out of order or repeated";
    return out;
}

Outcome ws_run(const std::string &url, long baseline) {
    Outcome out;
    ks_engine *engine = create_engine(out);
    if (!engine)
        return out;
    WsLog log;
    ks_websocket_config c = ws_config(url, log);
    ks_websocket *ws = nullptr;
    // Send and close may also find the connection already ended by an earlier failure.
    auto step_failed = [&](const char *what, ks_status s) {
        out.ending = std::string(what) + ":" + std::to_string(s);
        bool ended = s == KS_INVALID_STATE && std::string_view(what) != "create" &&
                     std::string_view(what) != "start";
        if (s != KS_OUT_OF_MEMORY && !ended)
            out.fault = std::string("ks_websocket_") + what + " gave status " + std::to_string(s);
    };
    auto wait = [&](auto pred) {
        std::unique_lock lock(log.mu);
        return log.cv.wait_for(lock, kLimit, [&] { return pred() || log.terminals > 0; });
    };
    ks_status st = counted([&] { return ks_websocket_create(engine, &c, &ws); });
    if (st != KS_OK) {
        step_failed("create", st);
    } else {
        bool started = false;
        st = counted([&] { return ks_websocket_start(ws); });
        if (st != KS_OK) {
            step_failed("start", st);
        } else {
            started = true;
            if (!wait([&] { return log.opens > 0; })) {
                out.fault = "neither on_open nor a terminal callback";
            } else if (log.terminals == 0) {
                st = counted([&] {
                    return ks_websocket_send(ws, KS_MESSAGE_TEXT,
                                             reinterpret_cast<const uint8_t *>("hello"), 5);
                });
                if (st != KS_OK)
                    step_failed("send", st);
                else if (!wait([&] { return log.messages > 0; }))
                    out.fault = "no echo and no terminal callback";
                st = counted([&] { return ks_websocket_close(ws, 1000, "bye", 3); });
                if (st != KS_OK) {
                    if (out.ending.empty())
                        step_failed("close", st);
                    counted([&] { return ks_websocket_cancel(ws); });
                }
            }
        }
        if (started && !wait([] { return false; }) && out.fault.empty())
            out.fault = "no terminal callback";
        if (out.ending.empty()) {
            std::lock_guard lock(log.mu);
            if (log.clean_close && log.echo_ok)
                out.ending = "ok";
            else
                out.ending = log.error_status ? "error:" + std::to_string(log.error_status)
                                              : std::string("closed");
        }
        counted([&] {
            ks_websocket_release(ws);
            return 0;
        });
    }
    counted([&] {
        ks_engine_release(engine);
        return 0;
    });
    await_threads(baseline, out);
    std::lock_guard lock(log.mu);
    if (log.terminals > 1 || log.order_violation)
        out.fault = "callbacks out of order or repeated";
    return out;
}

long stride(long fallback) {
    const char *s = std::getenv("KESTRIN_TORTURE_STRIDE");
    long v = s ? std::atol(s) : fallback;
    return v > 0 ? v : 1;
}

// Fails allocation 1, 1 + stride, ... of `source` during `run` until a run completes without
// reaching its target; checks after each that an unarmed run succeeds.
template <class Run> void torture(Source source, long default_stride, Run run) {
    Exempt ex;
    install_curl_hooks();
    long baseline = thread_count();
    ASSERT_EQ(run(baseline).ending, "ok") << "the path fails without injected failures";
    const long step = stride(default_stride);
    constexpr long kMaxPoints = 200000;
    long tried = 0, last = 0, faults = 0;
    constexpr long kMaxFaults = 10; // enough to see a pattern without waiting out every hang
    std::map<std::string, int> endings;
    const char *from = std::getenv("KESTRIN_TORTURE_FROM"); // to replay one point by hand
    for (long n = from ? std::max(1L, std::atol(from)) : 1; n < kMaxPoints; n += step) {
        arm(source, n);
        Outcome o = run(baseline);
        disarm();
        bool hit = g_hit;
        EXPECT_TRUE(o.fault.empty()) << "allocation " << n << ": " << o.fault;
        Outcome next = run(baseline);
        EXPECT_EQ(next.ending, "ok")
            << "after failing allocation " << n << " (" << o.ending << "): " << next.fault;
        if (!o.fault.empty() || next.ending != "ok") {
            if (++faults >= kMaxFaults)
                break;
            baseline = thread_count(); // report a stuck thread once, not at every later point
        }
        if (!hit)
            break;
        ++tried;
        last = n;
        ++endings[o.ending];
    }
    std::string summary;
    for (const auto &[e, count] : endings)
        summary += " " + e + "=" + std::to_string(count);
    std::printf("[torture] %ld points tried (stride %ld, last %ld):%s\n", tried, step, last,
                summary.c_str());
    EXPECT_GT(tried, 0);
}

TEST(Torture, CurlAllocatorHttpRequest) {
    HttpServer server;
    std::string url = server.url();
    torture(Source::Curl, 1, [&](long baseline) { return http_run(url, baseline); });
}

TEST(Torture, OperatorNewHttpRequest) {
    HttpServer server;
    std::string url = server.url();
    torture(Source::New, 1, [&](long baseline) { return http_run(url, baseline); });
}

// Also the regression test for a Beast operation that ran out of memory mid-close and left
// the operations it had parked holding the connection and the engine's loop.
TEST(Torture, OperatorNewWebSocket) {
    WsEchoServer server;
    std::string url = server.url();
    torture(Source::New, 1, [&](long baseline) { return ws_run(url, baseline); });
}

// A peer that takes a connection (and a WebSocket handshake, if asked) and then stays silent,
// reporting when the client closes the connection.
class SilentPeer {
  public:
    explicit SilentPeer(bool websocket)
        : server_([this, websocket](asio::ip::tcp::socket s) { hold(std::move(s), websocket); }) {}
    std::string url(const char *scheme) const {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(server_.port()) + "/hold";
    }
    bool wait_connected() {
        return wait([this] { return connected_; });
    }
    bool wait_closed() {
        return wait([this] { return closed_; });
    }

  private:
    void hold(asio::ip::tcp::socket s, bool websocket) {
        boost::system::error_code ec;
        if (websocket) {
            beast::websocket::stream<asio::ip::tcp::socket> ws(std::move(s));
            ws.accept(ec);
            if (!ec)
                signal(connected_);
            beast::flat_buffer msg;
            while (!ec)
                ws.read(msg, ec);
        } else {
            std::string in;
            char buf[4096];
            while (!ec && in.find("\r\n\r\n") == std::string::npos) {
                size_t n = s.read_some(asio::buffer(buf), ec);
                in.append(buf, n);
            }
            if (!ec)
                signal(connected_);
            while (!ec)
                s.read_some(asio::buffer(buf), ec);
        }
        signal(closed_);
    }
    void signal(bool &flag) {
        std::lock_guard lock(mu_);
        flag = true;
        cv_.notify_all();
    }
    template <class P> bool wait(P pred) {
        std::unique_lock lock(mu_);
        return cv_.wait_for(lock, kLimit, pred);
    }

    std::mutex mu_;
    std::condition_variable cv_;
    bool connected_ = false, closed_ = false;
    ThreadedServer server_;
};

// Releasing a request or WebSocket while no memory can be had: the abort it queues must still
// reach the network thread, or the connection stays open until the engine goes.
TEST(Torture, ReleaseWithoutMemory) {
    Exempt ex;
    install_curl_hooks();
    long baseline = thread_count();
    for (bool websocket : {false, true}) {
        SCOPED_TRACE(websocket ? "websocket" : "request");
        auto peer = std::make_unique<SilentPeer>(websocket);
        Outcome out;
        ks_engine *engine = create_engine(out);
        ASSERT_NE(engine, nullptr);
        RequestLog rlog;
        WsLog wlog;
        std::string url = peer->url(websocket ? "ws" : "http");
        ks_request *req = nullptr;
        ks_websocket *ws = nullptr;
        if (websocket) {
            ks_websocket_config c = ws_config(url, wlog);
            ASSERT_EQ(ks_websocket_create(engine, &c, &ws), KS_OK);
            ASSERT_EQ(ks_websocket_start(ws), KS_OK);
        } else {
            ks_request_config c = get_config(url, rlog);
            ASSERT_EQ(ks_request_create(engine, &c, &req), KS_OK);
            ASSERT_EQ(ks_request_start(req), KS_OK);
        }
        ASSERT_TRUE(peer->wait_connected());
        // Every allocation fails during the release, the network thread's too until disarmed.
        arm(Source::New, kEveryAllocation);
        counted([&] {
            if (websocket)
                ks_websocket_release(ws);
            else
                ks_request_release(req);
            return 0;
        });
        disarm();
        EXPECT_TRUE(peer->wait_closed()) << "the connection outlived its release";
        ks_engine_release(engine);
        peer.reset();
        await_threads(baseline, out);
        EXPECT_TRUE(out.fault.empty()) << out.fault;
    }
}

} // namespace

// Replaced for the whole binary: the Core's allocations reach the injector through these.
// Asio takes its handlers' memory from aligned_alloc, not operator new.
extern "C" void *aligned_alloc(size_t align, size_t n) {
    if (fail_now(Source::New))
        return nullptr;
    void *p = nullptr;
    return posix_memalign(&p, std::max(align, sizeof(void *)), n) == 0 ? p : nullptr;
}
void *operator new(size_t n) {
    return new_impl(n);
}
void *operator new[](size_t n) {
    return new_impl(n);
}
void *operator new(size_t n, const std::nothrow_t &) noexcept {
    return new_nothrow_impl(n);
}
void *operator new[](size_t n, const std::nothrow_t &) noexcept {
    return new_nothrow_impl(n);
}
void operator delete(void *p) noexcept {
    std::free(p);
}
void operator delete[](void *p) noexcept {
    std::free(p);
}
void operator delete(void *p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void *p, size_t) noexcept {
    std::free(p);
}
void operator delete(void *p, const std::nothrow_t &) noexcept {
    std::free(p);
}
void operator delete[](void *p, const std::nothrow_t &) noexcept {
    std::free(p);
}
