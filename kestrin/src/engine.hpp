// One engine: its settings and its network loop, one Asio io_context driving a libcurl multi
// handle through its socket and timer callbacks. The loop has one owner at a time: a caller that
// waits for its own request and runs the loop meanwhile (then the thread the kernel wakes is the
// one that waits), or else the engine's network thread, which sleeps until the loop has something
// ready and nobody runs it, runs what is ready and sleeps again. Every curl handle of the engine
// is touched only by the owner.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <curl/curl.h>

#include <kestrin/kestrin.h>

#include "alt_svc.hpp"
#include "block_pool.hpp"
#include "connection_care.hpp"
#include "curl_driver.hpp"
#include "engine_settings.hpp"
#include "handler_slot.hpp"
#include "job.hpp"
#include "network_watch.hpp"
#include "quic_refusals.hpp"
#include "request_template.hpp"
#include "url_memo.hpp"

namespace kestrin {

class Engine : public std::enable_shared_from_this<Engine> {
  public:
    // Validates the settings and starts the network thread.
    static ks_status create(EngineSettings settings, std::shared_ptr<Engine> &out);
    ~Engine();
    Engine(const Engine &) = delete;
    Engine &operator=(const Engine &) = delete;

    const EngineSettings &settings() const { return settings_; }
    const RequestTemplate &request_template() const { return request_template_; }
    UrlMemo &url_memo() { return url_memo_; }
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

    // Network thread only: the parts of the engine its requests and WebSockets use.
    bool stopped() const { return stopped_; }
    JobRegistry &jobs() { return jobs_; }
    CurlDriver &transfers() { return transfers_; }
    ConnectionCare &connections() { return connections_; }
    QuicRefusals &quic_refusals() { return quic_refusals_; }
    AltSvcCache &alt_svc() { return alt_svc_; }
    // Lets the engine see the sockets a transfer's connections close.
    void watch_connections(CURL *easy);
    // Closes the connection of a transfer that timed out if it has been quiet that long.
    void drop_if_silent(CURL *easy, std::chrono::milliseconds quiet);

    // Any thread.
    BlockPool &blocks() { return blocks_; }

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
    // The same where Asio does not tell its reactor's descriptor.
    void run_alone();
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
    // The loop lost an operation to a fault: every job ends, and no handler runs now, so the
    // WebSockets' streams can go too.
    void fail_all();
    static int on_close_socket(void *engine, curl_socket_t s);

    EngineSettings settings_;
    RequestTemplate request_template_;
    UrlMemo url_memo_;
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
    JobRegistry jobs_;
    CurlDriver transfers_;
    ConnectionCare connections_;
    QuicRefusals quic_refusals_;
    AltSvcCache alt_svc_;
    NetworkWatch network_watch_{io_};
    bool stopped_ = false;
    int foreign_completions_ = 0;

    BlockPool blocks_;
};

} // namespace kestrin
