#include "redirect_policy.hpp"

#include <algorithm>

#include "http_head.hpp"

namespace kestrin {

bool is_redirect_status(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

NextMethod next_method(int status, std::string_view method) {
    if ((status == 301 || status == 302) && method == "POST")
        return {"GET", false};
    if (status == 303 && method != "HEAD")
        return {"GET", false};
    return {std::string(method), true};
}

bool is_body_header(std::string_view name) {
    return iequals(name, "Content-Type") || iequals(name, "Content-Length") ||
           iequals(name, "Content-Encoding") || iequals(name, "Content-Language") ||
           iequals(name, "Content-Location") || iequals(name, "Transfer-Encoding");
}

void drop_credentials(HeaderList &headers) {
    std::erase_if(headers, [](const auto &h) {
        return iequals(h.first, "Authorization") || iequals(h.first, "Cookie");
    });
}

} // namespace kestrin
