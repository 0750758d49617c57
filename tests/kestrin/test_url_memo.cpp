// The engine's memo of the last URL read: a hit reads exactly what a fresh parse would, and the
// memo holds whole pairs while threads read different URLs through it.
#include "request_config.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace kestrin {
namespace {

void on_complete(void *, ks_request *, uint32_t, int32_t) {}

ks_status read(UrlMemo &memo, const std::string &url, RequestConfig &out) {
    ks_request_config c{};
    c.struct_size = sizeof c;
    c.abi_version = KS_ABI_VERSION;
    c.callbacks.struct_size = sizeof c.callbacks;
    c.callbacks.abi_version = KS_ABI_VERSION;
    c.callbacks.on_complete = on_complete;
    c.url = url.data();
    c.url_len = url.size();
    c.method = "GET";
    c.method_len = 3;
    out = RequestConfig{};
    return read_request_config(c, memo, out);
}

TEST(UrlMemo, AHitReadsWhatAParseReads) {
    const std::string cases[] = {"http://127.0.0.1:8080/a?b=1",
                                 "https://Ex.test/\xc3\xa9",
                                 "http://127.0.0.1:8080/a?b=1",
                                 "ftp://x/",
                                 "http://h/ x",
                                 "https://Ex.test/\xc3\xa9",
                                 "http://127.0.0.1:8080/a?b=1"};
    UrlMemo memo;
    for (const std::string &url : cases) {
        for (int pass = 0; pass < 2; ++pass) { // a miss, then the same text as a hit
            UrlMemo fresh;
            RequestConfig got, want;
            ks_status st = read(memo, url, got);
            ASSERT_EQ(st, read(fresh, url, want)) << url;
            if (st != KS_OK)
                continue;
            EXPECT_EQ(got.url.text, want.url.text);
            EXPECT_EQ(got.url.origin, want.url.origin);
            // Only a URL that serializing left as it was goes to libcurl pre-parsed.
            EXPECT_EQ(bool(got.parsed_url), bool(want.parsed_url)) << url;
        }
    }
    RequestConfig a, b;
    ASSERT_EQ(read(memo, cases[0], a), KS_OK);
    ASSERT_EQ(read(memo, cases[0], b), KS_OK);
    EXPECT_EQ(a.parsed_url, b.parsed_url) << "the same text shares one parse";
}

TEST(UrlMemo, ThreadsNamingDifferentUrlsEachGetTheirOwn) {
    UrlMemo memo;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            std::string url = "http://127.0.0.1:" + std::to_string(8000 + t % 2) + "/p";
            for (int i = 0; i < 2000; ++i) {
                RequestConfig c;
                if (read(memo, url, c) != KS_OK || c.url.text != url ||
                    c.url.origin.port != std::to_string(8000 + t % 2))
                    ++wrong;
            }
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
}

} // namespace
} // namespace kestrin
