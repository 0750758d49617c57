#include "request/sink.h"

#include <cstring>
#include <limits>
#include <string_view>

namespace corvina {
namespace {

bool starts_with_nocase(const uint8_t *p, size_t n, std::string_view prefix) {
    if (n < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        uint8_t c = p[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<uint8_t>(c - 'A' + 'a');
        if (c != static_cast<uint8_t>(prefix[i]))
            return false;
    }
    return true;
}

} // namespace

void BodySink::append(const uint8_t *p, size_t n) {
    if (n == 0)
        return;
    if (fits(n)) {
        std::memcpy(data + size, p, n);
        size += n;
    } else {
        spill.insert(spill.end(), p, p + n);
    }
}

std::optional<uint64_t> announced_length(int32_t status, const Bytes &head) {
    if (status < 200 || status == 204 || status == 304)
        return std::nullopt;
    std::optional<uint64_t> length;
    size_t pos = 0;
    while (pos < head.size()) {
        auto *line = head.data() + pos;
        auto *end = static_cast<const uint8_t *>(std::memchr(line, '\n', head.size() - pos));
        size_t n = end ? static_cast<size_t>(end - line) : head.size() - pos;
        pos += n + 1;
        if (starts_with_nocase(line, n, "content-encoding:") ||
            starts_with_nocase(line, n, "transfer-encoding:"))
            return std::nullopt;
        if (!starts_with_nocase(line, n, "content-length:"))
            continue;
        size_t i = std::string_view("content-length:").size();
        while (i < n && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        uint64_t value = 0;
        size_t digits = 0;
        for (; i < n && line[i] >= '0' && line[i] <= '9'; ++i, ++digits) {
            if (value > (std::numeric_limits<uint64_t>::max() - 9) / 10)
                return std::nullopt;
            value = value * 10 + (line[i] - '0');
        }
        while (i < n && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
            ++i;
        if (digits == 0 || i != n || (length && *length != value))
            return std::nullopt;
        length = value;
    }
    return length;
}

} // namespace corvina
