// The Core through its C interface against a scripted local server.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "core_client.hpp"
#include "test_server.hpp"

using namespace kestrin_test;
using namespace std::chrono_literals;

namespace {

struct EngineDeleter {
    void operator()(ks_engine *e) const { ks_engine_release(e); }
};
struct RequestDeleter {
    void operator()(ks_request *r) const { ks_request_release(r); }
};
using EnginePtr = std::unique_ptr<ks_engine, EngineDeleter>;
using RequestPtr = std::unique_ptr<ks_request, RequestDeleter>;

EnginePtr engine(const EngineOptions &o = {}) {
    ks_engine *e = nullptr;
    EXPECT_EQ(make_engine(o, &e), KS_OK);
    return EnginePtr(e);
}

RequestPtr request(ks_engine *e, const std::string &url, Recorder &rec,
                   const RequestOptions &o = {}) {
    ks_request *r = nullptr;
    EXPECT_EQ(make_request(e, url, o, rec, &r), KS_OK);
    return RequestPtr(r);
}

// Runs one request to completion and returns its recorder's findings.
void run(ks_engine *e, const std::string &url, Recorder &rec, const RequestOptions &o = {}) {
    auto r = request(e, url, rec, o);
    ASSERT_EQ(ks_request_start(r.get()), KS_OK);
    ASSERT_TRUE(rec.wait_complete());
    EXPECT_FALSE(rec.order_violation);
    EXPECT_EQ(rec.completes, 1);
}

std::string echo(const HttpRequest &req) {
    std::string out = req.method + " " + req.target + "\n";
    for (const auto &[n, v] : req.headers)
        out += n + ": " + v + "\n";
    out += "\n" + req.body;
    return out;
}

} // namespace

TEST(CoreHttp, GetDeliversRawHeadAndBody) {
    TestServer server([](const HttpRequest &req, Conn &c) {
        c.send("HTTP/1.1 200 Fine\r\nX-Odd:  spaced \r\nContent-Length: 5\r\n\r\nhello");
        (void)req;
    });
    auto e = engine();
    Recorder rec;
    run(e.get(), server.url("/a"), rec);
    EXPECT_EQ(rec.complete_status, 0u);
    EXPECT_EQ(rec.status, 200);
    EXPECT_EQ(rec.head, "HTTP/1.1 200 Fine\r\nX-Odd:  spaced \r\nContent-Length: 5\r\n\r\n");
    EXPECT_EQ(rec.body, "hello");
}

TEST(CoreHttp, MethodsBodiesAndDefaultHeaders) {
    TestServer server([](const HttpRequest &req, Conn &c) { c.send(response(200, echo(req))); });
    EngineOptions eo;
    eo.user_agent = "unit-agent/1";
    eo.accept_language = "de";
    auto e = engine(eo);
    {
        Recorder rec;
        RequestOptions o;
        o.method = "POST";
        o.body = std::string("a\0b", 3);
        o.body_kind = KS_BODY_BYTES;
        run(e.get(), server.url("/p"), rec, o);
        EXPECT_EQ(rec.body.substr(0, 8), "POST /p\n");
        EXPECT_NE(rec.body.find("Content-Length: 3\n"), std::string::npos);
        EXPECT_EQ(rec.body.find("Content-Type"), std::string::npos);
        EXPECT_EQ(rec.body.find("Expect"), std::string::npos);
        EXPECT_EQ(rec.body.substr(rec.body.size() - 3), std::string("a\0b", 3));
        EXPECT_NE(rec.body.find("User-Agent: unit-agent/1\n"), std::string::npos);
        EXPECT_NE(rec.body.find("Accept-Language: de\n"), std::string::npos);
    }
    {
        Recorder rec;
        RequestOptions o;
        o.method = "DELETE";
        o.headers = {{"User-Agent", "mine"}, {"X-Empty", ""}, {"X-Two", "1"}, {"X-Two", "2"}};
        run(e.get(), server.url("/d"), rec, o);
        EXPECT_EQ(rec.body.substr(0, 9), "DELETE /d");
        EXPECT_NE(rec.body.find("User-Agent: mine\n"), std::string::npos);
        EXPECT_EQ(rec.body.find("unit-agent"), std::string::npos);
        EXPECT_NE(rec.body.find("X-Empty: \n"), std::string::npos);
        EXPECT_NE(rec.body.find("X-Two: 1\nX-Two: 2\n"), std::string::npos);
    }
    {
        Recorder rec;
        RequestOptions o;
        o.method = "HEAD";
        auto r = request(e.get(), server.url("/h"), rec, o);
        ASSERT_EQ(ks_request_start(r.get()), KS_OK);
        ASSERT_TRUE(rec.wait_complete());
        EXPECT_EQ(rec.complete_status, 0u);
        EXPECT_EQ(rec.status, 200);
        EXPECT_TRUE(rec.body.empty());
    }
    {
        // Transfers reuse handles: nothing of the POST or HEAD before may carry over.
        Recorder rec;
        run(e.get(), server.url("/g"), rec);
        EXPECT_EQ(rec.body.substr(0, 7), "GET /g\n");
        EXPECT_EQ(rec.body.find("Content-Length"), std::string::npos);
        EXPECT_EQ(rec.body.find("X-Two"), std::string::npos);
    }
}

