// One request of an engine: its copied configuration, the API calls that
// reach it from any thread, and the transfer it runs on the network thread
// (hops, cache, back-pressure, upload, completion).
#pragma once

#include <array>
#include <atomic>
#include <deque>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/steady_timer.hpp>
#include <curl/curl.h>

#include <kestrin/kestrin.h>

#include "body_batch.hpp"
#include "cache.hpp"
#include "curl_driver.hpp"
#include "error_map.hpp"
#include "handler_slot.hpp"
#include "http_head.hpp"
#include "page_allocator.hpp"
#include "request_config.hpp"
#include "request_template.hpp"
#include "upload_buffer.hpp"

namespace kestrin {

class Engine;

// HTTP/2 events of a request's stream that libcurl reports only through the stack's patch
// (h2_frames.cpp).
enum class H2Note {
    EndStream,   // the server ended its side of the stream
    Closed,      // the stream closed with NO_ERROR, ended or not
    Refused,     // REFUSED_STREAM, or past a GOAWAY's last stream id: never processed
    HeadFrame,   // a HEADERS frame of the response began, of the given length
    Continuation // a CONTINUATION frame of it began, of the given length
};

class Request final : public Transfer, public std::enable_shared_from_this<Request> {
  public:
    // Checks and copies the configuration; nothing runs until start().
    static ks_status create(const std::shared_ptr<Engine> &engine, const ks_request_config &config,
                            std::shared_ptr<Request> &out);
    ~Request();
    Request(const Request &) = delete;
    Request &operator=(const Request &) = delete;

    ks_request *handle() { return reinterpret_cast<ks_request *>(this); }
    static Request *from(ks_request *h) { return reinterpret_cast<Request *>(h); }

    // API side, any thread; none of these waits for the network thread.
    ks_status start();
    // As start(); then, when nobody runs the engine's loop, runs it on the calling thread until
    // ready(arg) returns nonzero.
    ks_status start_and_run(int (*ready)(void *), void *arg);
    // Runs the engine's loop on the calling thread until ready(arg) returns nonzero; refused
    // with InvalidState, without running anything, when another thread runs it.
    ks_status run_until(int (*ready)(void *), void *arg);
    ks_status cancel();
    ks_status resume_read();
    ks_status follow_redirect();
    ks_status upload_write(const uint8_t *data, size_t len, bool final_chunk);
    void release();

    // The caller's reference, dropped by release().
    std::shared_ptr<Request> api_ref;

    // Network thread.
    void transfer_done(CURL *easy, CURLcode code) override {
        step([&] { on_transfer_done(easy, code); });
    }
    // From within libcurl, for the request whose transfer easy is.
    static void note_h2(CURL *easy, H2Note note, size_t length = 0);
    // Lets libcurl tell the request of its HTTP/2 stream's frames, where it can (h2_frames.cpp).
    static void watch_h2_frames(CURL *easy);
    void abort(Failure failure, std::string_view message = {}) override;
    // The request's own timeout.
    void time_out();
    // Runs one step of the request; memory running out in it fails the request with
    // OutOfMemory instead of unwinding through the network thread.
    template <class F> void step(F &&f) {
        try {
            f();
        } catch (const std::bad_alloc &) {
            finish(kOutOfMemoryFailure);
        }
    }
    // Hands the body collected during one libcurl call to on_body.
    void flush_body() override;

  private:
    // libcurl's read size, and so the largest piece of body one write callback brings.
    static constexpr size_t kReadSize = 32 * 1024;
    static_assert(BodyBatch::kBlockBytes + kReadSize <= KS_BODY_CHUNK_MAX);

    // The abort that release() queues; it needs no memory then.
    HandlerSlot release_slot_;

    explicit Request(std::shared_ptr<Engine> engine);

    enum class Phase { Idle, Transfer, AwaitFollow, Serving, Done };

