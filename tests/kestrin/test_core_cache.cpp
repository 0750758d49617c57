// Cache modes, namespaces and profiles through the C interface.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>

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

struct Result {
    uint32_t status;
    int32_t net;
    int http;
    std::string body;
};

Result fetch(ks_engine *e, const std::string &url, uint32_t cache_mode = 0,
             std::vector<std::pair<std::string, std::string>> headers = {}) {
    Recorder rec;
    RequestOptions o;
    o.cache_mode = cache_mode;
    o.headers = std::move(headers);
    ks_request *r = nullptr;
    EXPECT_EQ(make_request(e, url, o, rec, &r), KS_OK);
    RequestPtr owner(r);
    EXPECT_EQ(ks_request_start(r), KS_OK);
    EXPECT_TRUE(rec.wait_complete());
    EXPECT_FALSE(rec.order_violation);
    return {rec.complete_status, rec.net_error, rec.status, rec.body};
}

enum Mode : uint32_t {
    Default = KS_CACHE_DEFAULT,
    Validate = KS_CACHE_VALIDATE,
    Bypass = KS_CACHE_BYPASS,
    NoStore = KS_CACHE_NO_STORE,
    Force = KS_CACHE_FORCE,
    OnlyIfCached = KS_CACHE_ONLY_IF_CACHED
};

// Counts full answers and 304s per path; bodies carry the full-answer count.
class CacheServer {
  public:
    CacheServer()
        : server([this](const HttpRequest &req, Conn &c) {
              std::lock_guard lock(mu);
              seen_inm = req.header("If-None-Match");
              std::string cc = "max-age=100";
              if (req.target == "/stale")
                  cc = "max-age=0";
              else if (req.target == "/nocache")
                  cc = "no-cache";
              else if (req.target == "/nostore")
                  cc = "no-store";
              if (seen_inm == "\"v1\"") {
                  ++not_modified;
                  c.send("HTTP/1.1 304 Not Modified\r\nETag: \"v1\"\r\nCache-Control: " + cc +
                         "\r\n\r\n");
                  return;
              }
              ++full;
              c.send(response(
                  200, req.target + " #" + std::to_string(full),
                  {{"Cache-Control", cc}, {"ETag", "\"v1\""}, {"Vary", "Accept-Language"}}));
          }) {}
    std::mutex mu;
    int full = 0, not_modified = 0;
    std::string seen_inm;
    TestServer server;
};

} // namespace

TEST(CoreCache, EveryModeAgainstFreshStaleAndMissingEntries) {
    CacheServer s;
    auto e = engine();
    auto url = [&](const char *p) { return s.server.url(p); };

    Result first = fetch(e.get(), url("/fresh"));
    EXPECT_EQ(first.body, "/fresh #1");
    EXPECT_EQ(fetch(e.get(), url("/fresh")).body, "/fresh #1"); // fresh hit, no request
    EXPECT_EQ(s.full, 1);
    EXPECT_EQ(s.server.requests(), 1);

    Result validated = fetch(e.get(), url("/fresh"), Validate);
    EXPECT_EQ(validated.http, 200);
    EXPECT_EQ(validated.body, "/fresh #1");
    EXPECT_EQ(s.not_modified, 1);
    EXPECT_EQ(s.seen_inm, "\"v1\"");

    Result bypass = fetch(e.get(), url("/fresh"), Bypass);
    EXPECT_EQ(bypass.body, "/fresh #2");
    EXPECT_EQ(s.seen_inm, ""); // nothing read from the cache
    EXPECT_EQ(fetch(e.get(), url("/fresh"), OnlyIfCached).body, "/fresh #2"); // but updated it

    Result unstored = fetch(e.get(), url("/other"), NoStore);
    EXPECT_EQ(unstored.body, "/other #3");
    Result miss = fetch(e.get(), url("/other"), OnlyIfCached);
    EXPECT_EQ(miss.status, uint32_t(KS_CACHE_MISS));
    EXPECT_EQ(miss.net, -400);
    int before = s.server.requests();
    EXPECT_EQ(fetch(e.get(), url("/fresh"), NoStore).body, "/fresh #4"); // not read either
    EXPECT_EQ(fetch(e.get(), url("/fresh")).body, "/fresh #2");
    EXPECT_EQ(s.server.requests(), before + 1);

    fetch(e.get(), url("/stale"));
    int requests = s.server.requests();
    EXPECT_EQ(fetch(e.get(), url("/stale"), Force).body, "/stale #5"); // stale, unvalidated
    EXPECT_EQ(s.server.requests(), requests);
    EXPECT_EQ(fetch(e.get(), url("/stale")).body, "/stale #5"); // default revalidates
    EXPECT_EQ(s.server.requests(), requests + 1);
    EXPECT_EQ(s.not_modified, 2);

    fetch(e.get(), url("/nocache"));
    fetch(e.get(), url("/nocache"));
    EXPECT_EQ(s.not_modified, 3); // no-cache: always asks

    fetch(e.get(), url("/nostore"));
    EXPECT_EQ(fetch(e.get(), url("/nostore"), OnlyIfCached).status, uint32_t(KS_CACHE_MISS));
}