TEST(CoreHttp, CreateRefusesMalformedRequests) {
    auto e = engine();
    Recorder rec;
    ks_request *r = nullptr;
    RequestOptions o;
    EXPECT_EQ(make_request(e.get(), "ftp://127.0.0.1/x", o, rec, &r), KS_INVALID_ARGUMENT);
    EXPECT_EQ(make_request(e.get(), "not a url", o, rec, &r), KS_INVALID_ARGUMENT);
    o.method = "GE T";
    EXPECT_EQ(make_request(e.get(), "http://127.0.0.1/", o, rec, &r), KS_INVALID_ARGUMENT);
    o.method = "GET";
    o.headers = {{"X-Bad", "a\r\nInjected: 1"}};
    EXPECT_EQ(make_request(e.get(), "http://127.0.0.1/", o, rec, &r), KS_INVALID_ARGUMENT);
    o.headers.clear();
    o.cache_mode = KS_CACHE_ONLY_IF_CACHED + 1;
    EXPECT_EQ(make_request(e.get(), "http://127.0.0.1/", o, rec, &r), KS_INVALID_ARGUMENT);
    // A well-formed record without on_complete, which the network thread would call.
    ks_request_config c{};
    c.struct_size = sizeof c;
    c.abi_version = KS_ABI_VERSION;
    c.callbacks.struct_size = sizeof c.callbacks;
    c.callbacks.abi_version = KS_ABI_VERSION;
    c.url = "http://127.0.0.1/";
    c.url_len = std::strlen(c.url);
    c.method = "GET";
    c.method_len = 3;
    EXPECT_EQ(ks_request_create(e.get(), &c, &r), KS_INVALID_ARGUMENT);
    EXPECT_EQ(r, nullptr);
}

TEST(CoreHttp, StartTwiceAndUnstartedReleaseAreQuiet) {
    TestServer server([](const HttpRequest &, Conn &c) { c.send(response(200, "x")); });
    auto e = engine();
    Recorder quiet;
    request(e.get(), server.url("/"), quiet).reset(); // released unstarted
    Recorder rec;
    auto r = request(e.get(), server.url("/"), rec);
    ASSERT_EQ(ks_request_start(r.get()), KS_OK);
    EXPECT_EQ(ks_request_start(r.get()), KS_INVALID_STATE);
    ASSERT_TRUE(rec.wait_complete());
    EXPECT_EQ(ks_request_resume_read(r.get()), KS_OK); // harmless after the end
    EXPECT_EQ(ks_request_cancel(r.get()), KS_OK);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(rec.completes, 1);
    EXPECT_EQ(quiet.completes + quiet.responses, 0);
}

TEST(CoreHttp, ConnectionFailuresMapToNetErrors) {
    uint16_t dead_port;
    {
        TestServer s([](const HttpRequest &, Conn &) {});
        dead_port = s.port();
    }
    auto e = engine();
    Recorder rec;
    run(e.get(), "http://127.0.0.1:" + std::to_string(dead_port) + "/", rec);
    EXPECT_EQ(rec.complete_status, uint32_t(KS_NETWORK));
    EXPECT_EQ(rec.net_error, -102);
}

TEST(CoreHttp, BrokenBodiesMapToNetErrors) {
    TestServer server([](const HttpRequest &req, Conn &c) {
        if (req.target == "/reset") {
            c.send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\npartial");
            std::this_thread::sleep_for(50ms);
            c.reset();
        } else if (req.target == "/short") {
            c.send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\npartial");
            c.close();
        } else if (req.target == "/chunked") {
            c.send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n7\r\npartial\r\n");
            c.close();
        } else {
            c.send("garbage\r\n\r\n");
            c.close();
        }
    });
    auto e = engine();
    struct Case {
        const char *path;
        uint32_t status;
        int32_t net;
    } cases[] = {{"/reset", KS_NETWORK, -101},
                 {"/short", KS_NETWORK, -354},
                 {"/chunked", KS_NETWORK, -355},
                 {"/garbage", KS_PROTOCOL, -370}};
    for (const auto &c : cases) {
        Recorder rec;
        run(e.get(), server.url(c.path), rec);
        EXPECT_EQ(rec.complete_status, c.status) << c.path;
        EXPECT_EQ(rec.net_error, c.net) << c.path;
    }
}

