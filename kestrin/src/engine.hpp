// One engine: its settings and its network loop, one Asio io_context driving a libcurl multi
// handle through its socket and timer callbacks. The loop has one owner at a time: a caller that
// waits for its own request and runs the loop meanwhile (then the thread the kernel wakes is the
// one that waits), or else the engine's network thread, which sleeps until the loop has something
// ready and nobody runs it, runs what is ready and sleeps again. Every curl handle of the engine
// is touched only by the owner.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <poll.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <curl/curl.h>

#include <kestrin/kestrin.h>

#include "page_allocator.hpp"

#include "alt_svc.hpp"
#include "engine_settings.hpp"
#include "error_map.hpp"
#include "handler_slot.hpp"

namespace kestrin {

class Request;
class WebSocket;
struct SocketWatch;

class Engine : public std::enable_shared_from_this<Engine> {
  public:
    // Validates the settings and starts the network thread.
    static ks_status create(EngineSettings settings, std::shared_ptr<Engine> &out);
    ~Engine();
    Engine(const Engine &) = delete;
    Engine &operator=(const Engine &) = delete;

    const EngineSettings &settings() const { return settings_; }
    boost::asio::io_context &io() { return io_; }

    // Queues work for the loop unless the engine is shutting down, and wakes the network thread
    // when nobody runs the loop. Work accepted here runs before the shutdown completes
    // everything.
    template <class F> bool post(F &&f) {
        std::lock_guard lock(post_mu_);
        if (closing_)
            return false;
        boost::asio::post(io_, std::forward<F>(f));
        posted_locked();
        return true;
    }

    // As post(); when nobody runs the loop, the caller takes it instead of waking the network
    // thread, and must then run_until() at once. Nullopt when the engine is shutting down, else
    // whether the caller took the loop.
    template <class F> std::optional<bool> post_and_take(F &&f) {
        std::lock_guard lock(post_mu_);
        if (closing_)
            return std::nullopt;
        bool took = take_loop_locked();
        boost::asio::post(io_, std::forward<F>(f));
        if (!took)
            posted_locked();
        return took;
    }
    // Takes the loop for the calling thread and runs it until ready(arg); InvalidState, having
    // run nothing, when somebody else runs it or the engine is closing.
    ks_status take_and_run_until(int (*ready)(void *), void *arg);
    // Runs the loop taken by the calling thread until ready(arg) returns nonzero or the engine
    // ends, then hands it back.
    void run_until(int (*ready)(void *), void *arg);

    // From ks_engine_release: completes every request with Canceled on the
    // network thread, then stops it. Never waits for it.
    void shutdown();

    // An operation that completes from a thread of Asio's own (name resolution): until it ends,
    // the network thread waits in the reactor, since nothing it watches would show the end.
    void begin_foreign_completion() { ++foreign_completions_; }
    void end_foreign_completion() { --foreign_completions_; }

    // Network thread only.
    CURLM *multi() { return multi_; }
    bool stopped() const { return stopped_; }
    void adopt(std::shared_ptr<Request> r) { active_.insert(std::move(r)); }
    void forget(const std::shared_ptr<Request> &r) { active_.erase(r); }
    // Live WebSockets, which shutdown ends with their terminal callback.
    void adopt_websocket(std::shared_ptr<WebSocket> ws) { websockets_.insert(std::move(ws)); }
    void forget_websocket(const std::shared_ptr<WebSocket> &ws) { websockets_.erase(ws); }
    // A transfer's handle: a spare one, reset, or a new one; null when out of memory.
    CURL *take_easy();
    // Takes back a handle no multi holds; its options go, its buffers stay for the next transfer.
    void give_back_easy(CURL *easy);
    // False when libcurl could not take the transfer (out of memory).
    bool add_transfer(CURL *easy);
    // Collected body goes out once the current libcurl call returns.
    void defer_body_flush(std::shared_ptr<Request> r) { body_flushes_.push_back(std::move(r)); }
    void remove_transfer(CURL *easy);
    // Lets the engine see the connections a transfer opens, closes and reuses.
    void watch_connections(CURL *easy);
    AltSvcCache &alt_svc() { return alt_svc_; }
    // A transfer's socket, as libcurl would open it; a QUIC one also keeps ICMP errors, so that
    // a refusal stays known after libcurl's receive took it.
    curl_socket_t open_quic_socket(const curl_sockaddr &address);
    // Whether one of these QUIC sockets closed after its port refused; forgets them.
    bool take_quic_refusal(std::span<const curl_socket_t> sockets);
    // Closes the connection of a transfer that timed out if it has been quiet that long.
    void drop_if_silent(CURL *easy, std::chrono::milliseconds quiet);
    // A socket libcurl opened for easy's connection.
    void note_socket(CURL *easy, curl_socket_t s);

    // Body blocks that finished requests leave, for the next ones: responses of a few hundred
    // KiB then fill blocks mapped and touched before. Two at most stay mapped per engine.
    BodyBlock take_block() noexcept;
    void keep_block(BodyBlock &&block) noexcept;

