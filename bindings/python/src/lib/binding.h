// A method's signature, declared once, and the binding of positional and keyword arguments to
// its parameters. From the one declaration come the parameters' indices, the names the binding
// accepts, the qualified name its messages use and the signature line of the documentation, so
// that none of them can drift from the others.
#pragma once

#include "lib/convert.h"
#include "lib/python.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace corvina {

struct Param {
    const char *name;
    const char *default_text = nullptr; // as the documentation shows it; nullptr: required
};

// Text rendered at compile time: counted with a null output, then written.
class TextWriter {
  public:
    constexpr explicit TextWriter(char *out) : out_(out) {}
    constexpr void put(std::string_view s) {
        for (char c : s) {
            if (out_ != nullptr)
                out_[size_] = c;
            ++size_;
        }
    }
    constexpr size_t size() const { return size_; }

  private:
    char *out_;
    size_t size_ = 0;
};

template <class Write> constexpr size_t rendered_size(Write write) {
    TextWriter w(nullptr);
    write(w);
    return w.size();
}

template <size_t Size, class Write> constexpr std::array<char, Size + 1> render(Write write) {
    std::array<char, Size + 1> text{};
    TextWriter w(text.data());
    write(w);
    return text;
}

template <size_t N> struct Signature {
    static constexpr size_t size = N;
    const char *owner; // the class
    const char *name;  // the method; "__new__" for the constructor
    std::array<Param, N> params;

    constexpr bool constructor() const { return std::string_view(name) == "__new__"; }

    // The parameters without a default; they come first.
    constexpr int required() const {
        int n = 0;
        while (n < static_cast<int>(N) && params[n].default_text == nullptr)
            ++n;
        for (size_t i = n; i < N; ++i)
            if (params[i].default_text == nullptr)
                throw "a parameter without a default follows one with a default";
        return n;
    }

    // The index of a parameter; a name not in the signature does not compile.
    consteval int at(std::string_view param) const {
        for (size_t i = 0; i < N; ++i)
            if (std::string_view(params[i].name) == param)
                return static_cast<int>(i);
        throw "no parameter of that name";
    }

    // "PyEngine.request()", as the binding's messages name the method.
    constexpr void write_function(TextWriter &w) const {
        w.put(owner);
        w.put(".");
        w.put(name);
        w.put("()");
    }

    // "request($self, method, url, headers=None)\n--\n\n": the line the interpreter reads the
    // signature from; a constructor goes under its class's name, without $self.
    constexpr void write_doc_head(TextWriter &w) const {
        w.put(constructor() ? owner : name);
        w.put("(");
        bool first = constructor();
        if (!first)
            w.put("$self");
        for (const Param &p : params) {
            if (!first)
                w.put(", ");
            first = false;
            w.put(p.name);
            if (p.default_text != nullptr) {
                w.put("=");
                w.put(p.default_text);
            }
        }
        w.put(")\n--\n\n");
    }
};

template <size_t N>
constexpr Signature<N> signature(const char *owner, const char *name, const Param (&params)[N]) {
    Signature<N> s{owner, name, {}};
    for (size_t i = 0; i < N; ++i)
        s.params[i] = params[i];
    (void)s.required(); // the order of required and defaulted parameters is checked here
    return s;
}

// A string literal as a template argument.
template <size_t N> struct Literal {
    char chars[N];
    constexpr Literal(const char (&s)[N]) {
        for (size_t i = 0; i < N; ++i)
            chars[i] = s[i];
    }
    constexpr std::string_view view() const { return {chars, N - 1}; }
};

struct ParamSpec {
    const char *function; // qualified name with parentheses, for messages: "PyEngine.request()"
    const Param *params;
    int count;
    int required; // the first `required` parameters have no default
};

template <const auto &Sig> struct SignatureText {
    static constexpr auto write_function = [](TextWriter &w) { Sig.write_function(w); };
    static constexpr auto function = render<rendered_size(write_function)>(write_function);
};

// The binding's view of a signature.
template <const auto &Sig>
inline constexpr ParamSpec spec_of{SignatureText<Sig>::function.data(), Sig.params.data(),
                                   static_cast<int>(Sig.size), Sig.required()};

template <const auto &Sig, Literal Body> struct DocText {
    static constexpr auto write = [](TextWriter &w) {
        Sig.write_doc_head(w);
        w.put(Body.view());
    };
    static constexpr auto text = render<rendered_size(write)>(write);
};

// The documentation of a method or class: its signature line, then `Body`.
template <const auto &Sig, Literal Body = ""> constexpr const char *doc_of() {
    return DocText<Sig, Body>::text.data();
}

// Borrowed references, one per parameter; nullptr where the parameter was not given.
// Positional arguments and kwnames follow the vectorcall convention.
bool bind_fast(const ParamSpec &spec, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
               PyObject **out);

// The same for an argument tuple and keyword dictionary (constructors).
bool bind_tuple(const ParamSpec &spec, PyObject *args, PyObject *kwargs, PyObject **out);

// The arguments bound to the parameters of `Sig`, reached by name; a name that is not a
// parameter does not compile.
template <const auto &Sig> class Args {
  public:
    bool bind_fast(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
        return corvina::bind_fast(spec_of<Sig>, args, nargs, kwnames, items_);
    }
    bool bind_tuple(PyObject *args, PyObject *kwargs) {
        return corvina::bind_tuple(spec_of<Sig>, args, kwargs, items_);
    }

    // Borrowed; nullptr when not given.
    template <Literal Name> PyObject *get() const { return items_[Sig.at(Name.view())]; }

    // Converts the argument with `conversion(value)`; a TypeError gets the argument's name.
    template <Literal Name, class F> bool convert(F &&conversion) const {
        constexpr int i = Sig.at(Name.view());
        return convert_arg(Sig.params[i].name, [&] { return conversion(items_[i]); });
    }

    // A boolean parameter: its truth when given, else the default its signature shows.
    template <Literal Name> bool flag(bool &out) const {
        constexpr std::string_view shown = Sig.params[Sig.at(Name.view())].default_text;
        static_assert(shown == "True" || shown == "False");
        return convert<Name>([&](PyObject *v) {
            if (v != nullptr)
                return to_flag(v, out);
            out = shown == "True";
            return true;
        });
    }

  private:
    PyObject *items_[Sig.size] = {};
};

// The one optional `limit` of a poll_events method, converted.
inline constexpr Param kPollLimitParams[] = {{"limit", "64"}};
bool bind_poll_limit(const ParamSpec &spec, PyObject *const *args, Py_ssize_t nargs,
                     PyObject *kwnames, uint32_t &limit);
template <const auto &Sig>
bool bind_poll_limit(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, uint32_t &limit) {
    static_assert(Sig.size == 1 && Sig.at("limit") == 0);
    return bind_poll_limit(spec_of<Sig>, args, nargs, kwnames, limit);
}

// True when a parameter is absent or None.
inline bool absent(PyObject *o) {
    return o == nullptr || o == Py_None;
}

} // namespace corvina
