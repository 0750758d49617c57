// The memory of QUIC refusals: a UDP port that answered with ICMP port unreachable. libcurl's
// receive takes the error and reports a failed connect like any other; the socket's error queue
// keeps it, read here as the socket closes, so that the failure reads as a refused connection
// rather than a failed handshake.
#pragma once

#include <span>
#include <unordered_set>

#include <curl/curl.h>

namespace kestrin {

class QuicRefusals {
  public:
    // A transfer's socket, as libcurl would open it; a UDP one also keeps ICMP errors.
    curl_socket_t open_socket(const curl_sockaddr &address);
    // The socket is about to close: a refusal in its error queue is remembered.
    void closing(curl_socket_t s);
    // Whether one of these sockets closed after its port refused; forgets them.
    bool take(std::span<const curl_socket_t> sockets);

  private:
    std::unordered_set<curl_socket_t> open_;
    std::unordered_set<curl_socket_t> refused_;
};

} // namespace kestrin