TEST(CoreCache, CallerHeadersAdjustTheMode) {
    CacheServer s;
    auto e = engine();
    fetch(e.get(), s.server.url("/fresh"));
    // The caller's validator goes out unchanged and the cache stays out of it.
    Result own = fetch(e.get(), s.server.url("/fresh"), Default, {{"If-None-Match", "\"v1\""}});
    EXPECT_EQ(own.http, 304);
    EXPECT_EQ(own.body, "");
    EXPECT_EQ(s.seen_inm, "\"v1\"");
    // no-cache asks the server even for a fresh entry.
    int before = s.server.requests();
    EXPECT_EQ(fetch(e.get(), s.server.url("/fresh"), Default, {{"Cache-Control", "no-cache"}}).body,
              "/fresh #1");
    EXPECT_EQ(s.server.requests(), before + 1);
    EXPECT_EQ(s.not_modified, 2);
}

TEST(CoreCache, VaryAndRequestNoStore) {
    CacheServer s;
    auto e = engine();
    EXPECT_EQ(fetch(e.get(), s.server.url("/v"), Default, {{"Accept-Language", "de"}}).body,
              "/v #1");
    EXPECT_EQ(fetch(e.get(), s.server.url("/v"), Default, {{"Accept-Language", "de"}}).body,
              "/v #1");
    EXPECT_EQ(fetch(e.get(), s.server.url("/v"), OnlyIfCached, {{"Accept-Language", "fr"}}).status,
              uint32_t(KS_CACHE_MISS));
    fetch(e.get(), s.server.url("/r"), Default, {{"Cache-Control", "no-store"}});
    EXPECT_EQ(fetch(e.get(), s.server.url("/r"), OnlyIfCached).status, uint32_t(KS_CACHE_MISS));
}

TEST(CoreCache, DisabledCacheAndSharedNamespaces) {
    CacheServer s;
    EngineOptions off;
    off.cache_disabled = 1;
    auto e = engine(off);
    fetch(e.get(), s.server.url("/fresh"));
    EXPECT_EQ(fetch(e.get(), s.server.url("/fresh")).body, "/fresh #2");
    EXPECT_EQ(fetch(e.get(), s.server.url("/fresh"), OnlyIfCached).status, uint32_t(KS_CACHE_MISS));

    EngineOptions ns;
    ns.profile_namespace = "shared-test";
    ns.impersonate = "chrome";
    auto a = engine(ns);
    auto b = engine(ns);
    fetch(a.get(), s.server.url("/ns"));
    EXPECT_EQ(fetch(b.get(), s.server.url("/ns"), OnlyIfCached).body, "/ns #3");
    auto other = engine({});
    EXPECT_EQ(fetch(other.get(), s.server.url("/ns"), OnlyIfCached).status,
              uint32_t(KS_CACHE_MISS));

    EngineOptions clash = ns;
    clash.impersonate = "firefox_133";
    ks_engine *refused = nullptr;
    EXPECT_EQ(make_engine(clash, &refused), KS_PROFILE_CONFLICT);
    EXPECT_EQ(refused, nullptr);
    a.reset();
    b.reset();
    ks_engine *now_ok = nullptr;
    EXPECT_EQ(make_engine(clash, &now_ok), KS_OK); // no live engine holds the namespace
    ks_engine_release(now_ok);
}

