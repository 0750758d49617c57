#include "request.hpp"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "default_headers.hpp"
#include "engine.hpp"
#include "limits.hpp"
#include "record_text.hpp"
#include "redirect_policy.hpp"
#include "url.hpp"

// The stack's libcurl tells these faults apart (patches/curl); another reports them as the
// transfer failures they also are.
#ifndef CURLHTTPFAULT_CHUNKED
#define CURLHTTPFAULT_HEADERS_TOO_LARGE 1
#define CURLHTTPFAULT_CHUNKED 2
#define CURLHTTPFAULT_CONTENT_LENGTH 3
#endif

namespace kestrin {

namespace asio = boost::asio;

namespace {

constexpr size_t kServeChunk = 64 * 1024;

// A body announced larger than a cache entry may be is not collected for the cache: it would
// be copied only to be dropped at the limit. Only an unencoded length is the stored size.
bool announced_over(const ParsedHead &h, size_t limit) {
    if (h.get("Content-Encoding"))
        return false;
    auto length = h.get("Content-Length");
    uint64_t n = 0;
    return length &&
           std::from_chars(length->data(), length->data() + length->size(), n).ec == std::errc() &&
           n > limit;
}

} // namespace

Request::Request(std::shared_ptr<Engine> engine)
    : engine_(std::move(engine)), timer_(engine_->io()) {}

Request::~Request() = default;

ks_status Request::create(const std::shared_ptr<Engine> &engine, const ks_request_config &c,
                          std::shared_ptr<Request> &out) {
    RequestConfig config;
    if (ks_status st = read_request_config(c, engine->url_memo(), config))
        return st;
    std::shared_ptr<Request> r(new Request(engine));
    if (config.body_kind == BodyKind::Stream)
        r->upload_ = std::make_unique<UploadBuffer>();
    r->config_ = std::move(config);
    r->api_ref = r;
    out = std::move(r);
    return KS_OK;
}

// ---- API side ---------------------------------------------------------------

ks_status Request::start() {
    return start_and_run(nullptr, nullptr);
}

ks_status Request::start_and_run(int (*ready)(void *), void *arg) {
    if (started_.exchange(true))
        return KS_INVALID_STATE;
    std::optional<bool> took;
    try {
        auto begin = [self = shared_from_this()] { self->step([&] { self->begin(); }); };
        if (ready)
            took = engine_->post_and_take(std::move(begin));
        else if (engine_->post(std::move(begin)))
            took = false;
    } catch (...) {
        started_ = false; // out of memory: the caller may try again
        throw;
    }
    if (!took) {
        started_ = false;
        return KS_INVALID_STATE; // the engine was released
    }
    if (*took)
        engine_->run_until(ready, arg);
    return KS_OK;
}

ks_status Request::run_until(int (*ready)(void *), void *arg) {
    return started_ ? engine_->take_and_run_until(ready, arg) : ks_status{KS_INVALID_STATE};
}

ks_status Request::cancel() {
    canceled_ = true;
    if (started_)
        engine_->post([self = shared_from_this()] { self->abort(kCanceled); });
    return KS_OK;
}

ks_status Request::resume_read() {
    if (started_)
        engine_->post([self = shared_from_this()] { self->step([&] { self->resume(); }); });
    return KS_OK;
}

ks_status Request::follow_redirect() {
    if (!awaiting_follow_.exchange(false))
        return KS_INVALID_STATE;
    engine_->post([self = shared_from_this()] { self->step([&] { self->follow(); }); });
    return KS_OK;
}

ks_status Request::upload_write(const uint8_t *data, size_t len, bool final_chunk) {
    if (!upload_)
        return KS_INVALID_STATE;
    if (len && !data)
        return KS_INVALID_ARGUMENT;
    return upload_->write(data, len, final_chunk, [this] {
        if (!upload_wake_pending_.exchange(true))
            engine_->post(
                [self = shared_from_this()] { self->step([&] { self->upload_ready(); }); });
    });
}

void Request::release() {
    auto self = std::move(api_ref);
    canceled_ = true;
    // A completed request needs nothing more from the loop: waking it would cost a thread switch.
    if (started_ && !done_.load(std::memory_order_acquire))
        engine_->post(in_slot(release_slot_, [self] { self->abort(kCanceled); }));
    else if (upload_)
        upload_->close(KS_CANCELED);
}

// ---- network thread -----------------------------------------------------------

void Request::begin() {
    auto self = shared_from_this();
    phase_ = Phase::Transfer; // from here on finish() delivers on_complete, even if adopt throws
    engine_->jobs().add(self, Kind::transfer);
    if (canceled_ || engine_->stopped())
        return finish(kCanceled);
    if (auto timeout = timeout_timer(config_.timeout_ms)) {
        timer_.expires_after(*timeout);
        timer_.async_wait([self](const boost::system::error_code &ec) {
            if (!ec)
                self->time_out();
        });
    }
    start_hop();
}

void Request::abort(Failure failure, std::string_view) {
    finish(failure);
}

void Request::time_out() {
    // Quiet for half the request's time, at most a second: no longer a slow server's pause.
    constexpr std::chrono::milliseconds kQuiet{1000};
    if (easy_ && phase_ == Phase::Transfer)
        engine_->drop_if_silent(
            easy_, std::min(kQuiet, std::chrono::milliseconds(config_.timeout_ms / 2)));
    finish(kTimedOut);
}

void Request::start_hop() {
    hop_ = Hop{};
    request_time_ = now_seconds();
    if (config_.headers.empty()) {
        own_headers_.reset();
    } else {
        own_headers_ = engine_->request_template().headers();
        merge_headers(*own_headers_, config_.headers, Merge::InPlace);
    }

    if (consult_cache())
        return;

    // With the URL checked at creation, only memory can fail these.
    easy_ = engine_->transfers().take_easy();
    if (!easy_ || !configure(easy_) || !engine_->transfers().add(easy_))
        return finish(kOutOfMemoryFailure);
}

const HeaderList &Request::sent_headers() const {
    return own_headers_ ? *own_headers_ : engine_->request_template().headers();
}

// Answers from the cache or adds validators; true when no transfer is needed.
bool Request::consult_cache() {
    const auto &cache = engine_->settings().cache;
    // As in browsers: the caller's own validators or Cache-Control adjust the mode.
    if (has_header(config_.headers, "If-None-Match") ||
        has_header(config_.headers, "If-Modified-Since") ||
        has_header(config_.headers, "If-Match") ||
        has_header(config_.headers, "If-Unmodified-Since") ||
        has_header(config_.headers, "If-Range")) {
        if (config_.cache_mode == CacheMode::Default)
            config_.cache_mode = CacheMode::NoStore;
    } else if (config_.cache_mode == CacheMode::Default) {
        std::string cc;
        for (const auto &[n, v] : config_.headers)
            if (iequals(n, "Cache-Control") || iequals(n, "Pragma"))
                cc += v + ",";
        if (has_token(cc, "no-store"))
            config_.cache_mode = CacheMode::NoStore;
        else if (has_token(cc, "no-cache"))
            config_.cache_mode = CacheMode::Validate;
    }
    bool readable =
        config_.cache_mode != CacheMode::Bypass && config_.cache_mode != CacheMode::NoStore;
    std::shared_ptr<const CacheEntry> entry;
    if (cache && readable && config_.method == "GET" && config_.body_kind == BodyKind::None)
        entry = cache->lookup(config_.url.text, sent_headers());
    switch (config_.cache_mode) {
    case CacheMode::OnlyIfCached:
        if (!entry) {
            finish(kCacheMiss);
            return true;
        }
        serve(entry);
        return true;
    case CacheMode::Force:
        if (entry) {
            serve(entry);
            return true;
        }
        return false;
    case CacheMode::Default:
        if (entry && is_fresh(*entry, now_seconds())) {
            serve(entry);
            return true;
        }
        break;
    default:
        break;
    }
    if (entry && has_validators(*entry)) {
        if (auto etag = entry->parsed.get("ETag"))
            hop_.extra_headers.emplace_back("If-None-Match", *etag);
        if (auto lm = entry->parsed.get("Last-Modified"))
            hop_.extra_headers.emplace_back("If-Modified-Since", *lm);
        hop_.cached = entry;
        hop_.revalidating = true;
    }
    return false;
}

size_t Request::on_header(char *data, size_t size, size_t n, void *p) {
    auto *self = static_cast<Request *>(p);
    try {
        return self->take_header_line(data, size * n);
    } catch (const std::bad_alloc &) {
        self->hop_.out_of_memory = true;
        return 0; // libcurl ends the transfer with a write error
    }
}

size_t Request::take_header_line(char *data, size_t len) {
    hop_.answered = true;
    if (hop_.head_done)
        return len; // trailers
    std::string_view line(data, len);
    if (line.substr(0, 5) == "HTTP/")
        hop_.head.clear();
    hop_.head.append(line);
    if (hop_.head.size() > kMaxResponseHeadBytes) {
        hop_.head_too_big = true;
        return 0; // libcurl ends the transfer with a write error
    }
    if (line == "\r\n" || line == "\n") {
        int status = parse_status_line(hop_.head);
        if (status >= 100 && status < 200 && status != 101) {
            hop_.head.clear(); // interim response
            return len;
        }
        hop_.head_done = true;
        hop_.parsed = parse_head(hop_.head);
        // As browsers do: refuse a head whose lengths disagree, which aborts the transfer and
        // closes its connection with whatever bytes followed.
        if (!has_token(hop_.parsed.joined("Transfer-Encoding"), "chunked") &&
            !content_lengths_agree(hop_.parsed.joined("Content-Length"))) {
            hop_.conflicting_lengths = true;
            return 0;
        }
        on_head_end();
    }
    return len;
}

void Request::on_head_end() {
    learn_alt_svc();
    if (is_redirect_status(hop_.parsed.status) && hop_.parsed.get("Location")) {
        hop_.redirect = true; // its body is drained and dropped
        return;
    }
    if (hop_.revalidating && hop_.parsed.status == 304) {
        hop_.not_modified = true;
        return;
    }
    const EngineSettings &s = engine_->settings();
    // No certificate vouched for this response: it must not reach a cache other engines read.
    bool unverified =
        s.cert_mode == KS_CERT_NONE && (config_.url.origin.scheme == "https" || is_https(s.proxy));
    hop_.store_ok = s.cache && config_.method == "GET" && config_.body_kind == BodyKind::None &&
                    config_.cache_mode != CacheMode::NoStore && !unverified &&
                    is_storable(hop_.parsed, sent_headers()) &&
                    !announced_over(hop_.parsed, s.cache->max_entry_bytes());
    hop_.response_delivered = true;
    if (config_.cb.on_response)
        config_.cb.on_response(config_.cb.user_data, handle(), hop_.parsed.status,
                               reinterpret_cast<const uint8_t *>(hop_.head.data()),
                               hop_.head.size());
}

// Under auto, from direct https responses only: a proxied request never goes over QUIC. An
// alternative on another host is trusted for its certificate alone, so only where that is checked.
void Request::learn_alt_svc() {
    const EngineSettings &s = engine_->settings();
    if (s.http_version != KS_HTTP_AUTO || !s.proxy.empty() || config_.url.origin.scheme != "https")
        return;
    if (!hop_.parsed.get("Alt-Svc"))
        return;
    AltSvcCache::Reach reach{};
#ifdef CURLOPT_H3_ALTERNATIVE
    reach.other_port = true;
    reach.other_host = s.cert_mode != KS_CERT_NONE;
#endif
    engine_->alt_svc().learn(config_.url.origin, hop_.parsed.joined("Alt-Svc"),
                             AltSvcCache::Clock::now(), reach);
}

// Only for the hop's own connect: libcurl opens sockets for the transfer that connects.
curl_socket_t Request::on_open_socket(void *p, curlsocktype, curl_sockaddr *address) {
    auto *self = static_cast<Request *>(p);
    curl_socket_t s = self->engine_->quic_refusals().open_socket(*address);
    try {
        if (s != CURL_SOCKET_BAD)
            self->hop_.quic_sockets.push_back(s);
    } catch (const std::bad_alloc &) {
        // the failure then reads as a failed handshake
    }
    return s;
}

size_t Request::on_write(char *data, size_t size, size_t n, void *p) {
    auto *self = static_cast<Request *>(p);
    size_t len = size * n;
    if (!self->hop_.response_delivered || self->phase_ != Phase::Transfer)
        return len;
    if (self->hop_.want_pause) {
        // Nothing more until resume_read; libcurl keeps what this read decodes to.
        self->hop_.recv_paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    if (self->hop_.store_ok) {
        bool fits = self->hop_.store_body.size() + len <=
                    self->engine_->settings().cache->max_entry_bytes();
        try {
            if (fits)
                self->hop_.store_body.append(data, len);
        } catch (const std::bad_alloc &) {
            fits = false; // the response itself goes on; only its cache entry is given up
        }
        if (!fits) {
            self->hop_.store_ok = false;
            BodyBlock().swap(self->hop_.store_body);
        }
    }
    if (!self->config_.cb.on_body)
        return len;
    try {
        self->queue_body(data, len);
    } catch (const std::bad_alloc &) {
        self->hop_.out_of_memory = true;
        return 0; // fails the transfer; reported as OutOfMemory
    }
    return len;
}

void Request::queue_body(const char *data, size_t len) {
    if (incoming_.append(data, len, kReadSize, engine_->blocks()))
        deliver_body(false);
    if (!flush_queued_) {
        engine_->transfers().defer_body_flush(shared_from_this());
        flush_queued_ = true;
    }
}

void Request::deliver_body(bool partial_block) {
    if (hop_.want_pause)
        return;
    bool more = incoming_.deliver(partial_block, [this](const uint8_t *data, size_t len) {
        return config_.cb.on_body(config_.cb.user_data, handle(), data, len);
    });
    if (!more)
        hop_.want_pause = true;
}

void Request::flush_body() {
    flush_queued_ = false;
    if (phase_ == Phase::Transfer)
        deliver_body(true);
}

size_t Request::on_read(char *data, size_t size, size_t n, void *p) {
    auto *self = static_cast<Request *>(p);
    auto r = self->upload_->read(reinterpret_cast<uint8_t *>(data), size * n);
    self->upload_taken_ += r.bytes;
    if (r.bytes > 0 || r.eof)
        return r.bytes;
    self->hop_.send_paused = true;
    return CURL_READFUNC_PAUSE;
}

// libcurl sends a request again by itself on a fresh connection when the reused one turns out
// dead or the server refused the stream (never processed it), nothing of a response having come,
// at most five times; the only other way here twice is a response that broke libcurl's
// connection, which must fail, not go out again.
int Request::on_prereq(void *p, char *, char *, int, int) {
    auto *self = static_cast<Request *>(p);
    if (self->hop_.answered)
        return CURL_PREREQFUNC_ABORT;
    return CURL_PREREQFUNC_OK;
}

// libcurl rewinds before it sends a request again (on_prereq): only a streamed body none of
// whose bytes it took from the caller can start over.
int Request::on_seek(void *p, curl_off_t offset, int origin) {
    auto *self = static_cast<Request *>(p);
    return offset == 0 && origin == SEEK_SET && self->upload_taken_ == 0 ? CURL_SEEKFUNC_OK
                                                                         : CURL_SEEKFUNC_CANTSEEK;
}

int Request::on_sockopt(void *p, curl_socket_t s, curlsocktype) {
    auto *self = static_cast<Request *>(p);
    self->engine_->connections().opened(self->easy_, s);
    return CURL_SOCKOPT_OK;
}

void Request::upload_ready() {
    upload_wake_pending_ = false;
    if (phase_ == Phase::Transfer && easy_ && hop_.send_paused) {
        hop_.send_paused = false;
        curl_easy_pause(easy_, hop_.recv_paused ? CURLPAUSE_RECV : CURLPAUSE_CONT);
        flush_body(); // what unpausing delivered at once
    }
}

void Request::resume() {
    if (!hop_.want_pause)
        return;
    hop_.want_pause = false;
    if (phase_ == Phase::Serving)
        return pump_cached();
    if (phase_ != Phase::Transfer)
        return;
    deliver_body(true); // what was collected before the pause comes first
    if (hop_.want_pause)
        return;
    if (easy_ && hop_.recv_paused) {
        hop_.recv_paused = false;
        curl_easy_pause(easy_, hop_.send_paused ? CURLPAUSE_SEND : CURLPAUSE_CONT);
        flush_body();
    }
}

void Request::follow() {
    if (phase_ != Phase::AwaitFollow)
        return;
    phase_ = Phase::Transfer;
    start_hop();
}

// libcurl reports a head line over its own limit (100 KiB) as out of memory, with no text, and a
// head over its total limit or a malformed chunk as a receive error with a text. A real
// allocation failure while the head arrives is far rarer than a hostile head; one before any
// head line arrived is a real one.
Failure Request::refined_failure(CURLcode code, const FailureContext &ctx) const {
    if (hop_.conflicting_lengths)
        return kConflictingLengths;
    if (!hop_.head_done &&
        (hop_.head_too_big || (code == CURLE_OUT_OF_MEMORY && !hop_.head.empty()) ||
         ctx.http_fault == CURLHTTPFAULT_HEADERS_TOO_LARGE))
        return kHeadersTooBig;
    // Stopped by on_prereq: a response began and then broke libcurl's connection.
    if (code == CURLE_ABORTED_BY_CALLBACK && hop_.answered)
        return {KS_PROTOCOL, net::ERR_HTTP2_PROTOCOL_ERROR};
    if (hop_.h2_refused) {
        // Refused after its response began: the server broke its promise not to process it.
        if (hop_.answered)
            return {KS_PROTOCOL, net::ERR_HTTP2_PROTOCOL_ERROR};
        // Never processed, but not sent again: the caller's streamed bytes are gone, or each
        // new connection refused it too. Safe for the caller to try again.
        if (code == CURLE_SEND_FAIL_REWIND || code == CURLE_SEND_ERROR || code == CURLE_RECV_ERROR)
            return kRefusedStream;
    }
    if (ctx.http_fault == CURLHTTPFAULT_CHUNKED)
        return kInvalidChunkedEncoding;
    // libcurl 8 refuses Content-Length values that disagree, across lines or within one, itself,
    // before the head reaches the Core's own check; and with them a value it cannot read.
    if (ctx.http_fault == CURLHTTPFAULT_CONTENT_LENGTH && !hop_.head_done)
        return kConflictingLengths;
    // A UDP port that refused fails the connect as over TCP; any other failed connect of QUIC
    // is its handshake's (no h3 ALPN, a TLS alert, a CONNECTION_CLOSE).
    if (ctx.quic_only && !ctx.over_quic && code == CURLE_COULDNT_CONNECT && !ctx.quic_refused)
        return kQuicHandshakeFailed;
    return map_curl_error(code, ctx);
}

void Request::on_transfer_done(CURL *easy, CURLcode code) {
    if (easy != easy_)
        return;
    FailureContext ctx;
    ctx.via_proxy = !engine_->settings().proxy.empty();
    curl_easy_getinfo(easy, CURLINFO_HTTP_CONNECTCODE, &ctx.tunnel_status);
#ifdef CURLHTTPFAULT_NONE
    curl_easy_getinfo(easy, CURLINFO_HTTP_FAULT, &ctx.http_fault);
#endif
    curl_easy_getinfo(easy, CURLINFO_SSL_VERIFYRESULT, &ctx.tls_verify_result);
    // A failed check of an https:// proxy's certificate is the one to report.
    long proxy_verify = 0;
    if (curl_easy_getinfo(easy, CURLINFO_PROXY_SSL_VERIFYRESULT, &proxy_verify) == CURLE_OK &&
        proxy_verify != 0)
        ctx.tls_verify_result = proxy_verify;
    ctx.chunked_body = has_token(hop_.parsed.joined("Transfer-Encoding"), "chunked");
    long version = 0;
    curl_easy_getinfo(easy, CURLINFO_HTTP_VERSION, &version);
    ctx.over_quic = version == CURL_HTTP_VERSION_3;
    ctx.quic_only = hop_.curl_version == CURL_HTTP_VERSION_3ONLY;
    if (hop_.curl_version == CURL_HTTP_VERSION_3) {
        // Only a new connection raced; one that TCP won marks the alternative broken.
        long connects = 0;
        curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &connects);
        if (ctx.over_quic)
            engine_->alt_svc().quic_worked(config_.url.origin);
        else if (connects > 0)
            engine_->alt_svc().quic_failed(config_.url.origin, AltSvcCache::Clock::now());
    }
    ctx.quic_refused = engine_->quic_refusals().take(hop_.quic_sockets);
    release_transfer();
    if (phase_ != Phase::Transfer)
        return;
    // A redirect is decided by its head; a broken body does not matter.
    if (hop_.redirect)
        return handle_redirect();
    if (hop_.out_of_memory)
        return finish(kOutOfMemoryFailure);
    if (code != CURLE_OK)
        return finish(refined_failure(code, ctx));
    // A stream closed before the server ended it holds a cut response, whatever its reset code:
    // NO_ERROR only lets a server stop an upload once its response is complete.
    if (hop_.h2_cut)
        return finish({KS_PROTOCOL, net::ERR_HTTP2_PROTOCOL_ERROR});
    const auto &cache = engine_->settings().cache;
    if (hop_.not_modified) {
        auto entry = refreshed(*hop_.cached, hop_.parsed, request_time_, now_seconds());
        cache->store(entry);
        return serve(entry);
    }
    if (!hop_.response_delivered)
        return finish(kInvalidResponse);
    if (cache && hop_.store_ok) {
        auto entry = std::make_shared<CacheEntry>();
        entry->url = config_.url.text;
        entry->vary = vary_values(hop_.parsed, sent_headers()).value_or(decltype(entry->vary){});
        entry->status = hop_.parsed.status;
        entry->head = hop_.head;
        entry->body = std::move(hop_.store_body);
        entry->parsed = hop_.parsed;
        entry->request_time = request_time_;
        entry->response_time = now_seconds();
        cache->store(std::move(entry));
    } else if (cache && config_.method != "GET" && config_.method != "HEAD" &&
               hop_.parsed.status < 400) {
        cache->remove(config_.url.text); // an unsafe method invalidates what we stored
    }
    finish({KS_OK, 0});
}

void Request::note_h2(CURL *easy, H2Note note, size_t length) {
    auto *r = static_cast<Request *>(Transfer::of(easy));
    if (!r || r->easy_ != easy)
        return;
    switch (note) {
    case H2Note::EndStream:
        r->hop_.h2_end_stream = true;
        break;
    case H2Note::Closed:
        r->hop_.h2_cut = !r->hop_.h2_end_stream;
        break;
    case H2Note::Refused:
        r->hop_.h2_refused = true;
        break;
    case H2Note::HeadFrame:
    case H2Note::Continuation:
        // nghttp2 decodes a header block as it comes: its size is only known here. It ends
        // the connection at the ninth CONTINUATION of one block, a flood as we count it.
        r->hop_.answered = true;
        if (!r->hop_.head_done) {
            r->hop_.h2_head_bytes += length;
            r->hop_.h2_continuations += note == H2Note::Continuation;
            if (r->hop_.h2_head_bytes > kMaxResponseHeadBytes ||
                r->hop_.h2_continuations >= kMaxHeadContinuations)
                r->hop_.head_too_big = true;
        }
        break;
    }
}

void Request::handle_redirect() {
    if (config_.redirect_mode == RedirectMode::Error)
        return finish(kRedirectRefused);
    if (hops_ >= kMaxRedirects)
        return finish(kTooManyRedirects);
    auto base = Url::parse(config_.url.text);
    auto target = base ? base->resolve(*hop_.parsed.get("Location")) : std::nullopt;
    if (!target)
        return finish(kUnsafeRedirect);
    NextMethod next = next_method(hop_.parsed.status, config_.method);
    if (next.keep_body && config_.body_kind == BodyKind::Stream)
        return finish(kUploadRewind);
    if (!next.keep_body && config_.body_kind != BodyKind::None) {
        config_.body_kind = BodyKind::None;
        config_.body.clear();
        if (upload_)
            upload_->close(KS_INVALID_STATE);
        std::erase_if(config_.headers, [](const auto &h) { return is_body_header(h.first); });
    }
    if (target->origin != config_.url.origin)
        drop_credentials(config_.headers);
    config_.parsed_url.reset();
    std::string from = std::move(config_.url.text);
    config_.url = std::move(*target);
    config_.method = std::move(next.method);
    ++hops_;
    std::string head = std::move(hop_.head);
    if (config_.redirect_mode == RedirectMode::Manual) {
        phase_ = Phase::AwaitFollow;
        awaiting_follow_ = true;
    }
    if (config_.cb.on_redirect)
        config_.cb.on_redirect(config_.cb.user_data, handle(), hop_.parsed.status,
                               reinterpret_cast<const uint8_t *>(head.data()), head.size(),
                               from.data(), from.size(), config_.url.text.data(),
                               config_.url.text.size());
    if (config_.redirect_mode == RedirectMode::Follow && phase_ == Phase::Transfer)
        start_hop();
}

void Request::serve(std::shared_ptr<const CacheEntry> entry) {
    phase_ = Phase::Serving;
    hop_.cached = std::move(entry);
    serve_offset_ = 0;
    hop_.want_pause = false;
    if (config_.cb.on_response)
        config_.cb.on_response(config_.cb.user_data, handle(), hop_.cached->status,
                               reinterpret_cast<const uint8_t *>(hop_.cached->head.data()),
                               hop_.cached->head.size());
    pump_cached();
}

void Request::pump_cached() {
    while (phase_ == Phase::Serving && !hop_.want_pause) {
        const BodyBlock &body = hop_.cached->body;
        if (serve_offset_ >= body.size())
            return finish({KS_OK, 0});
        size_t n = std::min(kServeChunk, body.size() - serve_offset_);
        const auto *chunk = reinterpret_cast<const uint8_t *>(body.data() + serve_offset_);
        serve_offset_ += n;
        if (config_.cb.on_body && !config_.cb.on_body(config_.cb.user_data, handle(), chunk, n))
            hop_.want_pause = true;
    }
}

void Request::release_transfer() {
    if (easy_) {
        engine_->transfers().remove(easy_);
        engine_->transfers().give_back_easy(easy_);
        easy_ = nullptr;
    }
    header_list_.reset();
}

void Request::finish(Failure failure) {
    if (phase_ == Phase::Done || phase_ == Phase::Idle)
        return;
    // Bytes that arrived before the outcome still come before it, a pause notwithstanding; a
    // canceled request wants no more of its body.
    incoming_.end(failure.status != KS_CANCELED, engine_->blocks(),
                  [this](const uint8_t *data, size_t len) {
                      config_.cb.on_body(config_.cb.user_data, handle(), data, len);
                  });
    phase_ = Phase::Done;
    awaiting_follow_ = false;
    timer_.cancel();
    release_transfer();
    if (upload_)
        upload_->close(failure.status ? failure.status : ks_status{KS_INVALID_STATE});
    auto self = shared_from_this();
    engine_->jobs().remove(self, Kind::transfer);
    hop_.cached.reset();
    done_.store(true, std::memory_order_release);
    config_.cb.on_complete(config_.cb.user_data, handle(), failure.status, failure.net_error);
}

} // namespace kestrin
