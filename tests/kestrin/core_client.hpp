// Drives the Core through its C interface and records every callback, checking
// the ordering rules on the way: nothing after on_complete, exactly one of it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <kestrin/kestrin.h>

namespace kestrin_test {

struct Hop {
    int status;
    std::string head, from, to;
};

class Recorder {
  public:
    // When set, on_body answers false once `pause_after` bytes arrived.
    size_t pause_after = SIZE_MAX;
    ks_request *request = nullptr;

    ks_request_callbacks callbacks();

    bool wait_complete(std::chrono::milliseconds limit = std::chrono::seconds(10));
    bool wait_for(std::chrono::milliseconds limit, const std::function<bool()> &pred);

    std::mutex mu;
    std::condition_variable cv;
    int status = 0;
    std::string head;
    int responses = 0;
    std::string body;
    size_t body_calls = 0;
    bool paused = false;
    std::vector<Hop> hops;
    int completes = 0;
    uint32_t complete_status = 0;
    int32_t net_error = 0;
    bool order_violation = false;
    std::thread::id complete_thread;

  private:
    static void on_response(void *, ks_request *, int32_t, const uint8_t *, size_t);
    static bool on_body(void *, ks_request *, const uint8_t *, size_t);
    static void on_complete(void *, ks_request *, uint32_t, int32_t);
    static void on_redirect(void *, ks_request *, int32_t, const uint8_t *, size_t, const char *,
                            size_t, const char *, size_t);
};

struct EngineOptions {
    std::string user_agent, proxy, proxy_username, proxy_password, accept_language;
    std::string impersonate, profile_namespace, ca_pem;
    uint32_t http_version = 0, cert_mode = 0, cache_disabled = 0;
};

ks_status make_engine(const EngineOptions &o, ks_engine **out);

struct RequestOptions {
    std::string method = "GET";
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    uint32_t body_kind = 0, cache_mode = 0, redirect_mode = 0, priority = 0;
    uint64_t timeout_ms = 0;
};

ks_status make_request(ks_engine *engine, const std::string &url, const RequestOptions &o,
                       Recorder &rec, ks_request **out);

} // namespace kestrin_test
