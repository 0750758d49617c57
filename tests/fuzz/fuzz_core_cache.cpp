// The Core's cache rules over hostile response heads: dates, Cache-Control and Age values,
// Vary, 304 merges and the store itself, whose byte count must stay within its capacity.
#include "cache.hpp"
#include "http_head.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

void fail(const char *what) {
    std::fprintf(stderr, "fuzz_core_cache: %s\n", what);
    std::abort();
}

kestrin::HttpCache g_cache(64 * 1024);

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    int64_t request_time = in.ConsumeIntegral<int64_t>();
    int64_t response_time = in.ConsumeIntegral<int64_t>();
    int64_t now = in.ConsumeIntegral<int64_t>();
    std::string date = in.ConsumeRandomLengthString(64);
    std::string request_value = in.ConsumeRandomLengthString(64);
    std::string not_modified = in.ConsumeRandomLengthString(1024);
    std::string raw = in.ConsumeRemainingBytesAsString();

    (void)kestrin::parse_http_date(date);
    auto entry = std::make_shared<kestrin::CacheEntry>();
    entry->url = "http://a.test/" + std::to_string(size % 8);
    entry->head = raw;
    entry->parsed = kestrin::parse_head(raw);
    entry->status = entry->parsed.status;
    entry->body = std::string(size % 4096, 'b');
    entry->request_time = request_time;
    entry->response_time = response_time;
    kestrin::HeaderList request{{"Accept", request_value}, {"Cookie", request_value}};

    if (kestrin::freshness_lifetime(entry->parsed) < 0)
        fail("negative freshness lifetime");
    (void)kestrin::current_age(*entry, now);
    (void)kestrin::is_fresh(*entry, now);
    (void)kestrin::has_validators(*entry);
    bool storable = kestrin::is_storable(entry->parsed, request);
    if (auto vary = kestrin::vary_values(entry->parsed, request)) {
        entry->vary = *vary;
        if (storable)
            g_cache.store(entry);
    }
    auto refreshed =
        kestrin::refreshed(*entry, kestrin::parse_head(not_modified), request_time, response_time);
    if (refreshed->body != entry->body)
        fail("a 304 merge changed the body");
    (void)g_cache.lookup(entry->url, request);
    if (g_cache.bytes() > 64 * 1024)
        fail("the cache holds more than its capacity");
    if (size % 5 == 0)
        g_cache.remove(entry->url);
    return 0;
}
