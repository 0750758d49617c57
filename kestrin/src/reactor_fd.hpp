// The epoll descriptor of an io_context's reactor: the network thread sleeps on it while nobody
// runs the loop.
#pragma once

#include <boost/asio/io_context.hpp>

namespace kestrin {

// Readable while one of the loop's sockets or timers is ready. Creates the reactor if the
// io_context has none yet; -1 where Asio does not tell it (a Boost without the stack's patches).
int reactor_descriptor(boost::asio::io_context &io);

} // namespace kestrin
