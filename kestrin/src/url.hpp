// URLs, parsed once by libcurl's parser, and put on the wire as browsers put them: what a
// caller, a Location header or a WebSocket URL holds in raw form is serialized once before it
// reaches libcurl or a request line.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <curl/curl.h>

namespace kestrin {

struct Origin {
    std::string scheme, host, port; // host in lower case, port always given
    bool operator==(const Origin &) const = default;
};

// A URL in the form a browser sends, with its origin.
struct WebUrl {
    std::string text;
    Origin origin;
};

// The port a URL of this scheme (http, https, ws, wss) means when it names none; empty for others.
std::string_view default_port(std::string_view scheme);

// Every method throws std::bad_alloc when memory runs out, never for a bad URL.
class Url {
  public:
    enum class Spaces { Refused, Allowed };

    // Any scheme; nullopt when the text does not parse, or holds a NUL (libcurl would stop there).
    static std::optional<Url> parse(std::string_view text, Spaces spaces = Spaces::Refused);

    // The host through IDNA (punycode, lower case) and the user information, path, query and
    // fragment percent-encoded as UTF-8 with the WHATWG URL standard's set for each; escapes
    // already present stay as they are, so serializing twice changes nothing. Nullopt when the
    // host is not a valid domain name.
    std::optional<WebUrl> serialize() const;

    // An http(s) reference (a Location value) resolved against this URL and serialized; nullopt
    // when it does not parse or names another scheme.
    std::optional<WebUrl> resolve(std::string_view reference) const;

    // Components as libcurl holds them; nullopt (or empty) when the URL has none.
    std::string scheme() const;
    std::optional<std::string> host() const; // an IPv6 literal in brackets
    std::optional<std::string> port() const; // as written, if written
    std::optional<std::string> user() const; // percent-decoded
    std::optional<std::string> password() const;
    std::string resource() const; // path ("/" when empty) and query, as a request line has them
    bool has_fragment() const;

    // For CURLOPT_CURLU, which spares libcurl a parse of its own; valid while this lives.
    CURLU *handle() const { return u_.get(); }

  private:
    struct Free {
        void operator()(CURLU *u) const { curl_url_cleanup(u); }
    };
    explicit Url(CURLU *u) : u_(u) {}
    std::optional<std::string> get(CURLUPart which, unsigned flags = 0) const;

    std::unique_ptr<CURLU, Free> u_;
};

// Url::parse (spaces allowed) and serialize, text to text.
std::optional<std::string> serialize_url(std::string_view text);

} // namespace kestrin
