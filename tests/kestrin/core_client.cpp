#include "core_client.hpp"

#include <functional>

namespace kestrin_test {

ks_request_callbacks Recorder::callbacks() {
    ks_request_callbacks cb{};
    cb.struct_size = sizeof cb;
    cb.abi_version = KS_ABI_VERSION;
    cb.user_data = this;
    cb.on_response = &Recorder::on_response;
    cb.on_body = &Recorder::on_body;
    cb.on_complete = &Recorder::on_complete;
    cb.on_redirect = &Recorder::on_redirect;
    return cb;
}

void Recorder::on_response(void *p, ks_request *, int32_t status, const uint8_t *head, size_t len) {
    auto *r = static_cast<Recorder *>(p);
    std::lock_guard lock(r->mu);
    r->order_violation |= r->completes > 0;
    r->status = status;
    r->head.assign(reinterpret_cast<const char *>(head), len);
    ++r->responses;
    r->cv.notify_all();
}

bool Recorder::on_body(void *p, ks_request *, const uint8_t *data, size_t len) {
    auto *r = static_cast<Recorder *>(p);
    std::lock_guard lock(r->mu);
    r->order_violation |= r->completes > 0 || r->responses == 0 || r->paused;
    r->body.append(reinterpret_cast<const char *>(data), len);
    ++r->body_calls;
    if (r->body.size() >= r->pause_after)
        r->paused = true;
    r->cv.notify_all();
    return !r->paused;
}

void Recorder::on_complete(void *p, ks_request *, uint32_t status, int32_t net_error) {
    auto *r = static_cast<Recorder *>(p);
    std::lock_guard lock(r->mu);
    r->order_violation |= r->completes > 0 || (status == 0 && r->responses == 0);
    ++r->completes;
    r->complete_status = status;
    r->net_error = net_error;
    r->complete_thread = std::this_thread::get_id();
    r->cv.notify_all();
}

void Recorder::on_redirect(void *p, ks_request *, int32_t status, const uint8_t *head,
                           size_t head_len, const char *from, size_t from_len, const char *to,
                           size_t to_len) {
    auto *r = static_cast<Recorder *>(p);
    std::lock_guard lock(r->mu);
    r->order_violation |= r->completes > 0;
    r->hops.push_back({status, std::string(reinterpret_cast<const char *>(head), head_len),
                       std::string(from, from_len), std::string(to, to_len)});
    r->cv.notify_all();
}

bool Recorder::wait_complete(std::chrono::milliseconds limit) {
    std::unique_lock lock(mu);
    return cv.wait_for(lock, limit, [&] { return completes > 0; });
}

bool Recorder::wait_for(std::chrono::milliseconds limit, const std::function<bool()> &pred) {
    std::unique_lock lock(mu);
    return cv.wait_for(lock, limit, pred);
}

namespace {
template <class P, class L> void set_text(const std::string &s, P &ptr, L &len) {
    ptr = s.empty() ? nullptr : reinterpret_cast<P>(s.data());
    len = s.size();
}
} // namespace

ks_status make_engine(const EngineOptions &o, ks_engine **out) {
    ks_engine_config c{};
    c.struct_size = sizeof c;
    c.abi_version = KS_ABI_VERSION;
    set_text(o.user_agent, c.user_agent, c.user_agent_len);
    set_text(o.proxy, c.proxy, c.proxy_len);
    set_text(o.proxy_username, c.proxy_username, c.proxy_username_len);
    set_text(o.proxy_password, c.proxy_password, c.proxy_password_len);
    set_text(o.accept_language, c.accept_language, c.accept_language_len);
    set_text(o.impersonate, c.impersonate, c.impersonate_len);
    set_text(o.profile_namespace, c.profile_namespace, c.profile_namespace_len);
    set_text(o.ca_pem, c.ca_pem, c.ca_pem_len);
    c.http_version = o.http_version;
    c.cert_mode = o.cert_mode;
    c.cache_disabled = o.cache_disabled;
    *out = nullptr;
    return ks_engine_create(&c, out);
}

ks_status make_request(ks_engine *engine, const std::string &url, const RequestOptions &o,
                       Recorder &rec, ks_request **out) {
    std::vector<ks_header> headers;
    for (const auto &[n, v] : o.headers)
        headers.push_back({n.data(), n.size(), v.empty() ? nullptr : v.data(), v.size()});
    ks_request_config c{};
    c.struct_size = sizeof c;
    c.abi_version = KS_ABI_VERSION;
    c.url = url.data();
    c.url_len = url.size();
    c.method = o.method.data();
    c.method_len = o.method.size();
    c.headers = headers.empty() ? nullptr : headers.data();
    c.header_count = headers.size();
    c.timeout_ms = o.timeout_ms;
    c.callbacks = rec.callbacks();
    c.body = o.body.empty() ? nullptr : reinterpret_cast<const uint8_t *>(o.body.data());
    c.body_len = o.body.size();
    c.body_kind = o.body_kind;
    c.cache_mode = o.cache_mode;
    c.redirect_mode = o.redirect_mode;
    c.priority = o.priority;
    *out = nullptr;
    ks_status st = ks_request_create(engine, &c, out);
    rec.request = *out;
    return st;
}

} // namespace kestrin_test
