// Response bodies arrive decoded from every encoding the Core asks for, while the head
// keeps the Content-Encoding of the wire.
#include <gtest/gtest.h>

#include <memory>

#include <brotli/encode.h>
#include <zlib.h>
#include <zstd.h>

#include "core_client.hpp"
#include "test_server.hpp"

using namespace kestrin_test;

namespace {

std::string zlib_encode(const std::string &in, int window_bits) {
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, in.size()) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::string brotli_encode(const std::string &in) {
    size_t size = BrotliEncoderMaxCompressedSize(in.size());
    std::string out(size, '\0');
    BrotliEncoderCompress(BROTLI_DEFAULT_QUALITY, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_GENERIC,
                          in.size(), reinterpret_cast<const uint8_t *>(in.data()), &size,
                          reinterpret_cast<uint8_t *>(out.data()));
    out.resize(size);
    return out;
}

std::string zstd_encode(const std::string &in) {
    std::string out(ZSTD_compressBound(in.size()), '\0');
    out.resize(ZSTD_compress(out.data(), out.size(), in.data(), in.size(), 3));
    return out;
}

} // namespace

TEST(CoreEncodings, EveryAdvertisedEncodingIsDecoded) {
    std::string plain;
    for (int i = 0; i < 20000; ++i)
        plain += "line " + std::to_string(i % 97) + "\n";
    std::string accepted;
    TestServer server([&](const HttpRequest &req, Conn &c) {
        accepted = req.header("Accept-Encoding");
        std::string enc = req.target.substr(1), body;
        if (enc == "gzip")
            body = zlib_encode(plain, 15 + 16);
        else if (enc == "deflate")
            body = zlib_encode(plain, 15);
        else if (enc == "br")
            body = brotli_encode(plain);
        else if (enc == "zstd")
            body = zstd_encode(plain);
        else
            body = "not gzip at all", enc = "gzip";
        c.send(response(200, body, {{"Content-Encoding", enc}}));
    });
    ks_engine *engine = nullptr;
    ASSERT_EQ(make_engine({}, &engine), KS_OK);
    std::unique_ptr<ks_engine, void (*)(ks_engine *)> owner(engine, ks_engine_release);
    for (const char *enc : {"gzip", "deflate", "br", "zstd"}) {
        Recorder rec;
        ks_request *r = nullptr;
        ASSERT_EQ(make_request(engine, server.url(std::string("/") + enc), {}, rec, &r), KS_OK);
        std::unique_ptr<ks_request, void (*)(ks_request *)> req(r, ks_request_release);
        ASSERT_EQ(ks_request_start(r), KS_OK);
        ASSERT_TRUE(rec.wait_complete());
        EXPECT_EQ(rec.complete_status, 0u) << enc;
        EXPECT_EQ(rec.body, plain) << enc;
        EXPECT_NE(rec.head.find(std::string("Content-Encoding: ") + enc + "\r\n"),
                  std::string::npos);
    }
    EXPECT_EQ(accepted, "gzip, deflate, br, zstd");

    // A body that does not decode is a protocol failure.
    Recorder rec;
    ks_request *r = nullptr;
    ASSERT_EQ(make_request(engine, server.url("/gzip-broken"), {}, rec, &r), KS_OK);
    std::unique_ptr<ks_request, void (*)(ks_request *)> req(r, ks_request_release);
    ASSERT_EQ(ks_request_start(r), KS_OK);
    ASSERT_TRUE(rec.wait_complete());
    EXPECT_EQ(rec.complete_status, uint32_t(KS_PROTOCOL));
    EXPECT_EQ(rec.net_error, -330);
}