TEST(CoreHttp, TimeoutCancelAndReleaseCompleteOnce) {
    TestServer server([](const HttpRequest &req, Conn &c) {
        if (req.target == "/long")
            return (void)c.send(response(200, "ok"));
        c.send("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nsome");
        std::this_thread::sleep_for(600ms);
        c.close();
    });
    auto e = engine();
    {
        Recorder rec;
        RequestOptions o;
        o.timeout_ms = 150;
        run(e.get(), server.url("/t"), rec, o);
        EXPECT_EQ(rec.complete_status, uint32_t(KS_TIMEOUT));
        EXPECT_EQ(rec.net_error, -7);
    }
    {
        Recorder rec;
        RequestOptions o;
        o.timeout_ms = UINT64_MAX; // the module saturates huge timeouts
        run(e.get(), server.url("/long"), rec, o);
        EXPECT_EQ(rec.complete_status, 0u);
        EXPECT_EQ(rec.body, "ok");
    }
    {
        Recorder rec;
        auto r = request(e.get(), server.url("/c"), rec);
        ASSERT_EQ(ks_request_start(r.get()), KS_OK);
        ASSERT_TRUE(rec.wait_for(5s, [&] { return !rec.body.empty(); }));
        EXPECT_EQ(ks_request_cancel(r.get()), KS_OK);
        ASSERT_TRUE(rec.wait_complete());
        EXPECT_EQ(rec.complete_status, uint32_t(KS_CANCELED));
        EXPECT_EQ(rec.net_error, -3);
        EXPECT_FALSE(rec.order_violation);
    }
    {
        Recorder rec;
        auto r = request(e.get(), server.url("/r"), rec);
        ASSERT_EQ(ks_request_start(r.get()), KS_OK);
        r.reset(); // release while running
        ASSERT_TRUE(rec.wait_complete());
        EXPECT_EQ(rec.complete_status, uint32_t(KS_CANCELED));
    }
}

TEST(CoreHttp, EngineReleaseCancelsRequestsInFlight) {
    TestServer server([](const HttpRequest &, Conn &c) {
        c.send("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n");
        std::this_thread::sleep_for(400ms);
        c.close();
    });
    Recorder a, b;
    auto e = engine();
    auto ra = request(e.get(), server.url("/a"), a);
    auto rb = request(e.get(), server.url("/b"), b);
    ASSERT_EQ(ks_request_start(ra.get()), KS_OK);
    ASSERT_TRUE(a.wait_for(5s, [&] { return a.responses > 0; }));
    e.reset();
    ASSERT_TRUE(a.wait_complete());
    EXPECT_EQ(a.complete_status, uint32_t(KS_CANCELED));
    // The engine is gone: a start is refused and nothing is ever called.
    EXPECT_NE(ks_request_start(rb.get()), KS_OK);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(b.completes, 0);
}

TEST(CoreHttp, BackPressureStopsReadingUntilResume) {
    const std::string big(8 << 20, 'z');
    std::atomic<bool> writer_done{false};
    TestServer server([&](const HttpRequest &, Conn &c) {
        c.send(response(200, big));
        writer_done = true;
    });
    auto e = engine();
    Recorder rec;
    rec.pause_after = 1;
    auto r = request(e.get(), server.url("/big"), rec);
    ASSERT_EQ(ks_request_start(r.get()), KS_OK);
    ASSERT_TRUE(rec.wait_for(5s, [&] { return rec.paused; }));
    std::this_thread::sleep_for(300ms);
    size_t seen;
    {
        std::lock_guard lock(rec.mu);
        seen = rec.body.size();
        EXPECT_LT(seen, size_t(1) << 20);
        EXPECT_EQ(rec.completes, 0);
        rec.paused = false;
        rec.pause_after = SIZE_MAX;
    }
    // The socket stalls: 8 MiB cannot all sit in kernel buffers.
    EXPECT_FALSE(writer_done);
    EXPECT_EQ(ks_request_resume_read(r.get()), KS_OK);
    ASSERT_TRUE(rec.wait_complete());
    EXPECT_EQ(rec.complete_status, 0u);
    EXPECT_EQ(rec.body.size(), big.size());
    EXPECT_FALSE(rec.order_violation);
}

