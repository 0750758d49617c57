// The client's frame masking, in place of Beast's. Beast XORs four bytes at a time, which was a
// sixth of the client's CPU for 1 MiB messages; this XORs sixteen at a time in a loop the compiler
// turns into vector code. The build defines Beast's include guard for its definitions
// (BOOST_BEAST_WEBSOCKET_DETAIL_MASK_IPP) for everything that links the Core, so any file that
// instantiates Beast's WebSocket stream includes this header: without it, the build fails on an
// inline function used but never defined.
#pragma once

#ifndef BOOST_BEAST_WEBSOCKET_DETAIL_MASK_IPP
#error "the build must define BOOST_BEAST_WEBSOCKET_DETAIL_MASK_IPP"
#endif

#include <cstddef>
#include <cstdint>
#include <cstring>

#include <boost/beast/websocket/detail/mask.hpp>

namespace boost::beast::websocket::detail {

inline void prepare_key(prepared_key &prepared, std::uint32_t key) {
    prepared[0] = static_cast<unsigned char>(key >> 0);
    prepared[1] = static_cast<unsigned char>(key >> 8);
    prepared[2] = static_cast<unsigned char>(key >> 16);
    prepared[3] = static_cast<unsigned char>(key >> 24);
}

// Masks one buffer from the key's current phase and leaves the key rotated to the phase after
// it, so that a frame spread over several buffers is masked as one.
inline void mask_inplace(net::mutable_buffer const &b, prepared_key &key) {
    auto *p = static_cast<unsigned char *>(b.data());
    std::size_t n = b.size();
    unsigned char wide[8];
    for (std::size_t i = 0; i < 8; ++i)
        wide[i] = key[i % 4];
    std::uint64_t k;
    std::memcpy(&k, wide, sizeof k);
    for (; n >= 16; p += 16, n -= 16) {
        std::uint64_t w[2];
        std::memcpy(w, p, 16);
        w[0] ^= k;
        w[1] ^= k;
        std::memcpy(p, w, 16);
    }
    for (std::size_t i = 0; i < n; ++i)
        p[i] ^= key[i % 4];
    const prepared_key was = key;
    for (std::size_t i = 0; i < 4; ++i)
        key[i] = was[(i + n) % 4];
}

} // namespace boost::beast::websocket::detail
