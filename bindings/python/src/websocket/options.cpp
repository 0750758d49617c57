#include "websocket/options.h"

namespace corvina {
namespace {

// Empty runs cross the boundary as a null pointer with length 0.
const char *run_ptr(const std::string &s) {
    return s.empty() ? nullptr : s.data();
}

} // namespace

WebSocketConfig::WebSocketConfig(const WebSocketOptions &options,
                                 const ks_websocket_callbacks &callbacks) {
    protocols_.reserve(options.protocols.size());
    for (const auto &p : options.protocols)
        protocols_.push_back(ks_text{run_ptr(p), p.size()});
    headers_.reserve(options.headers.size());
    for (const auto &[name, value] : options.headers)
        headers_.push_back(ks_header{run_ptr(name), name.size(), run_ptr(value), value.size()});

    record_.struct_size = sizeof(ks_websocket_config);
    record_.abi_version = KS_ABI_VERSION;
    record_.url = run_ptr(options.url);
    record_.url_len = options.url.size();
    record_.origin = run_ptr(options.origin);
    record_.origin_len = options.origin.size();
    record_.protocols = protocols_.empty() ? nullptr : protocols_.data();
    record_.protocol_count = protocols_.size();
    record_.headers = headers_.empty() ? nullptr : headers_.data();
    record_.header_count = headers_.size();
    record_.callbacks = callbacks;
    record_.timeout_ms = duration_to_ms(options.timeout);
}

} // namespace corvina