TEST(CoreCache, CachedBodiesHonourBackPressure) {
    std::string big(300000, 'c');
    TestServer server([&](const HttpRequest &, Conn &c) {
        c.send(response(200, big, {{"Cache-Control", "max-age=100"}}));
    });
    auto e = engine();
    fetch(e.get(), server.url("/big"));
    Recorder rec;
    rec.pause_after = 1;
    RequestOptions o;
    o.cache_mode = OnlyIfCached;
    ks_request *r = nullptr;
    ASSERT_EQ(make_request(e.get(), server.url("/big"), o, rec, &r), KS_OK);
    RequestPtr owner(r);
    ASSERT_EQ(ks_request_start(r), KS_OK);
    ASSERT_TRUE(rec.wait_for(5s, [&] { return rec.paused; }));
    std::this_thread::sleep_for(50ms);
    {
        std::lock_guard lock(rec.mu);
        EXPECT_LT(rec.body.size(), big.size());
        EXPECT_EQ(rec.completes, 0);
        rec.paused = false;
        rec.pause_after = SIZE_MAX;
    }
    ASSERT_EQ(ks_request_resume_read(r), KS_OK);
    ASSERT_TRUE(rec.wait_complete());
    EXPECT_EQ(rec.body, big);
    EXPECT_FALSE(rec.order_violation);
}

TEST(CoreProfiles, HeadersInBrowserOrderWithOverrides) {
    TestServer server([](const HttpRequest &req, Conn &c) {
        std::string names;
        for (const auto &[n, v] : req.headers)
            names += n + "=" + v + "\n";
        c.send(response(200, names));
    });
    EngineOptions o;
    o.impersonate = "chrome";
    o.accept_language = "fr-FR";
    auto e = engine(o);
    Result r = fetch(e.get(), server.url("/"), 0, {{"Accept", "application/json"}});
    const std::string &b = r.body;
    EXPECT_NE(b.find("User-Agent=Mozilla/5.0"), std::string::npos);
    EXPECT_NE(b.find("Chrome/131"), std::string::npos);
    EXPECT_NE(b.find("Accept=application/json\n"), std::string::npos);
    EXPECT_NE(b.find("Accept-Language=fr-FR\n"), std::string::npos);
    EXPECT_NE(b.find("Accept-Encoding=gzip, deflate, br, zstd\n"), std::string::npos);
    size_t ua = b.find("User-Agent="), hints = b.find("sec-ch-ua="), accept = b.find("Accept="),
           enc = b.find("Accept-Encoding="), lang = b.find("Accept-Language="),
           fetch_mode = b.find("Sec-Fetch-Mode=");
    EXPECT_LT(ua, hints);
    EXPECT_LT(hints, accept);
    EXPECT_LT(accept, enc);
    EXPECT_LT(enc, lang);
    EXPECT_LT(lang, fetch_mode);

    EngineOptions ff;
    ff.impersonate = "firefox_133";
    ff.user_agent = "custom/1";
    auto f = engine(ff);
    Result fr = fetch(f.get(), server.url("/"));
    EXPECT_NE(fr.body.find("User-Agent=custom/1\n"), std::string::npos);
    EXPECT_EQ(fr.body.find("sec-ch-ua"), std::string::npos);

    ks_engine *bad = nullptr;
    EngineOptions unknown;
    unknown.impersonate = "chrome_1";
    EXPECT_EQ(make_engine(unknown, &bad), KS_PROFILE_UNSUPPORTED);
    EngineOptions h4;
    h4.http_version = KS_HTTP_3 + 1;
    EXPECT_EQ(make_engine(h4, &bad), KS_INVALID_ARGUMENT);
    EXPECT_EQ(bad, nullptr);
}

// Larger than an entry may be (an eighth of the default 64 MiB): not stored, whether the length
// is announced or only found out while the body is collected; the bodies themselves intact.
TEST(CoreCache, BodiesOverTheEntryLimitAreNotStored) {
    std::string big(9u << 20, 'b');
    std::atomic<int> served{0};
    TestServer server([&](const HttpRequest &req, Conn &c) {
        ++served;
        if (req.target == "/sized") {
            c.send(response(200, big, {{"Cache-Control", "max-age=100"}}));
            return;
        }
        char size[32];
        std::snprintf(size, sizeof size, "%zx\r\n", big.size());
        c.send(
            "HTTP/1.1 200 X\r\nCache-Control: max-age=100\r\nTransfer-Encoding: chunked\r\n\r\n" +
            std::string(size) + big + "\r\n0\r\n\r\n");
    });
    auto e = engine();
    for (const char *path : {"/sized", "/sized", "/chunked", "/chunked"}) {
        Result r = fetch(e.get(), server.url(path));
        EXPECT_EQ(r.status, 0u);
        EXPECT_TRUE(r.body == big) << path;
    }
    EXPECT_EQ(served, 4);
}
