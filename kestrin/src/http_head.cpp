#include "http_head.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>

namespace kestrin {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

std::vector<std::string_view> split_list(std::string_view s, char sep) {
    std::vector<std::string_view> out;
    bool quoted = false;
    size_t start = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '"')
            quoted = !quoted;
        else if (s[i] == '\\' && quoted)
            ++i;
        else if (s[i] == sep && !quoted) {
            out.push_back(trim(s.substr(start, i - start)));
            start = i + 1;
        }
    }
    out.push_back(trim(s.substr(std::min(start, s.size()))));
    return out;
}

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::optional<std::string_view> ParsedHead::get(std::string_view name) const {
    for (const auto &[n, v] : headers)
        if (iequals(n, name))
            return std::string_view(v);
    return std::nullopt;
}

bool has_header(const HeaderList &headers, std::string_view name) {
    for (const auto &h : headers)
        if (iequals(h.first, name))
            return true;
    return false;
}

bool is_https(std::string_view url) {
    return url.size() > 6 && iequals(url.substr(0, 6), "https:");
}

std::string joined_values(const HeaderList &headers, std::string_view name) {
    std::string out;
    for (const auto &[n, v] : headers) {
        if (!iequals(n, name))
            continue;
        if (!out.empty())
            out += ", ";
        out += v;
    }
    return out;
}

std::string ParsedHead::joined(std::string_view name) const {
    return joined_values(headers, name);
}

int parse_status_line(std::string_view line) {
    if (line.substr(0, 5) != "HTTP/")
        return 0;
    size_t sp = line.find(' ');
    if (sp == std::string_view::npos || sp + 4 > line.size())
        return 0;
    int status = 0;
    for (size_t i = sp + 1; i < sp + 4; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(line[i])))
            return 0;
        status = status * 10 + (line[i] - '0');
    }
    if (sp + 4 < line.size() && line[sp + 4] != ' ' && line[sp + 4] != '\r' && line[sp + 4] != '\n')
        return 0;
    return status;
}

ParsedHead parse_head(std::string_view raw) {
    ParsedHead head;
    bool first = true;
    while (!raw.empty()) {
        size_t eol = raw.find('\n');
        std::string_view line = raw.substr(0, eol);
        raw = eol == std::string_view::npos ? std::string_view{} : raw.substr(eol + 1);
        if (first) {
            head.status = parse_status_line(line);
            first = false;
            continue;
        }
        line = trim(line);
        if (line.empty())
            break;
        size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        head.headers.emplace_back(std::string(trim(line.substr(0, colon))),
                                  std::string(trim(line.substr(colon + 1))));
    }
    return head;
}

bool has_token(std::string_view value, std::string_view token) {
    while (!value.empty()) {
        size_t comma = value.find(',');
        std::string_view item = trim(value.substr(0, comma));
        size_t eq = item.find('=');
        if (iequals(trim(item.substr(0, eq)), token))
            return true;
        if (comma == std::string_view::npos)
            break;
        value.remove_prefix(comma + 1);
    }
    return false;
}

std::optional<int64_t> delta_seconds(std::string_view s) {
    constexpr int64_t kMax = int64_t{1} << 31;
    size_t digits = 0;
    while (digits < s.size() && s[digits] >= '0' && s[digits] <= '9')
        ++digits;
    if (digits == 0)
        return std::nullopt;
    uint64_t v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + digits, v);
    if (ec != std::errc() || v > uint64_t(kMax))
        return kMax;
    return static_cast<int64_t>(v);
}

std::string ascii_lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

bool content_lengths_agree(std::string_view joined) {
    std::string_view first = trim(joined.substr(0, joined.find(',')));
    for (;;) {
        size_t comma = joined.find(',');
        if (trim(joined.substr(0, comma)) != first)
            return false;
        if (comma == std::string_view::npos)
            return true;
        joined.remove_prefix(comma + 1);
    }
}

bool is_token(std::string_view s) {
    if (s.empty())
        return false;
    for (unsigned char c : s)
        if (c <= 32 || c >= 127 || std::strchr("\"(),/:;<=>?@[\\]{}", c))
            return false;
    return true;
}

bool is_field_value(std::string_view s) {
    for (unsigned char c : s)
        if (c == '\r' || c == '\n' || c == '\0')
            return false;
    return true;
}

} // namespace kestrin
