// Minimal JSON object writer for log entries. Byte values become {"hex": "..."} so the Python
// driver can tell them from texts; a null pointer becomes null.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kst {

inline void append_quoted(std::string &out, std::string_view text) {
    static const char digits[] = "0123456789abcdef";
    out += '"';
    for (char ch : text) {
        auto u = static_cast<unsigned char>(ch);
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += ch;
        } else if (u < 0x20 || u >= 0x7f) {
            out += "\\u00";
            out += digits[u >> 4];
            out += digits[u & 15];
        } else {
            out += ch;
        }
    }
    out += '"';
}

// A byte run as a JSON value: null for a null pointer, else {"hex": "..."}.
inline std::string bytes_value(const void *p, size_t n) {
    if (p == nullptr)
        return "null";
    static const char digits[] = "0123456789abcdef";
    std::string v = "{\"hex\":\"";
    v.reserve(v.size() + 2 * n + 2);
    auto *b = static_cast<const unsigned char *>(p);
    for (size_t i = 0; i < n; ++i) {
        v += digits[b[i] >> 4];
        v += digits[b[i] & 15];
    }
    v += "\"}";
    return v;
}

// Builds the members of one object, without the braces.
class Members {
  public:
    Members &num(std::string_view key, int64_t v) { return raw(key, std::to_string(v)); }
    Members &unum(std::string_view key, uint64_t v) { return raw(key, std::to_string(v)); }
    Members &boolean(std::string_view key, bool v) { return raw(key, v ? "true" : "false"); }
    Members &null(std::string_view key) { return raw(key, "null"); }
    Members &text(std::string_view key, std::string_view v) {
        std::string q;
        append_quoted(q, v);
        return raw(key, q);
    }
    Members &bytes(std::string_view key, const void *p, size_t n) {
        return raw(key, bytes_value(p, n));
    }
    Members &object(std::string_view key, const Members &m) {
        return raw(key, "{" + m.str() + "}");
    }
    Members &merge(const Members &other) {
        if (!other.out_.empty()) {
            if (!out_.empty())
                out_ += ',';
            out_ += other.out_;
        }
        return *this;
    }
    Members &raw(std::string_view key, std::string_view json) {
        if (!out_.empty())
            out_ += ',';
        append_quoted(out_, key);
        out_ += ':';
        out_ += json;
        return *this;
    }
    const std::string &str() const { return out_; }

  private:
    std::string out_;
};

} // namespace kst
