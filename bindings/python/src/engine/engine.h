// Engine configuration, creation in the Core, and the shared engine holder.
#pragma once

#include "errors/error.h"
#include "lib/convert.h"
#include "lib/python.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include <kestrin/kestrin.h>

namespace corvina {

struct EngineOptions {
    std::optional<std::string> impersonate; // normalised
    std::optional<std::string> profile_namespace;
    std::optional<std::string> user_agent;
    std::optional<std::string> accept_language;
    std::optional<std::string> proxy;
    std::optional<std::string> proxy_username;
    std::optional<std::string> proxy_password;
    std::optional<Bytes> ca_pem;
    uint8_t cache_disabled = 0;
    ks_cert_mode cert_mode = KS_CERT_SYSTEM;
    ks_http_version http_version = KS_HTTP_AUTO;
};

// chrome<digits> and chrome_<digits> become chrome_<digits>; anything else is unchanged.
std::string normalize_impersonate(std::string text);

// The HTTP version code of a keyword, or nullopt for an unknown one.
std::optional<ks_http_version> http_version_code(const std::string &text);

// Owns one Core engine; ks_engine_release runs once, when the last reference goes.
class EngineHolder {
  public:
    explicit EngineHolder(ks_engine *handle) : handle_(handle) {}
    ~EngineHolder();
    EngineHolder(const EngineHolder &) = delete;
    EngineHolder &operator=(const EngineHolder &) = delete;
    ks_engine *handle() const { return handle_; }

  private:
    ks_engine *handle_;
};

// Checks the Core's ABI version, then creates the engine; the record's copies live only for
// the call.
std::variant<std::shared_ptr<EngineHolder>, CoreError> create_engine(const EngineOptions &options);

struct EngineNative {
    std::shared_ptr<EngineHolder> holder;
};

// The PyEngine class, created on the first call; nullptr with an error set on failure.
PyTypeObject *engine_type();

// The Core handle of a live PyEngine, valid while the caller keeps the engine object.
ks_engine *engine_handle(PyObject *engine);

} // namespace corvina
