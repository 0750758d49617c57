// In-memory HTTP cache shared by the engines of one profile namespace:
// bounded in bytes, least recently used entries go first.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "http_head.hpp"
#include "page_allocator.hpp"

namespace kestrin {

struct CacheEntry {
    std::string url;
    // Request header values the response varies on, by lower-case name.
    std::vector<std::pair<std::string, std::string>> vary;
    int status = 0;
    std::string head; // raw header block as received
    BodyBlock body;   // decoded body
    ParsedHead parsed;
    int64_t request_time = 0; // seconds since the epoch
    int64_t response_time = 0;

    size_t bytes() const { return url.size() + head.size() + body.size() + 256; }
};

std::optional<int64_t> parse_http_date(std::string_view text);

// Seconds the response stays fresh from max-age or Expires; 0 without either.
int64_t freshness_lifetime(const ParsedHead &response);
int64_t current_age(const CacheEntry &entry, int64_t now);
// Fresh and not marked no-cache.
bool is_fresh(const CacheEntry &entry, int64_t now);
bool has_validators(const CacheEntry &entry);

// Whether a response to a GET with these request headers may be stored.
bool is_storable(const ParsedHead &response, const HeaderList &request_headers);

// Values of the request headers named by the response's Vary; nullopt for "Vary: *".
std::optional<std::vector<std::pair<std::string, std::string>>>
vary_values(const ParsedHead &response, const HeaderList &request_headers);

// A copy of entry with the headers of a 304 answer merged in and new times.
std::shared_ptr<CacheEntry> refreshed(const CacheEntry &entry, const ParsedHead &not_modified,
                                      int64_t request_time, int64_t response_time);

int64_t now_seconds();

class HttpCache {
  public:
    static constexpr size_t kDefaultCapacity = 64u << 20;

    explicit HttpCache(size_t capacity = kDefaultCapacity) : capacity_(capacity) {}

    // The entry for url whose Vary values match request_headers, or null.
    std::shared_ptr<const CacheEntry> lookup(const std::string &url,
                                             const HeaderList &request_headers);
    // Replaces any entry for the same URL; entries above 1/8 of the capacity
    // are not kept.
    void store(std::shared_ptr<const CacheEntry> entry);
    void remove(const std::string &url);

    size_t bytes() const;
    size_t entries() const;
    size_t max_entry_bytes() const { return capacity_ / 8; }

  private:
    using Lru = std::list<std::shared_ptr<const CacheEntry>>;
    void erase_locked(const std::string &url);

    const size_t capacity_;
    mutable std::mutex mu_;
    Lru lru_; // front is most recently used
    std::unordered_map<std::string, Lru::iterator> index_;
    size_t bytes_ = 0;
};

} // namespace kestrin