  private:
    explicit Engine(EngineSettings settings);
    // The shutdown that a release queues; it needs no memory then.
    HandlerSlot shutdown_slot_;
    enum class LoopOwner : uint8_t { none, network, caller };
    // Finds the reactor's epoll descriptor and sets up what the network thread sleeps on.
    bool prepare_watch();
    // The network thread: sleeps until the loop has something ready while nobody runs it, runs
    // what is ready, and ends with the loop.
    void run();
    // Runs the ready handlers, or with `block` one handler, waiting for it if need be; memory
    // running out in a handler fails what it may have left hanging.
    void step_loop(bool block);
    // Nothing is left that only the loop's sockets or timers would bring: no transfer, WebSocket,
    // watched socket or libcurl timer, and no shutdown under way.
    bool idle() const;
    // Lets the loop go: first runs what is queued for it, then the network thread watches.
    void release_loop();
    // post_mu_ held. Taking the loop stops the network thread from watching it.
    bool take_loop_locked();
    // post_mu_ held: work was queued; the network thread runs it unless somebody runs the loop.
    void posted_locked();
    void watch_reactor(bool on);
    void finish_shutdown();
    // Ends every WebSocket with `failure`.
    void end_websockets(Failure failure, std::string_view message, bool drop_streams);

    static int on_socket(CURL *easy, curl_socket_t s, int what, void *engine, void *socketp);
    int watch_socket(curl_socket_t s, int what);
    static int on_timer(CURLM *multi, long timeout_ms, void *engine);
    void set_curl_timer(long timeout_ms);
    void arm_curl_timer(std::chrono::steady_clock::time_point due);
    void curl_timer_expired();
    void arm(const std::shared_ptr<SocketWatch> &w, int direction);
    void fire(const std::shared_ptr<SocketWatch> &w, int direction);
    void socket_action(curl_socket_t s, int events);
    void forget_parked(curl_socket_t s);
    void fail_transfers();
    void drain_messages();
    void flush_bodies();
    static int on_close_socket(void *engine, curl_socket_t s);

    EngineSettings settings_;
    boost::asio::io_context io_;
    // Keeps the loop running while idle; dropped at shutdown so the loop ends
    // once every pending handler has run and released what it holds.
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work_;
    std::mutex post_mu_;
    // Guarded by post_mu_: shutting down; who runs the loop; work was posted since the owner
    // last looked.
    bool closing_ = false;
    LoopOwner owner_ = LoopOwner::none;
    bool wake_ = false;
    // The network thread sleeps on watch_fd_, an epoll set holding wake_fd_ (work was posted or
    // the loop ended) and, while nobody runs the loop, the reactor's own epoll descriptor, which
    // is readable when a socket or timer of the loop is ready.
    int watch_fd_ = -1;
    int wake_fd_ = -1;
    int reactor_fd_ = -1;
    bool watching_ = false; // guarded by post_mu_
    std::thread thread_;

    // Network thread state.
    CURLM *multi_ = nullptr;
    boost::asio::steady_timer curl_timer_;
    // What libcurl last asked for: a TIMEOUT action at timer_due_ while want_timer_.
    bool want_timer_ = false;
    std::chrono::steady_clock::time_point timer_due_;
    // The wait queued on curl_timer_, if any: when it fires, and its generation (a later arm or a
    // due-now post makes older ones stale).
    bool timer_waiting_ = false;
    std::chrono::steady_clock::time_point timer_armed_for_;
    std::uint64_t timer_gen_ = 0;
    std::unordered_map<curl_socket_t, std::shared_ptr<SocketWatch>> watches_;
    // Sockets libcurl stopped watching but has not closed, still registered with the reactor.
    std::unordered_map<curl_socket_t, std::shared_ptr<SocketWatch>> parked_;
    std::unordered_set<std::shared_ptr<Request>> active_;
    // Handles of finished transfers: a new one costs an allocation of its receive buffer and a
    // teardown of all it holds.
    std::vector<CURL *> spare_easy_;
    std::vector<std::shared_ptr<Request>> body_flushes_;
    std::unordered_set<std::shared_ptr<WebSocket>> websockets_;
    AltSvcCache alt_svc_;
    std::unordered_set<curl_socket_t> quic_sockets_;
    std::unordered_set<curl_socket_t> quic_refusals_;
    // Each open connection's socket, by libcurl's connection id.
    std::unordered_map<curl_off_t, curl_socket_t> connection_sockets_;
    bool stopped_ = false;
    int foreign_completions_ = 0;

    std::mutex kept_mu_; // a start that fails at once finishes its request on the caller's thread
    std::array<BodyBlock, 2> kept_blocks_;
    size_t kept_ = 0;
    // A libcurl callback of ours ran out of memory: libcurl's view of the sockets or the timer
    // is no longer ours.
    bool callback_failed_ = false;
};

} // namespace kestrin
