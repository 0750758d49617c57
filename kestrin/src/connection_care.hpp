// The care of open connections: which socket each of libcurl's connections uses, so that one
// that went silent under a request that timed out is closed before another request queues
// behind it, as a browser stops using a connection that failed its health check.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <unordered_map>

#include <curl/curl.h>

namespace kestrin {

class ConnectionCare {
  public:
    // When the peer of a socket last gave libcurl something to read, if the socket is watched.
    using HeardFn =
        std::function<std::optional<std::chrono::steady_clock::time_point>(curl_socket_t)>;

    // A socket libcurl opened for easy's connection.
    void opened(CURL *easy, curl_socket_t s);
    void closing(curl_socket_t s);
    // Closes the connection of easy's transfer, which timed out, if it said nothing for `quiet`.
    // Shutting the socket down leaves the descriptor to libcurl, which then finds the
    // connection dead, fails what else waits on it the same way, and never reuses it.
    void drop_if_silent(CURL *easy, std::chrono::milliseconds quiet, const HeardFn &heard);

  private:
    std::unordered_map<curl_off_t, curl_socket_t> sockets_; // by libcurl's connection id
};

} // namespace kestrin
