#include "curl_driver.hpp"

#include <new>

#include <poll.h>
#include <sys/stat.h>

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>

#include "limits.hpp"

namespace kestrin {

namespace asio = boost::asio;

// One socket libcurl asked us to watch. Asio's epoll reactor is edge-triggered, so before each
// wait we poll the socket level-triggered and act at once when it is already ready; otherwise an
// edge that came while no wait was queued would be lost.
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

    // Lets go of the descriptor without closing it (libcurl owns it); waits end as aborted.
    void drop() {
        gone = true;
        descriptor.release();
    }
};

namespace {

constexpr int kIn = 0, kOut = 1;
// Enough for the transfers a busy engine starts as others end, not a peak's worth.
constexpr size_t kSpareHandles = 16;

ino_t inode_of(curl_socket_t s) {
    struct stat st {};
    return ::fstat(s, &st) == 0 ? st.st_ino : 0;
}

bool ready_now(curl_socket_t fd, int direction) {
    pollfd p{fd, static_cast<short>(direction == kIn ? POLLIN | POLLPRI : POLLOUT), 0};
    return ::poll(&p, 1, 0) > 0 && p.revents != 0;
}

} // namespace

CurlDriver::~CurlDriver() {
    if (multi_)
        curl_multi_cleanup(multi_);
    for (CURL *easy : spare_easy_)
        curl_easy_cleanup(easy);
}

bool CurlDriver::init() {
    multi_ = curl_multi_init();
    if (!multi_)
        return false; // all that can fail in it
    curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &CurlDriver::on_socket);
    curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &CurlDriver::on_timer);
    curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
    curl_multi_setopt(multi_, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
    curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, kMaxConnectionsPerHost);
    curl_multi_setopt(multi_, CURLMOPT_MAX_TOTAL_CONNECTIONS, kMaxConnectionsTotal);
    curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, kMaxIdleConnections);
    return true;
}

void CurlDriver::close() {
    stopped_ = true;
    // A flush queued by a resume that no libcurl call followed: the transfer holds the engine,
    // so a reference left here would keep both alive after the loop ends.
    body_flushes_.clear();
    for (auto *watches : {&watches_, &parked_}) {
        for (auto &[fd, w] : *watches)
            w->drop();
        watches->clear();
    }
    want_timer_ = false;
    timer_.cancel();
    if (multi_) {
        curl_multi_cleanup(multi_);
        multi_ = nullptr;
    }
    for (CURL *easy : spare_easy_)
        curl_easy_cleanup(easy);
    spare_easy_.clear();
}

CURL *CurlDriver::take_easy() {
    if (spare_easy_.empty())
        return curl_easy_init();
    CURL *easy = spare_easy_.back();
    spare_easy_.pop_back();
    return easy;
}

void CurlDriver::give_back_easy(CURL *easy) {
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

bool CurlDriver::add(CURL *easy) {
    bool ok = multi_ && curl_multi_add_handle(multi_, easy) == CURLM_OK && !callback_failed_;
    callback_failed_ = false;
    return ok;
}

void CurlDriver::remove(CURL *easy) {
    if (multi_)
        curl_multi_remove_handle(multi_, easy);
}

void CurlDriver::defer_body_flush(std::shared_ptr<Transfer> t) {
    body_flushes_.push_back(std::move(t));
}

std::optional<std::chrono::steady_clock::time_point> CurlDriver::heard(curl_socket_t s) const {
    if (auto it = watches_.find(s); it != watches_.end())
        return it->second->heard;
    if (auto p = parked_.find(s); p != parked_.end())
        return p->second->heard;
    return std::nullopt;
}

void CurlDriver::forget(curl_socket_t s) {
    if (auto p = parked_.find(s); p != parked_.end()) {
        p->second->drop();
        parked_.erase(p);
    }
}

// libcurl's callbacks must not throw through it: running out of memory fails the multi
// handle's transfers once libcurl has returned.
int CurlDriver::on_socket(CURL *, curl_socket_t s, int what, void *driver, void *) {
    auto *self = static_cast<CurlDriver *>(driver);
    try {
        return self->watch_socket(s, what);
    } catch (const std::bad_alloc &) {
        self->callback_failed_ = true;
        return -1;
    }
}

int CurlDriver::watch_socket(curl_socket_t s, int what) {
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
                w->drop();
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
        forget(s);
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

int CurlDriver::on_timer(CURLM *, long timeout_ms, void *driver) {
    auto *self = static_cast<CurlDriver *>(driver);
    try {
        self->set_timer(timeout_ms);
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
void CurlDriver::set_timer(long timeout_ms) {
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
                timer_expired();
        });
        return;
    }
    if (timer_waiting_ && timer_armed_for_ <= timer_due_)
        return;
    arm_timer(timer_due_);
}

void CurlDriver::arm_timer(std::chrono::steady_clock::time_point due) {
    auto gen = ++timer_gen_;
    timer_waiting_ = true;
    timer_armed_for_ = due;
    timer_.expires_at(due);
    timer_.async_wait([this, gen](const boost::system::error_code &ec) {
        if (ec || gen != timer_gen_)
            return;
        timer_waiting_ = false;
        timer_expired();
    });
}

void CurlDriver::timer_expired() {
    if (!want_timer_ || stopped_)
        return;
    if (std::chrono::steady_clock::now() < timer_due_) {
        arm_timer(timer_due_);
        return;
    }
    want_timer_ = false;
    socket_action(CURL_SOCKET_TIMEOUT, 0);
}

void CurlDriver::arm(const std::shared_ptr<SocketWatch> &w, int direction) {
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

void CurlDriver::fire(const std::shared_ptr<SocketWatch> &w, int direction) {
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

void CurlDriver::socket_action(curl_socket_t s, int events) {
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
void CurlDriver::fail_transfers() {
    callback_failed_ = false;
    jobs_.abort_all(Job::Kind::transfer, kOutOfMemoryFailure, "out of memory");
}

void CurlDriver::flush_bodies() {
    while (!body_flushes_.empty()) {
        auto t = std::move(body_flushes_.back());
        body_flushes_.pop_back();
        t->flush_body();
    }
}

void CurlDriver::drain_messages() {
    int left = 0;
    while (multi_) {
        CURLMsg *msg = curl_multi_info_read(multi_, &left);
        if (!msg)
            break;
        if (msg->msg != CURLMSG_DONE)
            continue;
        if (Transfer *t = Transfer::of(msg->easy_handle))
            t->transfer_done(msg->easy_handle, msg->data.result);
    }
}

} // namespace kestrin
