// URL serialization: raw non-ASCII anywhere in a URL comes out as a browser sends it.
#include "url.hpp"

#include <gtest/gtest.h>

#include <curl/curl.h>

namespace kestrin {
namespace {

struct Case {
    const char *in;
    const char *out; // nullptr: refused
};

class SerializeUrl : public testing::TestWithParam<Case> {};

TEST_P(SerializeUrl, AsABrowserSendsIt) {
    auto got = serialize_url(GetParam().in);
    if (!GetParam().out) {
        EXPECT_EQ(got, std::nullopt);
        return;
    }
    ASSERT_TRUE(got) << GetParam().in;
    EXPECT_EQ(*got, GetParam().out);
    EXPECT_EQ(serialize_url(*got), got) << "not stable";
}

INSTANTIATE_TEST_SUITE_P(
    Parts, SerializeUrl,
    testing::Values(
        Case{"http://127.0.0.1:8080/get?u=\xc3\xa9t\xc3\xa9",
             "http://127.0.0.1:8080/get?u=%C3%A9t%C3%A9"},
        Case{"http://a.test/\xe6\xbc\xa2?q=\xe6\xbc\xa2", "http://a.test/%E6%BC%A2?q=%E6%BC%A2"},
        Case{"https://a.test/\xf0\x9f\x98\x80#\xf0\x9f\x98\x80",
             "https://a.test/%F0%9F%98%80#%F0%9F%98%80"},
        Case{"http://a.test/a%20b?c%20d=%zz", "http://a.test/a%20b?c%20d=%zz"},
        Case{"http://a.test/p{}`?q='\"<>`{}", "http://a.test/p%7B%7D%60?q=%27%22%3C%3E%60{}"},
        Case{"http://a.test/a b?c d#e f", "http://a.test/a%20b?c%20d#e%20f"},
        Case{"http://a.test?", "http://a.test/?"}, Case{"http://A.Test:80/x", "http://a.test/x"},
        Case{"wss://a.test:443/s?x=\xc3\xa9", "wss://a.test/s?x=%C3%A9"},
        Case{"http://u\xc3\xa9:p@a.test/", "http://u%C3%A9:p@a.test/"},
        Case{"http://[::1]:81/x", "http://[::1]:81/x"},
        Case{"http://a.test/./b/../c", "http://a.test/c"}, Case{"not a url", nullptr},
        Case{"http://", nullptr}));

TEST(SerializeUrlHost, IdnaWhereTheStackHasIt) {
    if (!(curl_version_info(CURLVERSION_NOW)->features & CURL_VERSION_IDN))
        GTEST_SKIP() << "libcurl without IDN";
    EXPECT_EQ(serialize_url("http://\xc3\xa9t\xc3\xa9.test/\xc3\xa9"),
              "http://xn--t-9fab.test/%C3%A9");
    EXPECT_EQ(serialize_url("http://B\xc3\xbc\x63her.test/"), "http://xn--bcher-kva.test/");
    // A name that maps to digits is an IPv4 address, as the ASCII spelling would be.
    EXPECT_EQ(serialize_url("https://\xc2\xb9./"), "https://0.0.0.1/");
    EXPECT_EQ(serialize_url("http://\xef\xbc\x91\xef\xbc\x92\xef\xbc\x97.0.0.1/"),
              "http://127.0.0.1/");
}

} // namespace
} // namespace kestrin
