// What the network thread rests on (reactor_fd.cpp): the descriptor the stack's patched Asio
// tells (patches/boost/0004) is its reactor's epoll set, and that set turns readable when one of
// the loop's timers or sockets is ready. A failure here on a new Boost means the engine's network
// thread would sleep through them: see "When Boost moves" in kestrin/README.md.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <string>

#include <boost/asio/local/connect_pair.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/steady_timer.hpp>

#include "reactor_fd.hpp"

namespace {

constexpr const char *kMoved =
    "Asio's reactor no longer works as reactor_fd.cpp assumes (see kestrin/README.md)";

bool readable(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeout_ms) == 1 && (p.revents & POLLIN);
}

std::string kind_of(int fd) {
    std::array<char, 64> link{};
    ssize_t n =
        ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), link.data(), link.size() - 1);
    return n > 0 ? std::string(link.data(), size_t(n)) : std::string();
}

} // namespace

TEST(ReactorFd, IsTheReactorsEpollSet) {
    boost::asio::io_context io;
    int fd = kestrin::reactor_descriptor(io);
    ASSERT_GE(fd, 0) << kMoved;
    EXPECT_EQ(kind_of(fd), "anon_inode:[eventpoll]") << kMoved;
    EXPECT_EQ(kestrin::reactor_descriptor(io), fd) << kMoved;
}

TEST(ReactorFd, ReadableWhenATimerIsDue) {
    boost::asio::io_context io;
    int fd = kestrin::reactor_descriptor(io);
    bool fired = false;
    boost::asio::steady_timer timer(io, std::chrono::milliseconds(100));
    timer.async_wait([&](boost::system::error_code) { fired = true; });
    io.poll(); // takes in what the reactor started with
    EXPECT_FALSE(readable(fd, 0)) << kMoved;
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(readable(fd, 5000)) << kMoved;
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50)) << kMoved;
    io.poll();
    EXPECT_TRUE(fired);
}

TEST(ReactorFd, ReadableWhenAWatchedSocketIs) {
    boost::asio::io_context io;
    int fd = kestrin::reactor_descriptor(io);
    boost::asio::local::stream_protocol::socket a(io), b(io);
    boost::asio::local::connect_pair(a, b);
    std::array<char, 8> buf{};
    size_t got = 0;
    a.async_read_some(boost::asio::buffer(buf),
                      [&](boost::system::error_code, size_t n) { got = n; });
    io.poll(); // the read finds nothing and waits in the reactor
    EXPECT_FALSE(readable(fd, 0)) << kMoved;
    ASSERT_EQ(::write(b.native_handle(), "x", 1), 1);
    ASSERT_TRUE(readable(fd, 5000)) << kMoved;
    io.poll();
    EXPECT_EQ(got, 1u);
}
