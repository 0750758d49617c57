// The Core's header and URL handling. The input is split into fields; each field goes through
// the creation checks of requests and WebSockets (header injection: a method, URL, header or
// origin with CR, LF or NUL must be refused with status 1) and through the response-head,
// token-list and redirect-URL helpers, which must not crash and keep their own invariants.
#include "http_head.hpp"
#include "redirect_policy.hpp"
#include "url.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <kestrin/kestrin.h>

namespace {

ks_engine *g_engine = nullptr;

// Printable form of a field for the failure report.
std::string shown(std::string_view s) {
    std::string out;
    for (unsigned char c : s) {
        char buf[8];
        std::snprintf(buf, sizeof buf, c >= 0x20 && c < 0x7F && c != '\\' ? "%c" : "\\x%02x", c);
        out += buf;
    }
    return out;
}

std::string g_context; // the fields of the current check, for the failure report

void fail(const char *what) {
    std::fprintf(stderr, "fuzz_core_head: %s\n%s\n", what, g_context.c_str());
    std::abort();
}

bool has_crlfnul(std::string_view s) {
    return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// Independent of the Core's is_token: the RFC 9110 tchar set.
bool reference_token(std::string_view s) {
    if (s.empty())
        return false;
    for (unsigned char c : s) {
        bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!alnum && std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) ==
                          std::string_view::npos)
            return false;
    }
    return true;
}

// Field text, sometimes with an injected CR, LF or NUL so the refusal path is reached often.
std::string field(FuzzedDataProvider &in) {
    std::string s = in.ConsumeRandomLengthString(256);
    if (!s.empty() && in.ConsumeBool()) {
        static constexpr char kBad[] = {'\r', '\n', '\0'};
        s.insert(in.ConsumeIntegralInRange<size_t>(0, s.size()), 1,
                 kBad[in.ConsumeIntegralInRange(0, 2)]);
    }
    return s;
}

// A URL that the creation checks can accept, with the fuzz text in the path or host.
std::string url(FuzzedDataProvider &in, const char *scheme) {
    switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0:
        return field(in);
    case 1:
        return std::string(scheme) + "://127.0.0.1/" + field(in);
    default:
        return std::string(scheme) + "://" + field(in);
    }
}

struct Header {
    std::string name, value;
};

std::vector<Header> headers(FuzzedDataProvider &in) {
    std::vector<Header> out(in.ConsumeIntegralInRange<size_t>(0, 4));
    for (auto &h : out) {
        h.name = in.ConsumeBool() ? field(in) : std::string("X-Fuzz");
        h.value = field(in);
    }
    return out;
}

std::vector<ks_header> raw(const std::vector<Header> &hs) {
    std::vector<ks_header> out;
    for (const auto &h : hs)
        out.push_back({h.name.data(), h.name.size(), h.value.data(), h.value.size()});
    return out;
}

void check_request(FuzzedDataProvider &in) {
    std::string method = in.ConsumeBool() ? std::string("GET") : field(in);
    std::string target = url(in, in.ConsumeBool() ? "http" : "https");
    std::vector<Header> hs = headers(in);
    std::vector<ks_header> rh = raw(hs);
    ks_request_config c{};
    c.struct_size = sizeof c;
    c.abi_version = KS_ABI_VERSION;
    c.url = target.data();
    c.url_len = target.size();
    c.method = method.data();
    c.method_len = method.size();
    c.headers = rh.data();
    c.header_count = rh.size();
    c.callbacks.struct_size = sizeof c.callbacks;
    c.callbacks.abi_version = KS_ABI_VERSION;
    ks_request *req = nullptr;
    ks_status s = ks_request_create(g_engine, &c, &req);
    bool injected = has_crlfnul(method) || has_crlfnul(target);
    bool bad_names = !reference_token(method);
    for (const auto &h : hs) {
        injected = injected || has_crlfnul(h.name) || has_crlfnul(h.value);
        bad_names = bad_names || !reference_token(h.name);
    }
    if (s == KS_OK) {
        if (!req)
            fail("request created without a handle");
        ks_request_release(req);
        if (injected)
            fail("request with CR, LF or NUL in its method, URL or a header was accepted");
        if (bad_names)
            fail("request with a method or header name that is not a token was accepted");
    } else if (injected && s != KS_INVALID_ARGUMENT) {
        fail("injected request refused with a status other than 1");
    }
}