TEST(CoreHttp, ChunkedUploadStreamsAndRejectsMisuse) {
    TestServer server([](const HttpRequest &req, Conn &c) {
        c.send(response(200, (req.chunked ? "chunked:" : "plain:") + req.body));
    });
    auto e = engine();
    Recorder rec;
    RequestOptions o;
    o.method = "POST";
    o.body_kind = KS_BODY_STREAM;
    auto r = request(e.get(), server.url("/up"), rec, o);
    ASSERT_EQ(ks_request_start(r.get()), KS_OK);
    std::string sent;
    std::thread writer([&] {
        std::string piece(300000, 'u');
        for (int i = 0; i < 10; ++i) {
            piece[0] = char('0' + i);
            EXPECT_EQ(ks_request_upload_write(r.get(),
                                              reinterpret_cast<const uint8_t *>(piece.data()),
                                              piece.size(), 0),
                      KS_OK);
            sent += piece;
        }
        EXPECT_EQ(ks_request_upload_write(r.get(), nullptr, 0, 1), KS_OK);
        EXPECT_EQ(ks_request_upload_write(r.get(), reinterpret_cast<const uint8_t *>("x"), 1, 0),
                  KS_INVALID_STATE);
    });
    writer.join();
    ASSERT_TRUE(rec.wait_complete());
    EXPECT_EQ(rec.complete_status, 0u);
    EXPECT_EQ(rec.body, "chunked:" + sent);

    Recorder plain;
    auto p = request(e.get(), server.url("/up"), plain);
    EXPECT_EQ(ks_request_upload_write(p.get(), reinterpret_cast<const uint8_t *>("x"), 1, 1),
              KS_INVALID_STATE);
}

