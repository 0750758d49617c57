#include "network_watch.hpp"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace kestrin {

namespace {

// NLMSG_OK, without its comparison of the signed length with the unsigned field.
bool whole(const nlmsghdr *h, int left) {
    return left >= static_cast<int>(sizeof(nlmsghdr)) && h->nlmsg_len >= sizeof(nlmsghdr) &&
           h->nlmsg_len <= static_cast<unsigned>(left);
}

} // namespace

bool AddressSet::apply(std::string_view messages) {
    bool changed = false;
    auto *data = messages.data();
    int left = static_cast<int>(messages.size());
    for (auto *h = reinterpret_cast<const nlmsghdr *>(data); whole(h, left);
         h = NLMSG_NEXT(h, left)) {
        if (h->nlmsg_type != RTM_NEWADDR && h->nlmsg_type != RTM_DELADDR)
            continue;
        if (h->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg)))
            continue;
        auto *ifa = static_cast<const ifaddrmsg *>(NLMSG_DATA(h));
        int attr_left = static_cast<int>(IFA_PAYLOAD(h));
        std::string_view local, address;
        for (auto *a = IFA_RTA(ifa); RTA_OK(a, attr_left); a = RTA_NEXT(a, attr_left)) {
            std::string_view bytes(static_cast<const char *>(RTA_DATA(a)), RTA_PAYLOAD(a));
            if (a->rta_type == IFA_LOCAL)
                local = bytes;
            else if (a->rta_type == IFA_ADDRESS)
                address = bytes;
        }
        // IFA_LOCAL is the machine's own end where the two differ (a point-to-point link).
        std::string_view own = local.empty() ? address : local;
        if (own.empty())
            continue;
        std::string key;
        key.append(reinterpret_cast<const char *>(&ifa->ifa_index), sizeof ifa->ifa_index);
        key.push_back(static_cast<char>(ifa->ifa_family));
        key.append(own);
        if (h->nlmsg_type == RTM_NEWADDR)
            changed |= addresses_.insert(std::move(key)).second;
        else
            changed |= addresses_.erase(key) > 0;
    }
    return changed;
}

bool NetworkWatch::start(std::function<void()> on_change) {
    int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (fd < 0)
        return false;
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
    // The addresses of now, so that a later message about one of them is no change.
    struct {
        nlmsghdr header;
        ifaddrmsg body;
    } dump{};
    dump.header.nlmsg_len = sizeof dump;
    dump.header.nlmsg_type = RTM_GETADDR;
    dump.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    dump.body.ifa_family = AF_UNSPEC;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
        ::sendto(fd, &dump, sizeof dump, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) <
            0) {
        ::close(fd);
        return false;
    }
    boost::system::error_code ec;
    descriptor_.assign(fd, ec);
    if (ec) {
        ::close(fd);
        return false;
    }
    on_change_ = std::move(on_change);
    wait();
    return true;
}

void NetworkWatch::stop() {
    boost::system::error_code ignored;
    descriptor_.close(ignored);
}

void NetworkWatch::wait() {
    descriptor_.async_wait(boost::asio::posix::stream_descriptor::wait_read,
                           [this](const boost::system::error_code &ec) {
                               if (ec)
                                   return;
                               bool changed = false;
                               if (!drain(changed))
                                   return stop();
                               if (changed && on_change_)
                                   on_change_();
                               wait();
                           });
}

bool NetworkWatch::drain(bool &changed) {
    for (;;) {
        ssize_t n = ::recv(descriptor_.native_handle(), buffer_.data(), buffer_.size(), 0);
        if (n > 0) {
            // The dump's answer (the addresses already there, in multipart messages) fills the
            // set; only a notification is a change.
            auto *first = reinterpret_cast<const nlmsghdr *>(buffer_.data());
            bool dump =
                static_cast<size_t>(n) >= sizeof *first && (first->nlmsg_flags & NLM_F_MULTI);
            try {
                if (addresses_.apply({buffer_.data(), static_cast<size_t>(n)}) && !dump)
                    changed = true;
            } catch (const std::bad_alloc &) {
                changed = true; // an address not kept may come again: a change too many is safe
            }
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        // ENOBUFS: notifications were lost, so something may have changed unseen.
        if (n < 0 && errno == ENOBUFS) {
            changed = true;
            continue;
        }
        return false;
    }
}

} // namespace kestrin
