#include "reactor_fd.hpp"

#include <boost/asio/detail/reactor.hpp>

namespace kestrin {

// The stack's Asio tells its reactor's epoll set (patches/boost). That set must hold every
// registered descriptor and, through a timerfd, the timers: a reactor that waited on timers by
// its epoll_wait timeout alone would leave the network thread asleep.
#if defined(BOOST_ASIO_EPOLL_REACTOR_NATIVE_HANDLE) && defined(BOOST_ASIO_HAS_TIMERFD) &&          \
    !defined(BOOST_ASIO_HAS_IO_URING_AS_DEFAULT)
int reactor_descriptor(boost::asio::io_context &io) {
    return boost::asio::use_service<boost::asio::detail::reactor>(io).native_handle();
}
#else
int reactor_descriptor(boost::asio::io_context &) {
    return -1;
}
#endif

} // namespace kestrin
