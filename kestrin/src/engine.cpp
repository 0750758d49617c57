#include "engine.hpp"

#include <unistd.h>

#include <mutex>

namespace kestrin {

namespace asio = boost::asio;

namespace {

void global_init() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

} // namespace

Engine::Engine(EngineSettings settings) : settings_(std::move(settings)), transfers_(io_, jobs_) {}

Engine::~Engine() {
    if (thread_.joinable())
        thread_.detach();
    for (int fd : {watch_fd_, wake_fd_})
        if (fd >= 0)
            ::close(fd);
}

ks_status Engine::create(EngineSettings settings, std::shared_ptr<Engine> &out) {
    global_init();
    std::shared_ptr<Engine> e(new (std::nothrow) Engine(std::move(settings)));
    if (!e || !e->transfers_.init() || !e->request_template_.init(e->settings_))
        return KS_OUT_OF_MEMORY;
    e->work_.emplace(e->io_.get_executor());
    if (!e->prepare_watch())
        return KS_INITIALIZATION_FAILED; // out of descriptors
    // Without netlink a broken alternative stays marked until its time is up.
    try {
        (void)e->network_watch_.start([raw = e.get()] { raw->alt_svc_.network_changed(); });
    } catch (const std::bad_alloc &) {
        return KS_OUT_OF_MEMORY;
    }
    try {
        e->thread_ = std::thread([self = e] { self->run(); });
    } catch (const std::bad_alloc &) {
        return KS_OUT_OF_MEMORY;
    } catch (...) {
        return KS_INITIALIZATION_FAILED; // no thread to be had
    }
    out = std::move(e);
    return KS_OK;
}

void Engine::shutdown() {
    {
        std::lock_guard lock(post_mu_);
        if (closing_)
            return;
        closing_ = true;
        asio::post(
            io_, in_slot(shutdown_slot_, [self = shared_from_this()] { self->finish_shutdown(); }));
        posted_locked();
    }
    settings_.lease.reset();
    // Nobody waits for the thread: a callback running on it may be waiting for a lock our
    // caller holds. It ends by itself once the loop stops.
    if (thread_.joinable())
        thread_.detach();
}

void Engine::finish_shutdown() {
    stopped_ = true;
    transfers_.stop(); // the handles of ending transfers are not kept
    jobs_.abort_all(Job::Kind::transfer, kEngineClosed, "engine released");
    jobs_.abort_all(Job::Kind::connection, kEngineClosed, "engine released");
    transfers_.close();
    network_watch_.stop();
    work_.reset();
}

void Engine::fail_all() {
    jobs_.abort_all(Job::Kind::transfer, kOutOfMemoryFailure, "out of memory");
    jobs_.abort_all(Job::Kind::connection, kOutOfMemoryFailure, "out of memory", true);
}

void Engine::drop_if_silent(CURL *easy, std::chrono::milliseconds quiet) {
    connections_.drop_if_silent(easy, quiet,
                                [this](curl_socket_t s) { return transfers_.heard(s); });
}

void Engine::watch_connections(CURL *easy) {
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETFUNCTION, &Engine::on_close_socket);
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETDATA, this);
}

int Engine::on_close_socket(void *engine, curl_socket_t s) {
    auto *self = static_cast<Engine *>(engine);
    self->transfers_.forget(s);
    self->quic_refusals_.closing(s);
    self->connections_.closing(s);
    return ::close(s);
}

} // namespace kestrin
