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

} // namespace kestrin
