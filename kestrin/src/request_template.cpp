#include "request_template.hpp"

#include <string>

#include "default_headers.hpp"

namespace kestrin {

curl_slist *header_lines(const HeaderList &headers, const HeaderList &caller) {
    HeaderLines lines;
    std::string line;
    for (const auto &[name, value] : headers) {
        bool removal = value.empty() && (name == "Content-Type" || name == "Expect") &&
                       !has_header(caller, name);
        // "Name:" removes a header in libcurl; "Name;" sends it empty.
        line.assign(name);
        if (removal)
            line += ':';
        else if (value.empty())
            line += ';';
        else
            line.append(": ").append(value);
        curl_slist *next = curl_slist_append(lines.get(), line.c_str());
        if (!next)
            return nullptr;
        (void)lines.release();
        lines.reset(next);
    }
    return lines.release();
}

bool RequestTemplate::init(const EngineSettings &settings) {
    try {
        headers_ = default_headers(settings, HeaderUse::Fetch);
        HeaderList bodyless = headers_;
        if (!has_header(bodyless, "Expect"))
            bodyless.emplace_back("Expect", std::string());
        bodyless_lines_.reset(header_lines(bodyless, {}));
        return bodyless_lines_ != nullptr;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

} // namespace kestrin
