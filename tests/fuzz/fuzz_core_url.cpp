// The Core's URL handling: serialization (serialize_url), redirect targets (Url::resolve)
// and WebSocket URLs (parse_websocket_url). What they accept must come out as ASCII without
// spaces or controls, stable under a second serialization, with escapes already present kept.
#include "url.hpp"
#include "websocket/target.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void fail(const char *what, std::string_view in, std::string_view out) {
    std::fprintf(stderr, "fuzz_core_url: %s\n  in:  %.*s\n  out: %.*s\n", what,
                 static_cast<int>(in.size()), in.data(), static_cast<int>(out.size()), out.data());
    std::abort();
}

bool wire_safe(std::string_view s) {
    for (unsigned char c : s)
        if (c <= ' ' || c >= 0x7F)
            return false;
    return true;
}

// Each "%XY" escape with hex digits in `in`, in order, is in `out` too.
bool keeps_escapes(std::string_view in, std::string_view out) {
    auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    size_t from = 0;
    for (size_t i = 0; i + 2 < in.size(); ++i) {
        if (in[i] != '%' || !hex(in[i + 1]) || !hex(in[i + 2]))
            continue;
        // "%2e" is a dot in a path segment: "/a/%2e%2e/b" is "/b", as browsers resolve it.
        if (in[i + 1] == '2' && (in[i + 2] == 'e' || in[i + 2] == 'E'))
            continue;
        size_t at = out.find(in.substr(i, 3), from);
        if (at == std::string_view::npos)
            return false;
        from = at + 3;
    }
    return true;
}

void check_serialized(std::string_view in, const std::string &out) {
    if (!wire_safe(out))
        fail("serialized URL holds a space, control or non-ASCII byte", in, out);
    auto again = kestrin::serialize_url(out);
    if (!again || *again != out)
        fail("serializing twice changes the URL", out, again.value_or("<refused>"));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    std::string base = in.ConsumeRandomLengthString(512);
    std::string rest = in.ConsumeRemainingBytesAsString();
    for (const std::string &url : {base, "http://a.test/" + base, "https://" + base}) {
        if (auto out = kestrin::serialize_url(url))
            check_serialized(url, *out);
    }
    // Escapes in a query or fragment survive (a path's go with the segments ".." removes; a
    // host's are decoded, as browsers do).
    size_t query = base.find_first_of("?#");
    if (auto out = kestrin::serialize_url("http://a.test/" + base);
        out && query != std::string::npos &&
        !keeps_escapes(
            std::string_view(base).substr(query),
            std::string_view(*out).substr(std::min(out->find_first_of("?#"), out->size()))))
        fail("an escape of the input is missing", base, *out);
    for (const std::string &from : {std::string("http://a.test:8080/dir/page?q=1"), base}) {
        auto parsed = kestrin::Url::parse(from);
        if (auto target = parsed ? parsed->resolve(rest) : std::nullopt)
            check_serialized(rest, target->text);
    }
    kestrin::WebSocketTarget ws;
    if (kestrin::parse_websocket_url(base, ws)) {
        if (ws.host.empty() || ws.port.empty() || ws.resource.empty() || ws.resource[0] != '/')
            fail("WebSocket target without host, port or resource", base, ws.resource);
        if (!wire_safe(ws.resource) || !wire_safe(ws.host_header))
            fail("WebSocket request line or Host header not wire-safe", base,
                 ws.resource + " " + ws.host_header);
    }
    return 0;
}
