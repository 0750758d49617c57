#include "websocket/options.h"

#include "lib/run.h"

namespace corvina {

WebSocketConfig::WebSocketConfig(const WebSocketOptions &options,
                                 const ks_websocket_callbacks &callbacks) {
    protocols_.reserve(options.protocols.size());
    for (const auto &p : options.protocols) {
        ks_text text;
        put_run(p, text.data, text.len);
        protocols_.push_back(text);
    }
    headers_ = header_entries(options.headers);

    record_.struct_size = sizeof(ks_websocket_config);
    record_.abi_version = KS_ABI_VERSION;
    put_run(options.url, record_.url, record_.url_len);
    put_run(options.origin, record_.origin, record_.origin_len);
    put_run(protocols_, record_.protocols, record_.protocol_count);
    put_run(headers_, record_.headers, record_.header_count);
    record_.callbacks = callbacks;
    record_.timeout_ms = duration_to_ms(options.timeout);
}

} // namespace corvina
