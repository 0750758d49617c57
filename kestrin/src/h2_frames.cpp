// What libcurl does not report of an HTTP/2 stream, told by the stack's libcurl through
// CURLOPT_H2FRAMEFUNCTION (patches/curl): whether the server ended the stream with END_STREAM,
// closed it early with NO_ERROR, or refused it (REFUSED_STREAM, or past a GOAWAY's last stream
// id) and so never processed the request; and the frames of a response's header block. A
// libcurl without the option keeps its own reading of cut streams and refusals.
#include "request.hpp"

namespace kestrin {

#ifdef CURL_H2FRAME_STREAM_CLOSED

// RFC 9113 error codes.
constexpr unsigned kH2NoError = 0x0, kH2RefusedStream = 0x7;

void Request::on_h2_frame(CURL *easy, int what, size_t length, unsigned int error_code, void *) {
    switch (what) {
    case CURL_H2FRAME_HEADERS_BEGIN:
        return note_h2(easy, H2Note::HeadFrame, length);
    case CURL_H2FRAME_CONTINUATION_BEGIN:
        return note_h2(easy, H2Note::Continuation, length);
    case CURL_H2FRAME_END_STREAM:
        return note_h2(easy, H2Note::EndStream);
    case CURL_H2FRAME_STREAM_CLOSED:
        if (error_code == kH2NoError)
            note_h2(easy, H2Note::Closed);
        else if (error_code == kH2RefusedStream)
            note_h2(easy, H2Note::Refused);
        return;
    default:
        return;
    }
}

void Request::watch_h2_frames(CURL *easy) {
    curl_easy_setopt(easy, CURLOPT_H2FRAMEFUNCTION, &Request::on_h2_frame);
}

#else

void Request::watch_h2_frames(CURL *) {}

#endif

} // namespace kestrin
