#include "websocket/close.hpp"

#include <random>

#include "websocket/text.hpp"

namespace kestrin {

bool valid_received_close_code(uint16_t code) {
    return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) ||
           (code >= 3000 && code <= 4999);
}

bool valid_close_frame(uint32_t code, std::string_view reason) {
    return code <= 0xFFFF && valid_received_close_code(static_cast<uint16_t>(code)) &&
           reason.size() <= 123 && valid_utf8(reason);
}

std::string client_close_frame(std::optional<uint16_t> code, std::string_view reason) {
    std::string payload;
    if (code) {
        payload += char(*code >> 8);
        payload += char(*code & 0xFF);
        payload.append(reason.substr(0, 123));
    }
    thread_local std::mt19937 rng{std::random_device{}()};
    uint32_t key = rng();
    std::string frame;
    frame += '\x88';
    frame += char(0x80 | payload.size());
    for (int i = 0; i < 4; ++i)
        frame += char(key >> (8 * i));
    for (size_t i = 0; i < payload.size(); ++i)
        frame += char(payload[i] ^ frame[2 + i % 4]);
    return frame;
}

CloseAnswer answer_peer_close(uint16_t code, std::string_view reason) {
    if (code == 0) // the peer's frame had no code
        return {client_close_frame(std::nullopt, {})};
    if (!valid_received_close_code(code))
        return {client_close_frame(1002, {}), true};
    return {client_close_frame(code, reason)};
}

void WsPeerCloseCode::feed(unsigned char *p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = p[i];
        switch (phase_) {
        case Phase::HttpHead: {
            static constexpr char kEnd[] = "\r\n\r\n";
            matched_ = c == kEnd[matched_] ? matched_ + 1 : (c == '\r' ? 1 : 0);
            if (matched_ == 4)
                phase_ = Phase::FrameHead;
            break;
        }
        case Phase::FrameHead: {
            head_[head_len_++] = c;
            if (head_len_ < 2)
                break;
            size_t len7 = head_[1] & 0x7F;
            size_t need = 2 + (len7 == 126 ? 2 : len7 == 127 ? 8 : 0) + (head_[1] & 0x80 ? 4 : 0);
            if (head_len_ < need)
                break;
            uint64_t len = len7;
            if (len7 == 126)
                len = (uint64_t(head_[2]) << 8) | head_[3];
            else if (len7 == 127)
                for (int k = 0; k < 8; ++k)
                    len = (k ? len << 8 : 0) | head_[2 + k];
            // A masked frame from a server fails in Beast anyway; its bytes are left alone.
            close_frame_ = (head_[0] & 0x0F) == 0x8 && !(head_[1] & 0x80);
            head_len_ = 0;
            remaining_ = len;
            offset_ = 0;
            if (remaining_ > 0)
                phase_ = Phase::Payload;
            break;
        }
        case Phase::Payload: {
            if (close_frame_ && offset_ == 0)
                code_high_ = c;
            if (close_frame_ && offset_ == 1 && code_high_ == (kBadGateway >> 8) &&
                c == (kBadGateway & 0xFF)) {
                p[i] = static_cast<unsigned char>(kStandIn & 0xFF);
                rewrote_ = true;
            }
            // The rest of a payload is skipped whole, not looked at byte by byte.
            uint64_t step = close_frame_ && offset_ < 1 ? 1 : std::min<uint64_t>(remaining_, n - i);
            offset_ += step;
            remaining_ -= step;
            i += step - 1;
            if (remaining_ == 0)
                phase_ = Phase::FrameHead;
            break;
        }
        }
    }
}

} // namespace kestrin
