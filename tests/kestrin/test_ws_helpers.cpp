// WebSocket helpers of the Core: URL parsing, close frame rules, UTF-8 validation, the
// compression offer and the check of its answer.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine_settings.hpp"
#include "profiles.hpp"
#include "websocket/close.hpp"
#include "websocket/deflate.hpp"
#include "websocket/target.hpp"
#include "websocket/text.hpp"

#include <boost/beast/websocket/detail/mask.hpp>

using namespace kestrin;

TEST(WsHelpers, Utf8) {
    EXPECT_TRUE(valid_utf8(""));
    EXPECT_TRUE(valid_utf8("plain"));
    EXPECT_TRUE(valid_utf8("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80")); // é € 😀
    EXPECT_TRUE(valid_utf8("\xf4\x8f\xbf\xbf"));                     // U+10FFFF
    EXPECT_FALSE(valid_utf8("\xc0\x80"));                            // overlong NUL
    EXPECT_FALSE(valid_utf8("\xe0\x80\xaf"));                        // overlong '/'
    EXPECT_FALSE(valid_utf8("\xed\xa0\x80"));                        // surrogate
    EXPECT_FALSE(valid_utf8("\xf4\x90\x80\x80"));                    // above U+10FFFF
    EXPECT_FALSE(valid_utf8("\xc3"));                                // truncated
    EXPECT_FALSE(valid_utf8("a\xe2\x82"));                           // truncated at the end
    EXPECT_FALSE(valid_utf8("\x80"));                                // lone continuation
    EXPECT_FALSE(valid_utf8("\xff\xfe"));
}

TEST(WsHelpers, CloseFrameCodesAndReasons) {
    for (uint32_t ok : {1000u, 1001u, 1002u, 1003u, 1007u, 1011u, 1014u, 3000u, 4999u})
        EXPECT_TRUE(valid_close_frame(ok, "")) << ok;
    for (uint32_t bad : {0u, 999u, 1004u, 1005u, 1006u, 1015u, 1016u, 2999u, 5000u, 65535u})
        EXPECT_FALSE(valid_close_frame(bad, "")) << bad;
    EXPECT_TRUE(valid_close_frame(1000, std::string(123, 'x')));
    EXPECT_FALSE(valid_close_frame(1000, std::string(124, 'x')));
    EXPECT_FALSE(valid_close_frame(1000, "\xff"));
}

TEST(WsHelpers, Urls) {
    WebSocketTarget t;
    ASSERT_TRUE(parse_websocket_url("ws://example.com/chat?room=1", t));
    EXPECT_FALSE(t.tls);
    EXPECT_EQ(t.host, "example.com");
    EXPECT_EQ(t.port, "80");
    EXPECT_EQ(t.host_header, "example.com");
    EXPECT_EQ(t.resource, "/chat?room=1");

    ASSERT_TRUE(parse_websocket_url("wss://example.com:8443", t));
    EXPECT_TRUE(t.tls);
    EXPECT_EQ(t.port, "8443");
    EXPECT_EQ(t.host_header, "example.com:8443");
    EXPECT_EQ(t.resource, "/");

    ASSERT_TRUE(parse_websocket_url("wss://example.com:443/x", t));
    EXPECT_EQ(t.host_header, "example.com"); // the default port is left out

    ASSERT_TRUE(parse_websocket_url("ws://[::1]:9000/p", t));
    EXPECT_EQ(t.host, "::1");
    EXPECT_EQ(t.host_header, "[::1]:9000");

    ASSERT_TRUE(parse_websocket_url("https://example.com/", t));
    EXPECT_TRUE(t.tls);

    EXPECT_FALSE(parse_websocket_url("", t));
    EXPECT_FALSE(parse_websocket_url("ftp://example.com/", t));
    EXPECT_FALSE(parse_websocket_url("ws://example.com/#frag", t));
    EXPECT_FALSE(parse_websocket_url("ws://exa mple.com/", t));
}

TEST(WsHelpers, ClientCloseFrames) {
    auto unmask = [](const std::string &f) {
        std::string out;
        for (size_t i = 6; i < f.size(); ++i)
            out += char(f[i] ^ f[2 + (i - 6) % 4]);
        return out;
    };
    std::string f = client_close_frame(4100, "see you");
    ASSERT_EQ(f.size(), 6u + 2 + 7);
    EXPECT_EQ(uint8_t(f[0]), 0x88);
    EXPECT_EQ(uint8_t(f[1]), 0x80 | 9);
    EXPECT_EQ(unmask(f), std::string("\x10\x04see you", 9));
    std::string empty = client_close_frame(std::nullopt, "ignored");
    EXPECT_EQ(empty.size(), 6u);
    EXPECT_EQ(uint8_t(empty[1]), 0x80);
    EXPECT_EQ(client_close_frame(1000, std::string(200, 'x')).size(), 6u + 125);

    for (uint16_t ok : {1000, 1003, 1007, 1014, 3000, 4999})
        EXPECT_TRUE(valid_received_close_code(ok)) << ok;
    for (uint16_t bad : {0, 999, 1004, 1005, 1006, 1015, 2999, 5000, 65535})
        EXPECT_FALSE(valid_received_close_code(bad)) << bad;
}

