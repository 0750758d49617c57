#include "quic_refusals.hpp"

#include <cerrno>
#include <cstring>
#include <new>

#include <linux/errqueue.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrin {
namespace {

// Errors read from one socket's queue at most: ICMP errors of other kinds may come first.
constexpr int kErrorsRead = 8;
// Refusals kept at most: those of transfers that ended otherwise are never taken.
constexpr size_t kRefusalsKept = 64;

// An ICMP port unreachable queued on a UDP socket with IP_RECVERR.
bool refused_icmp(curl_socket_t s) {
    for (int i = 0; i < kErrorsRead; ++i) {
        alignas(cmsghdr) char control[256];
        char byte;
        iovec iov{&byte, 1};
        msghdr m{};
        m.msg_iov = &iov;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        if (::recvmsg(s, &m, MSG_ERRQUEUE | MSG_DONTWAIT) < 0)
            return false;
        for (cmsghdr *c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
            if ((c->cmsg_level == SOL_IP && c->cmsg_type == IP_RECVERR) ||
                (c->cmsg_level == SOL_IPV6 && c->cmsg_type == IPV6_RECVERR)) {
                sock_extended_err e;
                std::memcpy(&e, CMSG_DATA(c), sizeof e);
                if (e.ee_errno == ECONNREFUSED)
                    return true;
            }
        }
    }
    return false;
}

} // namespace

curl_socket_t QuicRefusals::open_socket(const curl_sockaddr &a) {
    curl_socket_t s = ::socket(a.family, a.socktype, a.protocol);
    if (s == CURL_SOCKET_BAD || (a.socktype & ~(SOCK_CLOEXEC | SOCK_NONBLOCK)) != SOCK_DGRAM)
        return s;
    int on = 1;
    if (a.family == AF_INET6)
        ::setsockopt(s, SOL_IPV6, IPV6_RECVERR, &on, sizeof on);
    else
        ::setsockopt(s, SOL_IP, IP_RECVERR, &on, sizeof on);
    try {
        refused_.erase(s); // a number reused: what it recorded was another socket's
        open_.insert(s);
    } catch (const std::bad_alloc &) {
        ::close(s);
        return CURL_SOCKET_BAD;
    }
    return s;
}

void QuicRefusals::closing(curl_socket_t s) {
    if (!open_.erase(s) || !refused_icmp(s))
        return;
    try {
        if (refused_.size() >= kRefusalsKept)
            refused_.clear();
        refused_.insert(s);
    } catch (const std::bad_alloc &) {
        // the failure then reads as a failed handshake
    }
}

bool QuicRefusals::take(std::span<const curl_socket_t> sockets) {
    bool refused = false;
    for (curl_socket_t s : sockets)
        refused |= refused_.erase(s) > 0;
    return refused;
}

} // namespace kestrin
