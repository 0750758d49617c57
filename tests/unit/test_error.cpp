#include "errors/error.h"

#include <gtest/gtest.h>

namespace corvina {
namespace {

TEST(StatusConversion, KindsAndNativeCodes) {
    EXPECT_EQ(error_from_status(1).kind, ErrorKind::InvalidArgument);
    EXPECT_EQ(error_from_status(15).kind, ErrorKind::ProfileUnsupported);
    for (uint32_t s = 1; s <= 15; ++s)
        EXPECT_EQ(static_cast<uint32_t>(error_from_status(s).kind), s - 1);
    // Kinds 15 and 16 belong to the module: statuses never produce them.
    EXPECT_EQ(error_from_status(16).kind, ErrorKind::Native);
    EXPECT_EQ(error_from_status(17).kind, ErrorKind::Native);
    EXPECT_EQ(error_from_status(0x80000000u).kind, ErrorKind::Native);
    EXPECT_EQ(error_from_status(0).kind, ErrorKind::Native);
    EXPECT_EQ(error_from_status(0).code, 0u);
}

TEST(ErrorTexts, ExactShapes) {
    EXPECT_EQ(core_error_text(error_from_status(6)), "Timeout");
    EXPECT_EQ(core_error_text(error_from_status(16)), "native error 16");
    EXPECT_EQ(core_error_text(error_from_status(4294967295u)), "native error -1");
    EXPECT_EQ(request_failure_text({ErrorKind::Timeout, 6, -7}), "Timeout (Chromium net error -7)");
    EXPECT_EQ(request_failure_text({ErrorKind::Native, 1000, -2}),
              "native error 1000 (Chromium net error -2)");
    EXPECT_EQ(request_failure_text({ErrorKind::CallbackPanic, 0, 0}),
              "CallbackPanic (Chromium net error 0)");
    EXPECT_EQ(websocket_failure_text({ErrorKind::BufferLimit, 0, "x", 0, 0}),
              "BufferLimit (Chromium net error 0, response 0)");
    EXPECT_EQ(websocket_failure_text({ErrorKind::Protocol, 11, "", -1, 403}),
              "Protocol (Chromium net error -1, response 403)");
}

TEST(QuoteValue, EscapesAndPassThrough) {
    EXPECT_EQ(quote_value("h4"), "\"h4\"");
    EXPECT_EQ(quote_value("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(quote_value(std::string("\t\r\n\0", 4)), "\"\\t\\r\\n\\0\"");
    EXPECT_EQ(quote_value("\x01\x7f"), "\"\\u{1}\\u{7f}\"");
    // Printable non-ASCII stays; a combining mark (Grapheme_Extend) and a format character do not.
    EXPECT_EQ(quote_value("\xc3\xa9"), "\"\xc3\xa9\"");
    EXPECT_EQ(quote_value("e\xcc\x81"), "\"e\\u{301}\"");
    EXPECT_EQ(quote_value("\xe2\x80\x8b"), "\"\\u{200b}\"");
    // No-break space is a separator: not printable. The ASCII space is.
    EXPECT_EQ(quote_value("a b\xc2\xa0"), "\"a b\\u{a0}\"");
    // An unassigned code point and a private-use one are not printable.
    EXPECT_EQ(quote_value("\xf3\xb0\x80\x80"), "\"\\u{f0000}\"");
    EXPECT_EQ(quote_value("\xf0\x9f\x98\x80"), "\"\xf0\x9f\x98\x80\"");
}

TEST(QuoteValue, InvalidUtf8BecomesReplacement) {
    // Each maximal invalid subpart is one U+FFFD, which is printable.
    EXPECT_EQ(quote_value("a\xffz"), "\"a\xef\xbf\xbdz\"");
    EXPECT_EQ(quote_value("\xe2\x82"), "\"\xef\xbf\xbd\"");
    EXPECT_EQ(quote_value("\xed\xa0\x80"), "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\"");
}

TEST(UnicodeTables, Lookups) {
    EXPECT_TRUE(is_printable(U' '));
    EXPECT_FALSE(is_printable(U'\u2028'));
    EXPECT_FALSE(is_printable(U'\U000E0001'));
    EXPECT_TRUE(is_grapheme_extend(U'\u0300'));
    EXPECT_TRUE(is_grapheme_extend(U'\u200C')); // ZWNJ is Other_Grapheme_Extend
    EXPECT_FALSE(is_grapheme_extend(U'a'));
    EXPECT_FALSE(is_printable(0x110000));
}

} // namespace
} // namespace corvina
