// A waiting thread running the engine's loop itself (kestrin_run.h), alone and mixed with the
// network thread, other runners and an engine release.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <kestrin/kestrin_run.h>

#include "core_client.hpp"
#include "test_server.hpp"

using namespace kestrin_test;
using namespace std::chrono_literals;

namespace {

int complete(void *arg) {
    auto *rec = static_cast<Recorder *>(arg);
    std::lock_guard lock(rec->mu);
    return rec->completes > 0;
}

int has_head(void *arg) {
    auto *rec = static_cast<Recorder *>(arg);
    std::lock_guard lock(rec->mu);
    return rec->responses > 0 || rec->completes > 0;
}

} // namespace

TEST(CoreRunLoop, CallerRunsItsRequestToTheEnd) {
    TestServer server([](const HttpRequest &req, Conn &c) {
        if (req.target == "/slow")
            std::this_thread::sleep_for(50ms); // the head arrives while nobody runs the loop
        c.send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n");
        if (req.target == "/slow")
            std::this_thread::sleep_for(20ms);
        c.send("hello");
    });
    ks_engine *e = nullptr;
    ASSERT_EQ(make_engine({}, &e), KS_OK);
    // The network thread may hold the loop for a moment (ready events while nobody ran it):
    // then the calls return without running it, and the callbacks come from that thread.
    int ran_here = 0;
    for (const char *path : {"/fast", "/slow", "/fast"}) {
        Recorder rec;
        ks_request *r = nullptr;
        ASSERT_EQ(make_request(e, server.url(path), {}, rec, &r), KS_OK);
        ASSERT_EQ(ks_request_start_and_run(r, &has_head, &rec), KS_OK);
        ASSERT_TRUE(rec.wait_for(10s, [&] { return rec.responses > 0 || rec.completes > 0; }));
        EXPECT_EQ(ks_request_start_and_run(r, &has_head, &rec), KS_INVALID_STATE);
        ks_status st = ks_request_run_until(r, &complete, &rec);
        if (st != KS_OK) {
            EXPECT_EQ(st, KS_INVALID_STATE);
        }
        ASSERT_TRUE(rec.wait_complete());
        EXPECT_EQ(rec.complete_status, 0u);
        EXPECT_EQ(rec.body, "hello");
        EXPECT_FALSE(rec.order_violation);
        ran_here += rec.complete_thread == std::this_thread::get_id();
        ks_request_release(r);
    }
    EXPECT_GT(ran_here, 0);
    // Ready at once: the start still goes out before the call returns the loop.
    Recorder now;
    ks_request *r = nullptr;
    ASSERT_EQ(make_request(e, server.url("/fast"), {}, now, &r), KS_OK);
    ASSERT_EQ(ks_request_start_and_run(
                  r, [](void *) -> int { return 1; }, nullptr),
              KS_OK);
    ASSERT_TRUE(now.wait_complete());
    EXPECT_EQ(now.complete_status, 0u);
    ks_request_release(r);
    Recorder idle;
    ks_request *unstarted = nullptr;
    ASSERT_EQ(make_request(e, server.url("/fast"), {}, idle, &unstarted), KS_OK);
    EXPECT_EQ(ks_request_run_until(unstarted, &complete, &idle), KS_INVALID_STATE);
    EXPECT_EQ(ks_request_run_until(unstarted, nullptr, &idle), KS_INVALID_ARGUMENT);
    EXPECT_EQ(ks_request_start_and_run(nullptr, &complete, &idle), KS_INVALID_ARGUMENT);
    ks_request_release(unstarted);
    ks_engine_release(e);
}

// Runners and plain starts from several threads at once, a request that stays in flight, and
// the engine released under a runner: every request completes exactly once.
TEST(CoreRunLoop, RunnersShareTheLoopWithTheNetworkThread) {
    std::atomic<bool> stop_hanging{false};
    TestServer server([&](const HttpRequest &req, Conn &c) {
        if (req.target == "/hang") {
            while (!stop_hanging)
                std::this_thread::sleep_for(5ms);
            return;
        }
        c.send(response(200, "x"));
    });
    ks_engine *e = nullptr;
    ASSERT_EQ(make_engine({}, &e), KS_OK);
    Recorder hanging;
    ks_request *hang = nullptr;
    ASSERT_EQ(make_request(e, server.url("/hang"), {}, hanging, &hang), KS_OK);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 40; ++i) {
                Recorder rec;
                ks_request *r = nullptr;
                if (make_request(e, server.url("/x"), {}, rec, &r) != KS_OK) {
                    ++failures;
                    continue;
                }
                ks_status st = (t + i) % 3 ? ks_request_start_and_run(r, &complete, &rec)
                                           : ks_request_start(r);
                if (st != KS_OK || !rec.wait_complete(10s) || rec.complete_status != 0 ||
                    rec.order_violation || rec.completes != 1)
                    ++failures;
                ks_request_release(r);
                if (i == 20 && t == 0)
                    ks_request_start(hang); // from here on the network thread has work
            }
        });
    }
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(failures, 0);
    // Released while a runner waits: the runner returns with the request canceled.
    Recorder last;
    ks_request *r = nullptr;
    ASSERT_EQ(make_request(e, server.url("/hang"), {}, last, &r), KS_OK);
    std::thread releaser([&] {
        std::this_thread::sleep_for(50ms);
        ks_engine_release(e);
    });
    EXPECT_EQ(ks_request_start_and_run(r, &complete, &last), KS_OK);
    releaser.join();
    ASSERT_TRUE(last.wait_complete());
    EXPECT_EQ(last.complete_status, static_cast<uint32_t>(KS_CANCELED));
    ASSERT_TRUE(hanging.wait_complete());
    EXPECT_EQ(hanging.completes, 1);
    stop_hanging = true;
    ks_request_release(r);
    ks_request_release(hang);
}