TEST(CoreHttp, RedirectsFollowManualAndError) {
    std::unique_ptr<TestServer> other;
    // Holds the last hop's answer, so that a second follow cannot meet the next hop's wait.
    std::atomic<bool> hold_last_hop{false};
    TestServer server([&](const HttpRequest &req, Conn &c) {
        const std::string &t = req.target;
        if (t.rfind("/r/", 0) == 0) {
            int n = std::stoi(t.substr(3));
            for (int i = 0; n == 1 && hold_last_hop && i < 500; ++i)
                std::this_thread::sleep_for(10ms);
            std::string loc = n > 1 ? "/r/" + std::to_string(n - 1) : "/end";
            c.send(response(302, "moved", {{"Location", loc}}));
        } else if (t == "/303") {
            c.send(response(303, "", {{"Location", "/end"}}));
        } else if (t == "/307") {
            c.send(response(307, "", {{"Location", "/end"}}));
        } else if (t == "/away") {
            c.send(response(301, "", {{"Location", other->url("/end")}}));
        } else if (t == "/loop") {
            c.send(response(308, "", {{"Location", "/loop"}}));
        } else {
            c.send(response(200, echo(req)));
        }
    });
    other = std::make_unique<TestServer>(
        [](const HttpRequest &req, Conn &c) { c.send(response(200, echo(req))); });
    auto e = engine();
    {
        Recorder rec;
        run(e.get(), server.url("/r/3"), rec);
        EXPECT_EQ(rec.complete_status, 0u);
        ASSERT_EQ(rec.hops.size(), 3u);
        EXPECT_EQ(rec.hops[0].status, 302);
        EXPECT_EQ(rec.hops[0].from, server.url("/r/3"));
        EXPECT_EQ(rec.hops[0].to, server.url("/r/2"));
        EXPECT_EQ(rec.hops[2].to, server.url("/end"));
        EXPECT_EQ(rec.hops[0].head.substr(0, 13), "HTTP/1.1 302 ");
        EXPECT_EQ(rec.body.substr(0, 9), "GET /end\n");
    }
    {
        Recorder rec;
        RequestOptions o;
        o.method = "POST";
        o.body = "payload";
        o.body_kind = KS_BODY_BYTES;
        o.headers = {{"Content-Type", "text/plain"}};
        run(e.get(), server.url("/303"), rec, o);
        EXPECT_EQ(rec.body.substr(0, 9), "GET /end\n");
        EXPECT_EQ(rec.body.find("payload"), std::string::npos);
        EXPECT_EQ(rec.body.find("Content-Type"), std::string::npos);
        Recorder keep;
        run(e.get(), server.url("/307"), keep, o);
        EXPECT_EQ(keep.body.substr(0, 10), "POST /end\n");
        EXPECT_NE(keep.body.find("payload"), std::string::npos);
    }
    {
        Recorder rec;
        RequestOptions o;
        o.headers = {{"Authorization", "Bearer x"}, {"Cookie", "a=b"}, {"X-Keep", "1"}};
        run(e.get(), server.url("/away"), rec, o);
        EXPECT_EQ(rec.body.find("Authorization"), std::string::npos);
        EXPECT_EQ(rec.body.find("Cookie"), std::string::npos);
        EXPECT_NE(rec.body.find("X-Keep: 1"), std::string::npos);
        Recorder same;
        run(e.get(), server.url("/r/1"), same, o);
        EXPECT_NE(same.body.find("Authorization: Bearer x"), std::string::npos);
    }
    {
        Recorder rec;
        run(e.get(), server.url("/loop"), rec);
        EXPECT_EQ(rec.complete_status, uint32_t(KS_REDIRECT));
        EXPECT_EQ(rec.net_error, -310);
        EXPECT_EQ(rec.hops.size(), 20u);
    }
    {
        Recorder rec;
        RequestOptions o;
        o.redirect_mode = KS_REDIRECT_ERROR;
        run(e.get(), server.url("/r/2"), rec, o);
        EXPECT_EQ(rec.complete_status, uint32_t(KS_REDIRECT));
        EXPECT_EQ(rec.responses, 0);
    }
    {
        Recorder rec;
        RequestOptions o;
        o.redirect_mode = KS_REDIRECT_MANUAL;
        auto r = request(e.get(), server.url("/r/2"), rec, o);
        EXPECT_EQ(ks_request_follow_redirect(r.get()), KS_INVALID_STATE);
        hold_last_hop = true;
        ASSERT_EQ(ks_request_start(r.get()), KS_OK);
        for (size_t hop = 1; hop <= 2; ++hop) {
            ASSERT_TRUE(rec.wait_for(5s, [&] { return rec.hops.size() == hop; }));
            std::this_thread::sleep_for(30ms);
            EXPECT_EQ(rec.hops.size(), hop); // waits for the decision
            EXPECT_EQ(ks_request_follow_redirect(r.get()), KS_OK);
            EXPECT_EQ(ks_request_follow_redirect(r.get()), KS_INVALID_STATE);
            hold_last_hop = false;
        }
        ASSERT_TRUE(rec.wait_complete());
        EXPECT_EQ(rec.complete_status, 0u);
        EXPECT_EQ(rec.body.substr(0, 9), "GET /end\n");

        Recorder stop;
        auto s = request(e.get(), server.url("/r/2"), stop, o);
        ASSERT_EQ(ks_request_start(s.get()), KS_OK);
        ASSERT_TRUE(stop.wait_for(5s, [&] { return stop.hops.size() == 1; }));
        EXPECT_EQ(ks_request_cancel(s.get()), KS_OK);
        ASSERT_TRUE(stop.wait_complete());
        EXPECT_EQ(stop.complete_status, uint32_t(KS_CANCELED));
    }
}

TEST(CoreHttp, ConnectionsAreReused) {
    TestServer server([](const HttpRequest &, Conn &c) { c.send(response(200, "k")); });
    auto e = engine();
    for (int i = 0; i < 5; ++i) {
        Recorder rec;
        run(e.get(), server.url("/k"), rec);
        EXPECT_EQ(rec.complete_status, 0u);
    }
    EXPECT_EQ(server.connections(), 1);
}

TEST(CoreHttp, ManyConcurrentRequestsOnOneEngine) {
    TestServer server([](const HttpRequest &req, Conn &c) { c.send(response(200, req.target)); });
    auto e = engine();
    constexpr int kCount = 200;
    std::vector<std::unique_ptr<Recorder>> recs;
    std::vector<RequestPtr> reqs;
    for (int i = 0; i < kCount; ++i) {
        recs.push_back(std::make_unique<Recorder>());
        reqs.push_back(request(e.get(), server.url("/n" + std::to_string(i)), *recs.back()));
        ASSERT_EQ(ks_request_start(reqs.back().get()), KS_OK);
    }
    for (int i = 0; i < kCount; ++i) {
        ASSERT_TRUE(recs[i]->wait_complete(20s));
        EXPECT_EQ(recs[i]->complete_status, 0u);
        EXPECT_EQ(recs[i]->body, "/n" + std::to_string(i));
    }
    EXPECT_LE(server.connections(), 6);
}
