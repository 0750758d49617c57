// What libcurl does not report of an HTTP/2 stream, observed on the frames nghttp2 hands it:
// whether the server ended the stream with END_STREAM, closed it early with NO_ERROR, or refused
// it (REFUSED_STREAM, or past a GOAWAY's last stream id) and so never processed the request. The
// Core links its own static libcurl and nghttp2 with --wrap on the two setters libcurl calls,
// so each of its sessions gets these callbacks in front of libcurl's own.
#include <atomic>
#include <cstdint>

#include <curl/curl.h>
#include <nghttp2/nghttp2.h>

#include "request.hpp"

extern "C" {
void __real_nghttp2_session_callbacks_set_on_frame_recv_callback(nghttp2_session_callbacks *cbs,
                                                                 nghttp2_on_frame_recv_callback cb);
void __real_nghttp2_session_callbacks_set_on_stream_close_callback(
    nghttp2_session_callbacks *cbs, nghttp2_on_stream_close_callback cb);
}

namespace {

// libcurl's own callbacks: one function each for every session, so one slot each.
std::atomic<nghttp2_on_frame_recv_callback> curl_frame_recv{nullptr};
std::atomic<nghttp2_on_stream_close_callback> curl_stream_close{nullptr};

void note(nghttp2_session *session, int32_t stream_id, kestrin::H2Note what, size_t length = 0) {
    // libcurl keeps each stream's transfer as the stream's user data.
    if (auto *easy = static_cast<CURL *>(nghttp2_session_get_stream_user_data(session, stream_id)))
        kestrin::Request::note_h2(easy, what, length);
}

int on_frame_recv(nghttp2_session *session, const nghttp2_frame *frame, void *user) {
    uint8_t type = frame->hd.type;
    if ((type == NGHTTP2_DATA || type == NGHTTP2_HEADERS) &&
        (frame->hd.flags & NGHTTP2_FLAG_END_STREAM))
        note(session, frame->hd.stream_id, kestrin::H2Note::EndStream);
    auto curl = curl_frame_recv.load(std::memory_order_relaxed);
    return curl ? curl(session, frame, user) : 0;
}

int on_begin_frame(nghttp2_session *session, const nghttp2_frame_hd *hd, void *) {
    if (hd->stream_id > 0 && hd->type == NGHTTP2_HEADERS)
        note(session, hd->stream_id, kestrin::H2Note::HeadFrame, hd->length);
    else if (hd->stream_id > 0 && hd->type == NGHTTP2_CONTINUATION)
        note(session, hd->stream_id, kestrin::H2Note::Continuation, hd->length);
    return 0;
}

int on_stream_close(nghttp2_session *session, int32_t stream_id, uint32_t code, void *user) {
    // Before libcurl's, which drops the stream's user data.
    if (code == NGHTTP2_NO_ERROR)
        note(session, stream_id, kestrin::H2Note::Closed);
    else if (code == NGHTTP2_REFUSED_STREAM)
        note(session, stream_id, kestrin::H2Note::Refused);
    auto curl = curl_stream_close.load(std::memory_order_relaxed);
    return curl ? curl(session, stream_id, code, user) : 0;
}

} // namespace

extern "C" {

void __wrap_nghttp2_session_callbacks_set_on_frame_recv_callback(
    nghttp2_session_callbacks *cbs, nghttp2_on_frame_recv_callback cb) {
    curl_frame_recv.store(cb, std::memory_order_relaxed);
    __real_nghttp2_session_callbacks_set_on_frame_recv_callback(cbs, cb ? &on_frame_recv : nullptr);
    // libcurl sets none: the frame headers give a header block's size as it arrives.
    nghttp2_session_callbacks_set_on_begin_frame_callback(cbs, &on_begin_frame);
}

void __wrap_nghttp2_session_callbacks_set_on_stream_close_callback(
    nghttp2_session_callbacks *cbs, nghttp2_on_stream_close_callback cb) {
    curl_stream_close.store(cb, std::memory_order_relaxed);
    __real_nghttp2_session_callbacks_set_on_stream_close_callback(cbs,
                                                                  cb ? &on_stream_close : nullptr);
}

} // extern "C"