TEST(WsHelpers, DeflateOfferPerProfile) {
    EngineSettings s;
    EXPECT_EQ(deflate_offer(s), "permessage-deflate; client_max_window_bits");
    for (auto [name, offer] : {std::pair{"chrome", "permessage-deflate; client_max_window_bits"},
                               {"safari", "permessage-deflate; client_max_window_bits"},
                               {"firefox", "permessage-deflate"}}) {
        s.profile = find_profile(name);
        EXPECT_EQ(deflate_offer(s), offer) << name;
    }
}

TEST(WsHelpers, DeflateAnswers) {
    constexpr std::string_view kBits = "permessage-deflate; client_max_window_bits";
    constexpr std::string_view kPlain = "permessage-deflate";
    struct Case {
        std::string_view answer, offer;
        bool ok, negotiated;
    };
    for (const Case &c : {
             Case{"", kBits, true, false},
             Case{"permessage-deflate", kBits, true, true},
             Case{" , PerMessage-Deflate ; server_no_context_takeover,", kPlain, true, true},
             Case{"permessage-deflate; client_max_window_bits=8; server_max_window_bits=15; "
                  "client_no_context_takeover; server_no_context_takeover",
                  kBits, true, true},
             Case{"permessage-deflate; server_max_window_bits=9", kPlain, true, true},
             Case{"permessage-deflate; client_max_window_bits=10", kPlain, false, false},
             Case{"permessage-deflate; client_max_window_bits", kBits, false, false},
             Case{"permessage-deflate; server_max_window_bits=7", kBits, false, false},
             Case{"permessage-deflate; server_max_window_bits=16", kBits, false, false},
             Case{"permessage-deflate; server_max_window_bits=09", kBits, false, false},
             Case{"permessage-deflate; server_max_window_bits=\"10\"", kBits, false, false},
             Case{"permessage-deflate; server_no_context_takeover=1", kBits, false, false},
             Case{"permessage-deflate; server_no_context_takeover; server_no_context_takeover",
                  kBits, false, false},
             Case{"permessage-deflate; mystery", kBits, false, false},
             Case{"permessage-deflate, permessage-deflate", kBits, false, false},
             Case{"x-webkit-deflate-frame", kBits, false, false},
             Case{"permessage-deflate", "", false, false},
         }) {
        bool negotiated = true;
        std::string why = check_extension_answer(c.answer, c.offer, negotiated);
        EXPECT_EQ(why.empty(), c.ok) << c.answer << ": " << why;
        if (c.ok) {
            EXPECT_EQ(negotiated, c.negotiated) << c.answer;
        }
    }
}

// Beast's masking as patches/boost makes it, against the rule itself (byte i XOR key[i % 4]), for
// every length around the 16-byte steps, the frame whole and split at every point, so the key's
// phase carries across buffers.
TEST(WsHelpers, MaskingMatchesTheRuleWholeAndSplit) {
    namespace wd = boost::beast::websocket::detail;
    const uint32_t raw = 0xa1b2c3d4;
    for (size_t len = 0; len <= 70; ++len) {
        std::vector<unsigned char> plain(len);
        for (size_t i = 0; i < len; ++i)
            plain[i] = static_cast<unsigned char>(i * 7 + 3);
        wd::prepared_key key;
        wd::prepare_key(key, raw);
        std::vector<unsigned char> expected = plain;
        for (size_t i = 0; i < len; ++i)
            expected[i] ^= key[i % 4];
        for (size_t split = 0; split <= len; ++split) {
            std::vector<unsigned char> data = plain;
            wd::prepared_key k = key;
            wd::mask_inplace(boost::asio::mutable_buffer(data.data(), split), k);
            wd::mask_inplace(boost::asio::mutable_buffer(data.data() + split, len - split), k);
            ASSERT_EQ(data, expected) << "length " << len << ", split at " << split;
            for (size_t i = 0; i < 4; ++i)
                ASSERT_EQ(k[i], key[(i + len) % 4]) << "length " << len;
        }
    }
}
