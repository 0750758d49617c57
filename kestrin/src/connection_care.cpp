#include "connection_care.hpp"

#include <new>

#include <sys/socket.h>

namespace kestrin {

void ConnectionCare::opened(CURL *easy, curl_socket_t s) {
#if LIBCURL_VERSION_NUM >= 0x080200
    curl_off_t id = -1;
    if (curl_easy_getinfo(easy, CURLINFO_CONN_ID, &id) == CURLE_OK && id >= 0) {
        try {
            sockets_[id] = s;
        } catch (const std::bad_alloc &) {
            // Only the silent-connection check goes without it.
        }
    }
#else
    (void)easy;
    (void)s;
#endif
}

void ConnectionCare::closing(curl_socket_t s) {
    std::erase_if(sockets_, [s](const auto &c) { return c.second == s; });
}

void ConnectionCare::drop_if_silent(CURL *easy, std::chrono::milliseconds quiet,
                                    const HeardFn &heard) {
#if LIBCURL_VERSION_NUM >= 0x080200
    curl_off_t id = -1;
    if (curl_easy_getinfo(easy, CURLINFO_CONN_ID, &id) != CURLE_OK)
        return;
    auto conn = sockets_.find(id);
    if (conn == sockets_.end())
        return;
    auto last = heard(conn->second);
    if (last && std::chrono::steady_clock::now() - *last >= quiet)
        ::shutdown(conn->second, SHUT_RDWR);
#else
    (void)easy;
    (void)quiet;
    (void)heard;
#endif
}

} // namespace kestrin
