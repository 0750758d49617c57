// libcurl's printf family, which builds every request's header lines: a patched stack appends
// strings and literal runs whole, and must print what the C library prints.
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include <curl/curl.h>
#include <curl/mprintf.h>

namespace {

template <class... A> std::string libc(const char *fmt, A... a) {
    char buf[512];
    std::snprintf(buf, sizeof buf, fmt, a...);
    return buf;
}

template <class... A> std::string curl(const char *fmt, A... a) {
    char *s = curl_maprintf(fmt, a...);
    EXPECT_NE(s, nullptr);
    std::string out = s ? s : "";
    curl_free(s);
    return out;
}

TEST(Mprintf, StringsAndLiteralsAsTheCLibraryPrintsThem) {
#define SAME(...) EXPECT_EQ(curl(__VA_ARGS__), libc(__VA_ARGS__))
    SAME("%s\r\n", "User-Agent: test/1.0");
    SAME("%s%s%s", "a", "", "bc");
    SAME("plain text only");
    SAME("%.3s|%.*s|%.10s", "abcdef", 2, "xyz", "ab");
    SAME("[%5s][%-5s][%05d]", "ab", "cd", 42);
    SAME("%.*s:\r\n", 4, "Name: value");
    SAME("%s %s HTTP/%s\r\n", "GET", "/index.html?q=1", "1.1");
    SAME("100%% of %s", "it");
    SAME("%s://%s%s%s:%d%s", "https", "user@", "", "example.test", 8443, "/path");
#undef SAME
    EXPECT_EQ(curl(""), "");
    std::string long_value(4000, 'v');
    EXPECT_EQ(curl("X-Long: %s\r\n", long_value.c_str()), "X-Long: " + long_value + "\r\n");
}

TEST(Mprintf, BoundedOutputsStillTruncate) {
    char buf[8];
    curl_msnprintf(buf, sizeof buf, "%s-%s", "abcd", "efgh");
    EXPECT_STREQ(buf, "abcd-ef");
}

} // namespace
