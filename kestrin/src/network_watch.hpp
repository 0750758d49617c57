// Hears from the kernel when the machine's addresses change, as a browser listens for a change of
// network: what an engine learned of one network (a broken HTTP/3 alternative) says nothing of
// the next.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <string_view>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

namespace kestrin {

// The addresses the machine has, as netlink's RTM_NEWADDR and RTM_DELADDR messages tell them.
// A message that repeats a known address (an IPv6 lifetime refreshed) changes nothing.
class AddressSet {
  public:
    // Applies a buffer of netlink messages; true when an address came or went.
    bool apply(std::string_view messages);

  private:
    std::set<std::string> addresses_; // interface index, family and address bytes
};

// Loop only. Without netlink (a sandbox without it) the engine never hears of a change.
class NetworkWatch {
  public:
    explicit NetworkWatch(boost::asio::io_context &io) : descriptor_(io) {}

    // Reads the addresses the machine has now, then calls on_change on the loop each time they
    // change. False where netlink is not to be had.
    bool start(std::function<void()> on_change);
    // Ends the watch, so that the loop can end.
    void stop();

  private:
    void wait();
    // Reads what is queued; false on an error that ends the watch.
    bool drain(bool &changed);

    boost::asio::posix::stream_descriptor descriptor_;
    std::function<void()> on_change_;
    AddressSet addresses_;
    std::array<char, 16384> buffer_;
};

} // namespace kestrin
