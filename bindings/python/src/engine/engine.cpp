#include "engine/engine.h"

#include "lib/binding.h"
#include "lib/fault.h"
#include "lib/object.h"
#include "lib/run.h"
#include "lib/type.h"
#include "request/create.h"
#include "request/options.h"
#include "websocket/py_websocket.h"

#include <algorithm>
#include <string_view>
#include <utility>

namespace corvina {
namespace {

using EngineBox = Boxed<EngineNative>;

constexpr auto kEngineNew = signature("PyEngine", "__new__",
                                      {{"impersonate", "None"},
                                       {"proxy", "None"},
                                       {"verify", "True"},
                                       {"ca_pem", "None"},
                                       {"user_agent", "None"},
                                       {"accept_language", "None"},
                                       {"proxy_username", "None"},
                                       {"proxy_password", "None"},
                                       {"http_version", "None"},
                                       {"cache", "True"},
                                       {"profile_namespace", "None"}});

bool convert_engine_args(const Args<kEngineNew> &a, EngineOptions &o,
                         std::optional<std::string> &http) {
    bool verify{}, cache{}; // set by flag() from the signature
    auto text = [](std::optional<std::string> &out) {
        return [&out](PyObject *v) { return to_optional_text(v, out); };
    };
    if (!a.convert<"impersonate">(text(o.impersonate)) || !a.convert<"proxy">(text(o.proxy)) ||
        !a.flag<"verify">(verify) || !a.convert<"ca_pem">([&](PyObject *v) {
            if (absent(v))
                return true;
            Bytes pem;
            if (!to_byte_string(v, pem))
                return false;
            o.ca_pem = std::move(pem);
            return true;
        }) ||
        !a.convert<"user_agent">(text(o.user_agent)) ||
        !a.convert<"accept_language">(text(o.accept_language)) ||
        !a.convert<"proxy_username">(text(o.proxy_username)) ||
        !a.convert<"proxy_password">(text(o.proxy_password)) ||
        !a.convert<"http_version">(text(http)) || !a.flag<"cache">(cache) ||
        !a.convert<"profile_namespace">(text(o.profile_namespace)))
        return false;
    o.cache_disabled = cache ? 0 : 1;
    o.cert_mode = !verify ? KS_CERT_NONE : (o.ca_pem ? KS_CERT_CA_PEM : KS_CERT_SYSTEM);
    return true;
}

PyObject *engine_new_impl(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    Args<kEngineNew> a;
    if (!a.bind_tuple(args, kwargs))
        return nullptr;
    EngineOptions options;
    std::optional<std::string> http;
    if (!convert_engine_args(a, options, http))
        return nullptr;
    if (options.impersonate)
        options.impersonate = normalize_impersonate(std::move(*options.impersonate));
    if (http) {
        auto code = http_version_code(*http);
        if (!code)
            return raise_runtime("unknown http version " + quote_value(*http));
        options.http_version = *code;
    }
    auto created = create_engine(options);
    if (auto *error = std::get_if<CoreError>(&created))
        return raise_core_error(*error);
    return EngineBox::create(type, EngineNative{std::get<0>(std::move(created))});
}

} // namespace

std::string normalize_impersonate(std::string text) {
    constexpr std::string_view kChrome = "chrome";
    if (text.size() < kChrome.size() || std::string_view(text).substr(0, 6) != kChrome)
        return text;
    std::string_view rest = std::string_view(text).substr(6);
    if (rest.empty())
        return text;
    if (rest.front() == '_')
        rest.remove_prefix(1);
    if (rest.empty())
        return text;
    // Any non-ASCII byte is part of a non-digit character, so a byte test suffices.
    if (!std::all_of(rest.begin(), rest.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return text;
    return "chrome_" + std::string(rest);
}

std::optional<ks_http_version> http_version_code(const std::string &text) {
    static const std::pair<std::string_view, ks_http_version> kTable[] = {
        {"auto", KS_HTTP_AUTO}, {"native", KS_HTTP_AUTO},  {"h1", KS_HTTP_1_1},
        {"v1", KS_HTTP_1_1},    {"http/1.1", KS_HTTP_1_1}, {"h2", KS_HTTP_2},
        {"v2", KS_HTTP_2},      {"http/2", KS_HTTP_2},     {"h3", KS_HTTP_3},
        {"v3", KS_HTTP_3},      {"http/3", KS_HTTP_3},
    };
    for (const auto &[name, code] : kTable)
        if (name == text)
            return code;
    return std::nullopt;
}

EngineHolder::~EngineHolder() {
    release_noexcept([this] { ks_engine_release(handle_); });
}

std::variant<std::shared_ptr<EngineHolder>, CoreError> create_engine(const EngineOptions &o) {
    if (ks_abi_version() != KS_ABI_VERSION)
        return CoreError{ErrorKind::UnsupportedAbi, 0};
    ks_engine_config config{};
    config.struct_size = sizeof(ks_engine_config);
    config.abi_version = KS_ABI_VERSION;
    put_run(o.user_agent, config.user_agent, config.user_agent_len);
    put_run(o.proxy, config.proxy, config.proxy_len);
    put_run(o.proxy_username, config.proxy_username, config.proxy_username_len);
    put_run(o.proxy_password, config.proxy_password, config.proxy_password_len);
    config.cache_disabled = o.cache_disabled;
    put_run(o.accept_language, config.accept_language, config.accept_language_len);
    put_run(o.impersonate, config.impersonate, config.impersonate_len);
    put_run(o.profile_namespace, config.profile_namespace, config.profile_namespace_len);
    config.http_version = o.http_version;
    config.cert_mode = o.cert_mode;
    put_run(o.ca_pem, config.ca_pem, config.ca_pem_len);

    ks_engine *handle = nullptr;
    uint32_t status = ks_engine_create(&config, &handle);
    if (status != KS_OK) {
        // A Core that reports failure must not hand out a handle; if it does, it is not ours.
        return error_from_status(status);
    }
    if (handle == nullptr)
        return CoreError{ErrorKind::InitializationFailed, 0};
    try {
        return std::make_shared<EngineHolder>(handle);
    } catch (...) {
        release_noexcept([handle] { ks_engine_release(handle); });
        throw;
    }
}

ks_engine *engine_handle(PyObject *engine) {
    return EngineBox::of(engine).holder->handle();
}

namespace {

PyObject *engine_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    return guard([&] { return engine_new_impl(type, args, kwargs); });
}

PyObject *engine_abi_version(PyObject *, PyObject *) {
    return guard([] { return PyLong_FromUnsignedLong(KS_ABI_VERSION); });
}

PyObject *engine_core_version(PyObject *, PyObject *) {
    return guard([]() -> PyObject * {
        const char *text = ks_version_string();
        if (text == nullptr)
            Py_RETURN_NONE;
        return new_text_lossy(text, std::char_traits<char>::length(text));
    });
}

void engine_finalize(PyObject *self) {
    EngineBox::destroy(self);
}

PyMethodDef engine_methods[] = {
    {"abi_version", engine_abi_version, METH_NOARGS | METH_STATIC,
     PyDoc_STR("abi_version()\n--\n\n")},
    {"core_version", engine_core_version, METH_NOARGS | METH_STATIC,
     PyDoc_STR("core_version()\n--\n\n")},
    CORVINA_FAST(kEngineRequest, engine_request, ""),
    CORVINA_FAST(kEngineWebSocket, engine_websocket, ""),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot engine_slots[] = {
    {Py_tp_doc, const_cast<char *>(doc_of<kEngineNew>())},
    {Py_tp_new, reinterpret_cast<void *>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc<engine_finalize>)},
    {Py_tp_methods, engine_methods},
    {0, nullptr},
};

} // namespace

PyTypeObject *engine_type() {
    static PyType_Spec spec{"builtins.PyEngine", static_cast<int>(sizeof(EngineBox)), 0, kTypeFlags,
                            engine_slots};
    static PyObject *type = nullptr;
    return make_type(spec, type);
}

} // namespace corvina
