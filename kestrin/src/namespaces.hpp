// Profile namespaces: engines created with the same namespace share an HTTP
// cache with those of the same trust, and all live engines of a namespace must
// use the same profile.
#pragma once

#include <memory>
#include <string>

#include <kestrin/kestrin.h>

namespace kestrin {

class HttpCache;

// A claim on a namespace by one live engine; dropping it releases the claim.
class NamespaceLease {
  public:
    NamespaceLease() = default;
    NamespaceLease(NamespaceLease &&other) noexcept;
    NamespaceLease &operator=(NamespaceLease &&other) noexcept;
    ~NamespaceLease();
    void reset();
    bool held() const { return !name_.empty(); }

    // Claims `name` for an engine using `profile` (empty: no profile). On
    // success the cache the namespace shares among engines of the same `trust`
    // (what decides which origins they accept) is returned through `cache`.
    static ks_status acquire(const std::string &name, const std::string &profile,
                             const std::string &trust, NamespaceLease &lease,
                             std::shared_ptr<HttpCache> &cache);

  private:
    std::string name_;
};

// Live engines holding a claim on `name` (for tests).
size_t namespace_users(const std::string &name);

} // namespace kestrin
