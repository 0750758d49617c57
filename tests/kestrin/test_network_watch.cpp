#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "network_watch.hpp"

using kestrin::AddressSet;

namespace {

// One RTM_NEWADDR or RTM_DELADDR message with an IFA_ADDRESS attribute, as the kernel sends it.
std::string message(uint16_t type, int index, const char *ip, uint32_t flags = 0) {
    bool v6 = std::strchr(ip, ':') != nullptr;
    unsigned char bytes[16];
    inet_pton(v6 ? AF_INET6 : AF_INET, ip, bytes);
    size_t len = v6 ? 16 : 4;
    std::string out(NLMSG_SPACE(sizeof(ifaddrmsg) + RTA_SPACE(len)), '\0');
    auto *h = reinterpret_cast<nlmsghdr *>(out.data());
    h->nlmsg_len = NLMSG_LENGTH(sizeof(ifaddrmsg) + RTA_SPACE(len));
    h->nlmsg_type = type;
    h->nlmsg_flags = flags;
    auto *ifa = static_cast<ifaddrmsg *>(NLMSG_DATA(h));
    ifa->ifa_family = v6 ? AF_INET6 : AF_INET;
    ifa->ifa_index = index;
    auto *a = IFA_RTA(ifa);
    a->rta_type = IFA_ADDRESS;
    a->rta_len = RTA_LENGTH(len);
    std::memcpy(RTA_DATA(a), bytes, len);
    return out;
}

} // namespace

TEST(NetworkWatch, OnlyAnAddressThatComesOrGoesIsAChange) {
    AddressSet set;
    // What the machine has at the start, in one buffer of several messages.
    EXPECT_TRUE(
        set.apply(message(RTM_NEWADDR, 1, "127.0.0.1") + message(RTM_NEWADDR, 2, "fe80::1")));
    // An IPv6 address's lifetime refreshed, an address that was never there going away.
    EXPECT_FALSE(set.apply(message(RTM_NEWADDR, 2, "fe80::1")));
    EXPECT_FALSE(set.apply(message(RTM_DELADDR, 2, "fe80::2")));
    // The same address on another interface is another address.
    EXPECT_TRUE(set.apply(message(RTM_NEWADDR, 3, "fe80::1")));
    EXPECT_TRUE(set.apply(message(RTM_DELADDR, 2, "fe80::1")));
    EXPECT_TRUE(set.apply(message(RTM_NEWADDR, 2, "fe80::1")));
    // Other messages, and truncated ones, are not read.
    std::string other = message(RTM_NEWADDR, 4, "10.0.0.1");
    reinterpret_cast<nlmsghdr *>(other.data())->nlmsg_type = RTM_NEWLINK;
    EXPECT_FALSE(set.apply(other));
    std::string cut = message(RTM_NEWADDR, 4, "10.0.0.1");
    EXPECT_FALSE(set.apply(cut.substr(0, NLMSG_HDRLEN + 4)));
    EXPECT_FALSE(set.apply({}));
}