void check_websocket(FuzzedDataProvider &in) {
    std::string target = url(in, in.ConsumeBool() ? "ws" : "wss");
    std::string origin = in.ConsumeBool() ? std::string() : field(in);
    std::vector<std::string> protocols(in.ConsumeIntegralInRange<size_t>(0, 3));
    for (auto &p : protocols)
        p = field(in);
    std::vector<ks_text> rp;
    for (const auto &p : protocols)
        rp.push_back({p.data(), p.size()});
    std::vector<Header> hs = headers(in);
    std::vector<ks_header> rh = raw(hs);
    ks_websocket_config c{};
    c.struct_size = sizeof c;
    c.abi_version = KS_ABI_VERSION;
    c.url = target.data();
    c.url_len = target.size();
    c.origin = origin.data();
    c.origin_len = origin.size();
    c.protocols = rp.data();
    c.protocol_count = rp.size();
    c.headers = rh.data();
    c.header_count = rh.size();
    c.callbacks.struct_size = sizeof c.callbacks;
    c.callbacks.abi_version = KS_ABI_VERSION;
    c.callbacks.on_closed = [](void *, ks_websocket *, uint32_t, uint32_t, const char *, size_t) {};
    c.callbacks.on_error = [](void *, ks_websocket *, uint32_t, int32_t, int32_t, const char *,
                              size_t) {};
    ks_websocket *ws = nullptr;
    ks_status s = ks_websocket_create(g_engine, &c, &ws);
    bool injected = has_crlfnul(target) || has_crlfnul(origin);
    bool bad_names = false;
    for (const auto &p : protocols) {
        injected = injected || has_crlfnul(p);
        bad_names = bad_names || !reference_token(p);
    }
    for (const auto &h : hs) {
        injected = injected || has_crlfnul(h.name) || has_crlfnul(h.value);
        bad_names = bad_names || !reference_token(h.name);
    }
    if (s == KS_OK) {
        if (!ws)
            fail("WebSocket created without a handle");
        ks_websocket_release(ws);
        if (injected)
            fail("WebSocket with CR, LF or NUL in its URL, origin, a protocol or a header was "
                 "accepted");
        if (bad_names)
            fail("WebSocket with a protocol or header name that is not a token was accepted");
    } else if (injected && s != KS_INVALID_ARGUMENT) {
        fail("injected WebSocket refused with a status other than 1");
    }
}

void check_head(FuzzedDataProvider &in) {
    std::string raw_head = in.ConsumeRandomLengthString(2048);
    kestrin::ParsedHead head = kestrin::parse_head(raw_head);
    if (head.status < 0 || head.status > 999)
        fail("status outside three digits");
    for (const auto &[name, value] : head.headers) {
        if (name.find_first_of("\n:") != std::string::npos || value.find('\n') != std::string::npos)
            fail("parsed header name or value spans lines");
        if (!value.empty() && (value.front() == ' ' || value.back() == ' ' ||
                               value.front() == '\t' || value.back() == '\t'))
            fail("parsed value not trimmed");
        std::optional<std::string_view> first = head.get(name);
        if (!first)
            fail("get() misses a parsed header");
        std::string joined = head.joined(name);
        if (joined.find(*first) != 0)
            fail("joined() does not start with the first value");
    }
    std::string token = in.ConsumeRandomLengthString(32);
    bool found = kestrin::has_token(raw_head, token);
    if (found && token.empty() && raw_head.find_first_not_of(" \t\r\n") != std::string::npos &&
        raw_head.find(',') == std::string::npos && raw_head.find('=') == std::string::npos)
        fail("has_token finds an empty token in a value without one");
    if (kestrin::is_token(token) != reference_token(token))
        fail("is_token disagrees with the tchar set");
    if (kestrin::is_field_value(token) == has_crlfnul(token))
        fail("is_field_value disagrees with the CR/LF/NUL rule");
}

void check_redirect(FuzzedDataProvider &in) {
    std::string base = url(in, in.ConsumeBool() ? "http" : "https");
    std::string location = in.ConsumeBool() ? field(in) : "http://" + field(in);
    int status = in.ConsumeIntegral<int>();
    g_context = "base: " + shown(base) + "\nlocation: " + shown(location);
    auto parsed = kestrin::Url::parse(base);
    if (auto target = parsed ? parsed->resolve(location) : std::nullopt) {
        g_context += "\ntarget: " + shown(target->text);
        // The result becomes the next hop's URL: it must not smuggle line breaks or spaces.
        for (unsigned char c : target->text)
            if (c <= 0x20 || c == 0x7F)
                fail("resolved Location holds a control character or a space");
        if (target->text.rfind("http://", 0) != 0 && target->text.rfind("https://", 0) != 0)
            fail("resolved Location is not http or https");
        if (target->origin.scheme + "://" !=
            target->text.substr(0, target->origin.scheme.size() + 3))
            fail("a resolved Location's origin is not its own");
    }
    kestrin::NextMethod next = kestrin::next_method(status, location);
    if (!next.keep_body && next.method != "GET")
        fail("a hop that drops the body keeps a method other than GET");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    ks_engine_config c{};
    c.struct_size = sizeof c;
    c.abi_version = KS_ABI_VERSION;
    if (ks_engine_create(&c, &g_engine) != KS_OK || !g_engine)
        fail("cannot create an engine");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
        check_request(in);
        break;
    case 1:
        check_websocket(in);
        break;
    case 2:
        check_head(in);
        break;
    default:
        check_redirect(in);
        break;
    }
    return 0;
}
