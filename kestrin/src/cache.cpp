#include "cache.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <ctime>

namespace kestrin {
namespace {

std::optional<int64_t> directive_seconds(std::string_view cc, std::string_view name) {
    while (!cc.empty()) {
        size_t comma = cc.find(',');
        std::string_view item = cc.substr(0, comma);
        while (!item.empty() && item.front() == ' ')
            item.remove_prefix(1);
        size_t eq = item.find('=');
        std::string_view key = item.substr(0, eq);
        while (!key.empty() && key.back() == ' ')
            key.remove_suffix(1);
        if (eq != std::string_view::npos && iequals(key, name)) {
            std::string_view v = item.substr(eq + 1);
            while (!v.empty() && (v.front() == ' ' || v.front() == '"'))
                v.remove_prefix(1);
            return delta_seconds(v);
        }
        if (comma == std::string_view::npos)
            break;
        cc.remove_prefix(comma + 1);
    }
    return std::nullopt;
}

// Dates and Age values come from the server, and may be as large as int64_t holds: the sums and
// differences of times saturate instead of overflowing.
int64_t add(int64_t a, int64_t b) {
    int64_t out = 0;
    if (__builtin_add_overflow(a, b, &out))
        return b > 0 ? INT64_MAX : INT64_MIN;
    return out;
}

int64_t sub(int64_t a, int64_t b) {
    int64_t out = 0;
    if (__builtin_sub_overflow(a, b, &out))
        return b < 0 ? INT64_MAX : INT64_MIN;
    return out;
}

} // namespace

int64_t now_seconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::optional<int64_t> parse_http_date(std::string_view text) {
    std::string s(text);
    for (const char *fmt :
         {"%a, %d %b %Y %H:%M:%S GMT", "%A, %d-%b-%y %H:%M:%S GMT", "%a %b %d %H:%M:%S %Y"}) {
        std::tm tm{};
        const char *end = strptime(s.c_str(), fmt, &tm);
        if (end != nullptr && *end == '\0')
            return static_cast<int64_t>(timegm(&tm));
    }
    return std::nullopt;
}

int64_t freshness_lifetime(const ParsedHead &response) {
    std::string cc = response.joined("Cache-Control");
    if (auto max_age = directive_seconds(cc, "max-age"))
        return *max_age;
    if (auto expires = response.get("Expires")) {
        auto exp = parse_http_date(*expires);
        if (!exp)
            return 0; // an invalid Expires means already expired
        auto date_header = response.get("Date");
        std::optional<int64_t> date = date_header ? parse_http_date(*date_header) : std::nullopt;
        int64_t base = date ? *date : now_seconds();
        return std::max<int64_t>(0, sub(*exp, base));
    }
    return 0;
}

int64_t current_age(const CacheEntry &e, int64_t now) {
    int64_t apparent = 0;
    if (auto d = e.parsed.get("Date"))
        if (auto date = parse_http_date(*d))
            apparent = std::max<int64_t>(0, sub(e.response_time, *date));
    int64_t age_value = 0;
    if (auto a = e.parsed.get("Age"))
        age_value = delta_seconds(*a).value_or(0);
    int64_t response_delay = sub(e.response_time, e.request_time);
    int64_t corrected = std::max(apparent, add(age_value, response_delay));
    return add(corrected, std::max<int64_t>(0, sub(now, e.response_time)));
}

bool is_fresh(const CacheEntry &e, int64_t now) {
    std::string cc = e.parsed.joined("Cache-Control");
    if (has_token(cc, "no-cache") || has_token(e.parsed.joined("Pragma"), "no-cache"))
        return false;
    return freshness_lifetime(e.parsed) > current_age(e, now);
}

bool has_validators(const CacheEntry &e) {
    return e.parsed.get("ETag").has_value() || e.parsed.get("Last-Modified").has_value();
}

bool is_storable(const ParsedHead &response, const HeaderList &request_headers) {
    switch (response.status) {
    case 200:
    case 203:
    case 204:
    case 300:
    case 404:
    case 405:
    case 410:
    case 414:
    case 501:
        break;
    default:
        return false;
    }
    if (has_token(response.joined("Cache-Control"), "no-store") ||
        has_token(joined_values(request_headers, "Cache-Control"), "no-store"))
        return false;
    if (!vary_values(response, request_headers))
        return false;
    // Something must make it reusable: a lifetime or a validator.
    std::string cc = response.joined("Cache-Control");
    return has_token(cc, "max-age") || response.get("Expires") || response.get("ETag") ||
           response.get("Last-Modified") || has_token(cc, "no-cache");
}

std::optional<std::vector<std::pair<std::string, std::string>>>
vary_values(const ParsedHead &response, const HeaderList &request_headers) {
    std::vector<std::pair<std::string, std::string>> out;
    std::string vary = response.joined("Vary");
    std::string_view rest = vary;
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string_view name = rest.substr(0, comma);
        while (!name.empty() && name.front() == ' ')
            name.remove_prefix(1);
        while (!name.empty() && name.back() == ' ')
            name.remove_suffix(1);
        if (name == "*")
            return std::nullopt;
        if (!name.empty())
            out.emplace_back(ascii_lower(name), joined_values(request_headers, name));
        if (comma == std::string_view::npos)
            break;
        rest.remove_prefix(comma + 1);
    }
    return out;
}

std::shared_ptr<CacheEntry> refreshed(const CacheEntry &entry, const ParsedHead &not_modified,
                                      int64_t request_time, int64_t response_time) {
    auto out = std::make_shared<CacheEntry>(entry);
    for (const auto &[name, value] : not_modified.headers) {
        if (iequals(name, "Content-Length") || iequals(name, "Content-Encoding") ||
            iequals(name, "Transfer-Encoding"))
            continue;
        bool replaced = false;
        for (auto &[n, v] : out->parsed.headers)
            if (iequals(n, name)) {
                if (!replaced)
                    v = value;
                replaced = true;
            }
        if (!replaced)
            out->parsed.headers.emplace_back(name, value);
    }
    out->request_time = request_time;
    out->response_time = response_time;
    return out;
}

std::shared_ptr<const CacheEntry> HttpCache::lookup(const std::string &url,
                                                    const HeaderList &request_headers) {
    std::lock_guard lock(mu_);
    auto it = index_.find(url);
    if (it == index_.end())
        return nullptr;
    const auto &entry = *it->second;
    for (const auto &[name, value] : entry->vary)
        if (joined_values(request_headers, name) != value)
            return nullptr;
    lru_.splice(lru_.begin(), lru_, it->second);
    return entry;
}

void HttpCache::store(std::shared_ptr<const CacheEntry> entry) {
    if (!entry || entry->bytes() > max_entry_bytes())
        return;
    std::lock_guard lock(mu_);
    erase_locked(entry->url);
    bytes_ += entry->bytes();
    lru_.push_front(entry);
    index_[entry->url] = lru_.begin();
    while (bytes_ > capacity_ && !lru_.empty()) {
        std::string oldest = lru_.back()->url;
        erase_locked(oldest);
    }
}

void HttpCache::remove(const std::string &url) {
    std::lock_guard lock(mu_);
    erase_locked(url);
}

void HttpCache::erase_locked(const std::string &url) {
    auto it = index_.find(url);
    if (it == index_.end())
        return;
    bytes_ -= (*it->second)->bytes();
    lru_.erase(it->second);
    index_.erase(it);
}

size_t HttpCache::bytes() const {
    std::lock_guard lock(mu_);
    return bytes_;
}

size_t HttpCache::entries() const {
    std::lock_guard lock(mu_);
    return lru_.size();
}

} // namespace kestrin
