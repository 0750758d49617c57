#include "websocket/config.hpp"

#include <algorithm>

#include "record_text.hpp"
#include "websocket/handshake.hpp"

namespace kestrin {

ks_status read_websocket_config(const ks_websocket_config &c, WebSocketConfig &out) {
    if (c.struct_size < sizeof(ks_websocket_config) ||
        c.callbacks.struct_size < sizeof(ks_websocket_callbacks))
        return KS_INVALID_ARGUMENT;
    if (c.abi_version != KS_ABI_VERSION || c.callbacks.abi_version != KS_ABI_VERSION)
        return KS_UNSUPPORTED_ABI;
    if (!c.callbacks.on_closed || !c.callbacks.on_error)
        return KS_INVALID_ARGUMENT;
    if ((c.url_len && !c.url) || (c.origin_len && !c.origin) ||
        (c.protocol_count && !c.protocols) || (c.header_count && !c.headers))
        return KS_INVALID_ARGUMENT;

    if (!parse_websocket_url(text(c.url, c.url_len), out.target))
        return KS_INVALID_ARGUMENT;
    out.origin = text(c.origin, c.origin_len);
    if (!is_field_value(out.origin))
        return KS_INVALID_ARGUMENT;
    for (size_t i = 0; i < c.protocol_count; ++i) {
        const ks_text &p = c.protocols[i];
        if (p.len && !p.data)
            return KS_INVALID_ARGUMENT;
        std::string proto = text(p.data, p.len);
        if (!is_token(proto) || std::ranges::find(out.protocols, proto) != out.protocols.end())
            return KS_INVALID_ARGUMENT;
        out.protocols.push_back(std::move(proto));
    }
    for (size_t i = 0; i < c.header_count; ++i) {
        const ks_header &h = c.headers[i];
        if ((h.name_len && !h.name) || (h.value_len && !h.value))
            return KS_INVALID_ARGUMENT;
        std::string name = text(h.name, h.name_len), value = text(h.value, h.value_len);
        if (!is_token(name) || !is_field_value(value) || reserved_handshake_header(name))
            return KS_INVALID_ARGUMENT;
        out.headers.emplace_back(std::move(name), std::move(value));
    }
    out.cb = c.callbacks;
    out.timeout_ms = c.timeout_ms;
    return KS_OK;
}

} // namespace kestrin
