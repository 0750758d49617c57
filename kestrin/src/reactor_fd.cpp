#include "reactor_fd.hpp"

#include <boost/asio/detail/reactor.hpp>
#include <boost/version.hpp>

// Reading a private member ties this file to what one Boost release does inside: an epoll
// reactor whose epoll set holds every socket and, through a timerfd, the timers. On another
// release, check epoll_reactor.hpp and impl/epoll_reactor.ipp still hold that, run
// tests/kestrin/test_reactor_fd.cpp, and only then move this pin (see kestrin/README.md).
#if BOOST_VERSION / 100 != 1081
#error "epoll_fd_ is read as Boost 1.81 has it: re-check it, then move the pin (kestrin/README.md)"
#endif
#if !defined(BOOST_ASIO_HAS_EPOLL) || !defined(BOOST_ASIO_HAS_TIMERFD) ||                          \
    defined(BOOST_ASIO_HAS_IO_URING_AS_DEFAULT)
#error "the network thread needs Asio's epoll reactor with timerfd timers"
#endif

namespace kestrin {

namespace {

// An explicit instantiation may name a private member, so the name is checked when this builds.
using Reactor = boost::asio::detail::reactor;
int Reactor::*reactor_fd_member();
template <int Reactor::*Member> struct ReactorFd {
    friend int Reactor::*reactor_fd_member() { return Member; }
};
template struct ReactorFd<&Reactor::epoll_fd_>;

} // namespace

int reactor_descriptor(boost::asio::io_context &io) {
    return boost::asio::use_service<Reactor>(io).*reactor_fd_member();
}

} // namespace kestrin
