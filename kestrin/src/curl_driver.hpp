// The watches between libcurl's multi handle and an engine's Asio loop: the sockets and the timer
// libcurl asks for become Asio waits, and their events become curl_multi_socket_action calls.
// Also keeps the engine's spare easy handles. Network thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <curl/curl.h>

#include "job.hpp"

namespace kestrin {

struct SocketWatch;

// A job libcurl drives: the driver finds it from its easy handle.
class Transfer : public Job {
  public:
    // The transfer whose easy handle this is, or null.
    static Transfer *of(CURL *easy) {
        char *p = nullptr;
        return curl_easy_getinfo(easy, CURLINFO_PRIVATE, &p) == CURLE_OK
                   ? reinterpret_cast<Transfer *>(p)
                   : nullptr;
    }
    // libcurl finished the transfer of easy, with code.
    virtual void transfer_done(CURL *easy, CURLcode code) = 0;
    // Hands on the body collected during one libcurl call.
    virtual void flush_body() = 0;

  protected:
    // Makes easy's transfer this one, for of().
    void own(CURL *easy) { curl_easy_setopt(easy, CURLOPT_PRIVATE, static_cast<Transfer *>(this)); }
};

class CurlDriver {
  public:
    CurlDriver(boost::asio::io_context &io, JobRegistry &jobs) : io_(io), jobs_(jobs), timer_(io) {}
    ~CurlDriver();
    CurlDriver(const CurlDriver &) = delete;
    CurlDriver &operator=(const CurlDriver &) = delete;

    // The multi handle; false when out of memory.
    bool init();
    // From here on nothing is watched or kept: the engine is ending its transfers.
    void stop() { stopped_ = true; }
    // Once every transfer ended: the watches, the timer, the multi handle and spare handles go.
    void close();
    // Some socket or timer of libcurl's is watched.
    bool watching() const { return !watches_.empty() || want_timer_; }

    // A transfer's handle: a spare one, reset, or a new one; null when out of memory.
    CURL *take_easy();
    // Takes back a handle no multi holds; its options go, its buffers stay for the next transfer.
    void give_back_easy(CURL *easy);
    // False when libcurl could not take the transfer (out of memory).
    bool add(CURL *easy);
    void remove(CURL *easy);
    // Collected body goes out once the current libcurl call returns.
    void defer_body_flush(std::shared_ptr<Transfer> t);
    // A socket is about to close: its registration with the reactor goes with it.
    void forget(curl_socket_t s);
    // When the peer of a watched socket last gave libcurl something to read.
    std::optional<std::chrono::steady_clock::time_point> heard(curl_socket_t s) const;

  private:
    static int on_socket(CURL *easy, curl_socket_t s, int what, void *driver, void *socketp);
    int watch_socket(curl_socket_t s, int what);
    static int on_timer(CURLM *multi, long timeout_ms, void *driver);
    void set_timer(long timeout_ms);
    void arm_timer(std::chrono::steady_clock::time_point due);
    void timer_expired();
    void arm(const std::shared_ptr<SocketWatch> &w, int direction);
    void fire(const std::shared_ptr<SocketWatch> &w, int direction);
    void socket_action(curl_socket_t s, int events);
    void fail_transfers();
    void drain_messages();
    void flush_bodies();

    boost::asio::io_context &io_;
    JobRegistry &jobs_;
    CURLM *multi_ = nullptr;
    bool stopped_ = false;
    boost::asio::steady_timer timer_;
    // What libcurl last asked for: a TIMEOUT action at timer_due_ while want_timer_.
    bool want_timer_ = false;
    std::chrono::steady_clock::time_point timer_due_;
    // The wait queued on timer_, if any: when it fires, and its generation (a later arm or a
    // due-now post makes older ones stale).
    bool timer_waiting_ = false;
    std::chrono::steady_clock::time_point timer_armed_for_;
    std::uint64_t timer_gen_ = 0;
    std::unordered_map<curl_socket_t, std::shared_ptr<SocketWatch>> watches_;
    // Sockets libcurl stopped watching but has not closed, still registered with the reactor.
    std::unordered_map<curl_socket_t, std::shared_ptr<SocketWatch>> parked_;
    // Handles of finished transfers: a new one costs an allocation of its receive buffer and a
    // teardown of all it holds.
    std::vector<CURL *> spare_easy_;
    std::vector<std::shared_ptr<Transfer>> body_flushes_;
    // A libcurl callback of ours ran out of memory: libcurl's view of the sockets or the timer
    // is no longer ours.
    bool callback_failed_ = false;
};

} // namespace kestrin
