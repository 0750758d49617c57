#include "namespaces.hpp"

#include <map>
#include <mutex>

#include "cache.hpp"

namespace kestrin {
namespace {

struct Entry {
    std::string profile;
    size_t users = 0;
    // A response cached by one engine reaches only engines that would have
    // accepted its origin: one cache per trust.
    std::map<std::string, std::shared_ptr<HttpCache>> caches;
};

std::mutex g_mu;
std::map<std::string, Entry> &registry() {
    static auto *r = new std::map<std::string, Entry>(); // outlives static destruction
    return *r;
}

} // namespace

NamespaceLease::NamespaceLease(NamespaceLease &&other) noexcept : name_(std::move(other.name_)) {
    other.name_.clear();
}

NamespaceLease &NamespaceLease::operator=(NamespaceLease &&other) noexcept {
    if (this != &other) {
        reset();
        name_ = std::move(other.name_);
        other.name_.clear();
    }
    return *this;
}

NamespaceLease::~NamespaceLease() {
    reset();
}

void NamespaceLease::reset() {
    if (name_.empty())
        return;
    std::lock_guard lock(g_mu);
    auto it = registry().find(name_);
    if (it != registry().end() && --it->second.users == 0)
        registry().erase(it);
    name_.clear();
}

ks_status NamespaceLease::acquire(const std::string &name, const std::string &profile,
                                  const std::string &trust, NamespaceLease &lease,
                                  std::shared_ptr<HttpCache> &cache) {
    lease.reset();
    std::lock_guard lock(g_mu);
    auto [it, inserted] = registry().try_emplace(name);
    Entry &e = it->second;
    if (inserted)
        e.profile = profile;
    else if (e.profile != profile)
        return KS_PROFILE_CONFLICT;
    try {
        auto &shared = e.caches[trust];
        if (!shared)
            shared = std::make_shared<HttpCache>();
        cache = shared;
    } catch (...) {
        if (inserted)
            registry().erase(it);
        throw;
    }
    ++e.users;
    lease.name_ = name;
    return KS_OK;
}

size_t namespace_users(const std::string &name) {
    std::lock_guard lock(g_mu);
    auto it = registry().find(name);
    return it == registry().end() ? 0 : it->second.users;
}

} // namespace kestrin
