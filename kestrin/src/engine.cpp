#include "engine.hpp"

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

#include <boost/asio/posix/stream_descriptor.hpp>

#include "limits.hpp"
#include "request.hpp"
#include "websocket/websocket.hpp"

namespace kestrin {

namespace asio = boost::asio;

// One socket libcurl asked us to watch. Asio's epoll reactor is
// edge-triggered, so before each wait we poll the socket level-triggered and
// act at once when it is already ready; otherwise an edge that came while no
// wait was queued would be lost.
struct SocketWatch {
    SocketWatch(asio::io_context &io, curl_socket_t s) : fd(s), descriptor(io) {}
    curl_socket_t fd;
    asio::posix::stream_descriptor descriptor;
    int wanted = 0; // CURL_POLL_IN / CURL_POLL_OUT bits
    bool armed[2] = {false, false};
    bool gone = false;
    bool parked = false; // libcurl removed it; still registered with the reactor
    ino_t inode = 0;     // tells the registered socket from a later one under the same number
    // When the peer last gave libcurl something to read (or the watch began).
    std::chrono::steady_clock::time_point heard = std::chrono::steady_clock::now();
};

namespace {
ino_t inode_of(curl_socket_t s) {
    struct stat st {};
    return ::fstat(s, &st) == 0 ? st.st_ino : 0;
}
} // namespace

namespace {

constexpr int kIn = 0, kOut = 1;

bool ready_now(curl_socket_t fd, int direction) {
    pollfd p{fd, static_cast<short>(direction == kIn ? POLLIN | POLLPRI : POLLOUT), 0};
    return ::poll(&p, 1, 0) > 0 && p.revents != 0;
}

void global_init() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

} // namespace

Engine::Engine(EngineSettings settings) : settings_(std::move(settings)), curl_timer_(io_) {}

Engine::~Engine() {
    if (thread_.joinable())
        thread_.detach();
    for (int fd : {watch_fd_, wake_fd_})
        if (fd >= 0)
            ::close(fd);
    for (CURL *easy : spare_easy_)
        curl_easy_cleanup(easy);
}

ks_status Engine::create(EngineSettings settings, std::shared_ptr<Engine> &out) {
    global_init();
    std::shared_ptr<Engine> e(new (std::nothrow) Engine(std::move(settings)));
    if (!e)
        return KS_OUT_OF_MEMORY;
    e->multi_ = curl_multi_init();
    if (!e->multi_)
        return KS_OUT_OF_MEMORY; // all that can fail in it
    curl_multi_setopt(e->multi_, CURLMOPT_SOCKETFUNCTION, &Engine::on_socket);
    curl_multi_setopt(e->multi_, CURLMOPT_SOCKETDATA, e.get());
    curl_multi_setopt(e->multi_, CURLMOPT_TIMERFUNCTION, &Engine::on_timer);
    curl_multi_setopt(e->multi_, CURLMOPT_TIMERDATA, e.get());
    curl_multi_setopt(e->multi_, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
    curl_multi_setopt(e->multi_, CURLMOPT_MAX_HOST_CONNECTIONS, kMaxConnectionsPerHost);
    curl_multi_setopt(e->multi_, CURLMOPT_MAX_TOTAL_CONNECTIONS, kMaxConnectionsTotal);
    curl_multi_setopt(e->multi_, CURLMOPT_MAXCONNECTS, kMaxIdleConnections);
    e->work_.emplace(e->io_.get_executor());
    if (!e->prepare_watch()) {
        curl_multi_cleanup(e->multi_);
        e->multi_ = nullptr;
        return KS_INITIALIZATION_FAILED; // out of descriptors
    }
    try {
        e->thread_ = std::thread([self = e] { self->run(); });
    } catch (...) {
        curl_multi_cleanup(e->multi_);
        e->multi_ = nullptr;
        try {
            throw;
        } catch (const std::bad_alloc &) {
            return KS_OUT_OF_MEMORY;
        } catch (...) {
            return KS_INITIALIZATION_FAILED; // no thread to be had
        }
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

void Engine::end_websockets(Failure failure, std::string_view message, bool drop_streams) {
    // Ending one removes it from websockets_; no copy, which could fail to allocate.
    while (!websockets_.empty()) {
        auto ws = *websockets_.begin();
        ws->abort(failure, message);
        websockets_.erase(ws);
        if (drop_streams)
            ws->drop_stream();
    }
}

void Engine::finish_shutdown() {
    stopped_ = true;
    // Completing a request removes it from active_; no copy, which could fail to allocate.
    while (!active_.empty()) {
        auto r = *active_.begin();
        r->abort(kEngineClosed);
        active_.erase(r);
    }
    end_websockets(kEngineClosed, "engine released", false);
    // A flush queued by a resume that no libcurl call followed: the request holds the engine,
    // so a reference left here would keep both alive after the loop ends.
    body_flushes_.clear();
    for (auto *watches : {&watches_, &parked_}) {
        for (auto &[fd, w] : *watches) {
            w->gone = true;
            w->descriptor.release();
        }
        watches->clear();
    }
    curl_timer_.cancel();
    if (multi_) {
        curl_multi_cleanup(multi_);
        multi_ = nullptr;
    }
    for (CURL *easy : spare_easy_)
        curl_easy_cleanup(easy);
    spare_easy_.clear();
    work_.reset();
}

CURL *Engine::take_easy() {
    if (spare_easy_.empty())
        return curl_easy_init();
    CURL *easy = spare_easy_.back();
    spare_easy_.pop_back();
    return easy;
}

void Engine::give_back_easy(CURL *easy) {
    // Enough for the transfers a busy engine starts as others end, not a peak's worth.
    constexpr size_t kSpareHandles = 16;
    if (spare_easy_.size() < kSpareHandles && !stopped_) {
        try {
            spare_easy_.reserve(kSpareHandles);
            curl_easy_reset(easy);
            spare_easy_.push_back(easy);
            return;
        } catch (const std::bad_alloc &) {
        }
    }
    curl_easy_cleanup(easy);
}

bool Engine::add_transfer(CURL *easy) {
    bool ok = curl_multi_add_handle(multi_, easy) == CURLM_OK && !callback_failed_;
    callback_failed_ = false;
    return ok;
}

void Engine::remove_transfer(CURL *easy) {
    curl_multi_remove_handle(multi_, easy);
}

// libcurl's callbacks must not throw through it: running out of memory fails the multi
// handle's transfers once libcurl has returned.
int Engine::on_socket(CURL *, curl_socket_t s, int what, void *engine, void *) {
    auto *self = static_cast<Engine *>(engine);
    try {
        return self->watch_socket(s, what);
    } catch (const std::bad_alloc &) {
        self->callback_failed_ = true;
        return -1;
    }
}

int Engine::watch_socket(curl_socket_t s, int what) {
    auto it = watches_.find(s);
    if (what == CURL_POLL_REMOVE) {
        if (it != watches_.end()) {
            // libcurl removes a connection's socket after each transfer, and its wakeup
            // descriptor whenever no transfer is left: keeping them registered spares two
            // epoll_ctl calls and a descriptor's setup per request. Closing one forgets it.
            std::shared_ptr<SocketWatch> w = it->second;
            watches_.erase(it);
            w->wanted = 0;
            try {
                parked_.emplace(s, w);
                w->parked = true;
            } catch (const std::bad_alloc &) {
                w->gone = true;
                w->descriptor.release();
            }
        }
        return 0;
    }
    if (stopped_)
        return 0;
    std::shared_ptr<SocketWatch> w;
    // A parked socket closed where libcurl bypasses the close callback leaves a stale
    // registration; one fstat tells, cheaper than registering anew.
    if (auto p = parked_.find(s); p != parked_.end() && p->second->inode != inode_of(s))
        forget_parked(s);
    if (auto p = parked_.find(s); it == watches_.end() && p != parked_.end()) {
        w = p->second;
        watches_.emplace(s, w);
        w->parked = false;
        parked_.erase(p);
    } else if (it == watches_.end()) {
        w = std::make_shared<SocketWatch>(io_, s);
        boost::system::error_code ec;
        w->descriptor.assign(s, ec);
        if (ec)
            return -1;
        w->inode = inode_of(s);
        watches_.emplace(s, w);
    } else {
        w = it->second;
    }
    w->wanted = what;
    if ((what & CURL_POLL_IN) && !w->armed[kIn])
        arm(w, kIn);
    if ((what & CURL_POLL_OUT) && !w->armed[kOut])
        arm(w, kOut);
    return 0;
}

int Engine::on_timer(CURLM *, long timeout_ms, void *engine) {
    auto *self = static_cast<Engine *>(engine);
    try {
        self->set_curl_timer(timeout_ms);
    } catch (const std::bad_alloc &) {
        self->callback_failed_ = true;
        return -1;
    }
    return 0;
}

// libcurl moves its timer several times per transfer. Re-arming the Asio timer costs a timerfd
// update and a cancelled handler each time, so: a due-now timeout is posted, a later one leaves
// an earlier queued wait in place (it re-arms for the rest when it fires), and only an earlier
// one re-arms. libcurl must never see an early TIMEOUT action: it would not tell us its timer
// again, and the real expiry would be lost.
void Engine::set_curl_timer(long timeout_ms) {
    if (timeout_ms < 0 || stopped_) {
        want_timer_ = false; // a queued wait fires and finds nothing to do
        return;
    }
    auto now = std::chrono::steady_clock::now();
    want_timer_ = true;
    timer_due_ = now + std::chrono::milliseconds(timeout_ms);
    if (timeout_ms == 0) {
        auto gen = ++timer_gen_;
        timer_waiting_ = false;
        asio::post(io_, [this, gen] {
            if (gen == timer_gen_)
                curl_timer_expired();
        });
        return;
    }
    if (timer_waiting_ && timer_armed_for_ <= timer_due_)
        return;
    arm_curl_timer(timer_due_);
}

void Engine::arm_curl_timer(std::chrono::steady_clock::time_point due) {
    auto gen = ++timer_gen_;
    timer_waiting_ = true;
    timer_armed_for_ = due;
    curl_timer_.expires_at(due);
    curl_timer_.async_wait([this, gen](const boost::system::error_code &ec) {
        if (ec || gen != timer_gen_)
            return;
        timer_waiting_ = false;
        curl_timer_expired();
    });
}

void Engine::curl_timer_expired() {
    if (!want_timer_ || stopped_)
        return;
    if (std::chrono::steady_clock::now() < timer_due_) {
        arm_curl_timer(timer_due_);
        return;
    }
    want_timer_ = false;
    socket_action(CURL_SOCKET_TIMEOUT, 0);
}

void Engine::arm(const std::shared_ptr<SocketWatch> &w, int direction) {
    w->armed[direction] = true;
    if (ready_now(w->fd, direction)) {
        asio::post(io_, [this, w, direction] { fire(w, direction); });
        return;
    }
    auto kind = direction == kIn ? asio::posix::stream_descriptor::wait_read
                                 : asio::posix::stream_descriptor::wait_write;
    w->descriptor.async_wait(kind, [this, w, direction](const boost::system::error_code &ec) {
        if (ec == asio::error::operation_aborted) {
            w->armed[direction] = false;
            return;
        }
        fire(w, direction);
    });
}

void Engine::fire(const std::shared_ptr<SocketWatch> &w, int direction) {
    w->armed[direction] = false;
    if (w->gone || w->parked || stopped_)
        return;
    if (direction == kIn)
        w->heard = std::chrono::steady_clock::now();
    socket_action(w->fd, direction == kIn ? CURL_CSELECT_IN : CURL_CSELECT_OUT);
    int bit = direction == kIn ? CURL_POLL_IN : CURL_POLL_OUT;
    try {
        if (!w->gone && !stopped_ && (w->wanted & bit) && !w->armed[direction])
            arm(w, direction);
    } catch (const std::bad_alloc &) {
        w->armed[direction] = false;
        fail_transfers(); // nobody would watch this socket any more
    }
}

void Engine::socket_action(curl_socket_t s, int events) {
    if (!multi_)
        return;
    int running = 0;
    CURLMcode rc = curl_multi_socket_action(multi_, s, events, &running);
    flush_bodies(); // before the completions drain_messages reports
    drain_messages();
    if (rc == CURLM_OUT_OF_MEMORY || callback_failed_)
        fail_transfers();
}

// libcurl ran out of memory in its own bookkeeping (a socket or timer entry): some transfer now
// waits for an event nobody watches, and libcurl does not say which. Failing them all beats
// leaving one to hang.
void Engine::fail_transfers() {
    callback_failed_ = false;
    while (!active_.empty()) {
        auto r = *active_.begin();
        r->abort(kOutOfMemoryFailure);
        active_.erase(r);
    }
}

BodyBlock Engine::take_block() noexcept {
    std::lock_guard lock(kept_mu_);
    return kept_ > 0 ? std::move(kept_blocks_[--kept_]) : BodyBlock();
}

void Engine::keep_block(BodyBlock &&block) noexcept {
    if (block.capacity() < PageAllocator<char>::kMapFrom)
        return;
    std::lock_guard lock(kept_mu_);
    if (kept_ < kept_blocks_.size())
        kept_blocks_[kept_++] = std::move(block);
}

void Engine::flush_bodies() {
    while (!body_flushes_.empty()) {
        auto r = std::move(body_flushes_.back());
        body_flushes_.pop_back();
        r->flush_body();
    }
}

// As a browser stops using a connection that failed its health check: a request timed out on a
// connection that has said nothing for a while, so the next request must not queue behind it
// (an HTTP/2 one would). Shutting the socket down leaves the descriptor to libcurl, which then
// finds the connection dead, fails what else waits on it the same way, and never reuses it.
void Engine::drop_if_silent(CURL *easy, std::chrono::milliseconds quiet) {
#if LIBCURL_VERSION_NUM >= 0x080200
    curl_off_t id = -1;
    if (curl_easy_getinfo(easy, CURLINFO_CONN_ID, &id) != CURLE_OK)
        return;
    auto conn = connection_sockets_.find(id);
    if (conn == connection_sockets_.end())
        return;
    std::shared_ptr<SocketWatch> w;
    if (auto it = watches_.find(conn->second); it != watches_.end())
        w = it->second;
    else if (auto p = parked_.find(conn->second); p != parked_.end())
        w = p->second;
    if (w && std::chrono::steady_clock::now() - w->heard >= quiet)
        ::shutdown(conn->second, SHUT_RDWR);
#else
    (void)easy;
    (void)quiet;
#endif
}

// Called for each socket libcurl opens, by the transfer whose connection it is.
void Engine::note_socket(CURL *easy, curl_socket_t s) {
#if LIBCURL_VERSION_NUM >= 0x080200
    curl_off_t id = -1;
    if (curl_easy_getinfo(easy, CURLINFO_CONN_ID, &id) == CURLE_OK && id >= 0) {
        try {
            connection_sockets_[id] = s;
        } catch (const std::bad_alloc &) {
            // Only the silent-connection check goes without it.
        }
    }
#else
    (void)easy;
    (void)s;
#endif
}

void Engine::watch_connections(CURL *easy) {
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETFUNCTION, &Engine::on_close_socket);
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETDATA, this);
}

namespace {

// An ICMP port unreachable queued on a UDP socket with IP_RECVERR. libcurl's receive took the
// error itself, but the queue keeps it.
bool refused_icmp(curl_socket_t s) {
    for (int i = 0; i < 8; ++i) {
        alignas(cmsghdr) char control[256];
        char byte;
        iovec iov{&byte, 1};
        msghdr m{};
        m.msg_iov = &iov;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        if (::recvmsg(s, &m, MSG_ERRQUEUE | MSG_DONTWAIT) < 0)
            return false;
        for (cmsghdr *c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
            if ((c->cmsg_level == SOL_IP && c->cmsg_type == IP_RECVERR) ||
                (c->cmsg_level == SOL_IPV6 && c->cmsg_type == IPV6_RECVERR)) {
                sock_extended_err e;
                std::memcpy(&e, CMSG_DATA(c), sizeof e);
                if (e.ee_errno == ECONNREFUSED)
                    return true;
            }
        }
    }
    return false;
}

} // namespace

void Engine::forget_parked(curl_socket_t s) {
    if (auto p = parked_.find(s); p != parked_.end()) {
        p->second->gone = true;
        p->second->descriptor.release();
        parked_.erase(p);
    }
}

int Engine::on_close_socket(void *engine, curl_socket_t s) {
    auto *self = static_cast<Engine *>(engine);
    self->forget_parked(s);
    if (self->quic_sockets_.erase(s) && refused_icmp(s)) {
        try {
            if (self->quic_refusals_.size() >= 64) // left by transfers that ended otherwise
                self->quic_refusals_.clear();
            self->quic_refusals_.insert(s);
        } catch (const std::bad_alloc &) {
            // the failure then reads as a failed handshake
        }
    }
    std::erase_if(self->connection_sockets_, [s](const auto &c) { return c.second == s; });
    return ::close(s);
}

curl_socket_t Engine::open_quic_socket(const curl_sockaddr &a) {
    curl_socket_t s = ::socket(a.family, a.socktype, a.protocol);
    if (s == CURL_SOCKET_BAD || (a.socktype & ~(SOCK_CLOEXEC | SOCK_NONBLOCK)) != SOCK_DGRAM)
        return s;
    int on = 1;
    if (a.family == AF_INET6)
        ::setsockopt(s, SOL_IPV6, IPV6_RECVERR, &on, sizeof on);
    else
        ::setsockopt(s, SOL_IP, IP_RECVERR, &on, sizeof on);
    try {
        quic_refusals_.erase(s); // a number reused: what it recorded was another socket's
        quic_sockets_.insert(s);
    } catch (const std::bad_alloc &) {
        ::close(s);
        return CURL_SOCKET_BAD;
    }
    return s;
}

bool Engine::take_quic_refusal(std::span<const curl_socket_t> sockets) {
    bool refused = false;
    for (curl_socket_t s : sockets)
        refused |= quic_refusals_.erase(s) > 0;
    return refused;
}

void Engine::drain_messages() {
    int left = 0;
    while (multi_) {
        CURLMsg *msg = curl_multi_info_read(multi_, &left);
        if (!msg)
            break;
        if (msg->msg != CURLMSG_DONE)
            continue;
        Request *r = nullptr;
        curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &r);
        CURLcode result = msg->data.result;
        if (r)
            r->step([&] { r->on_transfer_done(msg->easy_handle, result); });
    }
}

} // namespace kestrin
