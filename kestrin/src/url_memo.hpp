// The last URL an engine's requests named, as read: a caller that names the same URL again (an
// API polled, a page's assets, a benchmark) skips libcurl's parse and the serialization, and
// libcurl gets the same parsed handle, which it only reads and copies.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "url.hpp"

namespace kestrin {

// A caller's http(s) URL as requests use it; read-only once made, so requests share it.
struct ReadUrl {
    WebUrl url; // serialized as a browser sends it
    // The parse of the caller's text, where serializing changed nothing (the usual case).
    std::shared_ptr<const Url> parsed;
};

// Safe from any thread.
class UrlMemo {
  public:
    // What `text` was read as, if it is the text remembered last; else null.
    std::shared_ptr<const ReadUrl> find(std::string_view text) const;
    // Throws std::bad_alloc, remembering nothing then.
    void remember(std::string_view text, std::shared_ptr<const ReadUrl> url);

  private:
    mutable std::mutex mutex_;
    std::string text_;
    std::shared_ptr<const ReadUrl> url_; // null while text_ is not whole
};

} // namespace kestrin