    void begin();
    void on_transfer_done(CURL *easy, CURLcode code);
    size_t take_header_line(char *data, size_t len);
    void start_hop();
    bool consult_cache();
    // Sets a hop's transfer up; false when memory ran out.
    bool configure(CURL *easy);
    // libcurl's hooks into this request, the URL, and how connections are made and shared.
    bool configure_transport(CURL *easy);
    // The hop's CURLOPT_HTTP_VERSION.
    long curl_http_version(bool https);
    // The method and body; true when the request sends a body, whose Content-Type libcurl must
    // not make up.
    bool configure_body(CURL *easy);
    bool configure_header_lines(CURL *easy, bool sends_body);
    // This hop's request headers, for Vary: the engine's defaults unless the caller gave some.
    const HeaderList &sent_headers() const;
    void on_head_end();
    void learn_alt_svc();
    void handle_redirect();
    void serve(std::shared_ptr<const CacheEntry> entry);
    void pump_cached();
    void resume();
    void follow();
    void upload_ready();
    void release_transfer();
    Failure refined_failure(CURLcode code, const FailureContext &ctx) const;
    void finish(Failure failure);

    static size_t on_header(char *data, size_t size, size_t n, void *self);
    static size_t on_write(char *data, size_t size, size_t n, void *self);
    void queue_body(const char *data, size_t len);
    // Hands collected blocks to on_body until it asks to pause; the last, still filling block
    // only with partial_block.
    void deliver_body(bool partial_block);
    static size_t on_read(char *data, size_t size, size_t n, void *self);
#ifdef CURL_H2FRAME_STREAM_CLOSED
    static void on_h2_frame(CURL *easy, int what, size_t length, unsigned int error_code, void *);
#endif
    static curl_socket_t on_open_socket(void *self, curlsocktype, curl_sockaddr *address);
    static int on_prereq(void *self, char *, char *, int, int);
    static int on_seek(void *self, curl_off_t offset, int origin);
    static int on_sockopt(void *self, curl_socket_t s, curlsocktype purpose);

    std::shared_ptr<Engine> engine_;

    // The caller's record, as redirects change it (URL, method, headers, the current hop's body)
    // and the caller's validators narrow its cache mode; network thread only after start.
    RequestConfig config_;
    std::unique_ptr<UploadBuffer> upload_;
    uint64_t upload_taken_ = 0; // streamed body bytes libcurl took from upload_

    std::atomic<bool> started_{false};
    std::atomic<bool> canceled_{false};
    std::atomic<bool> awaiting_follow_{false};
    std::atomic<bool> upload_wake_pending_{false};
    std::atomic<bool> done_{false}; // on_complete is on its way: the loop has no more to do

    // Network thread state.
    Phase phase_ = Phase::Idle;
    int hops_ = 0;
    boost::asio::steady_timer timer_;

    CURL *easy_ = nullptr;
    HeaderLines header_list_; // when the engine's lines will not do
    std::optional<HeaderList> own_headers_;
    int64_t request_time_ = 0;
    size_t serve_offset_ = 0;
    BodyBatch incoming_; // response body on its way to on_body
    bool flush_queued_ = false;

    // What one hop learns and decides; start_hop() begins each hop with a fresh one.
    struct Hop {
        HeaderList extra_headers; // validators
        std::string head;
        ParsedHead parsed;
        bool head_done = false;
        bool head_too_big = false;
        // Some of a response arrived: libcurl must not send the request again.
        bool answered = false;
        size_t h2_head_bytes = 0;
        int h2_continuations = 0;
        // Content-Length values that disagree: no framing to trust.
        bool conflicting_lengths = false;
        // In a libcurl callback, which then failed the transfer.
        bool out_of_memory = false;
        long curl_version = CURL_HTTP_VERSION_NONE; // what the hop asked libcurl for
        std::string h3_alternative; // where its QUIC goes, when not to the origin itself
        std::vector<curl_socket_t> quic_sockets; // opened for the hop's HTTP/3
        bool redirect = false;
        // HTTP/2: the stream closed with NO_ERROR before the server ended it, or was refused.
        bool h2_end_stream = false;
        bool h2_cut = false;
        bool h2_refused = false;
        bool response_delivered = false;
        bool want_pause = false;
        bool recv_paused = false;
        bool send_paused = false;
        std::shared_ptr<const CacheEntry> cached;
        bool revalidating = false;
        bool not_modified = false;
        bool store_ok = false;
        BodyBlock store_body;
    };
    Hop hop_;
};

} // namespace kestrin
