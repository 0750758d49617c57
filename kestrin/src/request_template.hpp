// What every fetch of an engine sends unless the request changes it, made once per engine: the
// default headers, and their lines as libcurl takes them. A request without headers of its own
// points libcurl at those lines instead of building and checking a list of its own.
#pragma once

#include <memory>

#include <curl/curl.h>

#include "engine_settings.hpp"
#include "http_head.hpp"

namespace kestrin {

// libcurl's request header lines for `headers`: an empty value sends the header empty ("Name;"),
// but an empty Content-Type or Expect that the caller did not give keeps libcurl's own default
// out ("Name:"). Nullptr when memory ran out.
curl_slist *header_lines(const HeaderList &headers, const HeaderList &caller);

struct SlistFree {
    void operator()(curl_slist *l) const { curl_slist_free_all(l); }
};
using HeaderLines = std::unique_ptr<curl_slist, SlistFree>;

class RequestTemplate {
  public:
    // False when memory ran out.
    bool init(const EngineSettings &settings);
    // The fetch defaults, as a request without headers of its own sends them.
    const HeaderList &headers() const { return headers_; }
    // Their lines for a request that sends no body, libcurl's Expect kept out.
    curl_slist *bodyless_lines() const { return bodyless_lines_.get(); }

  private:
    HeaderList headers_;
    HeaderLines bodyless_lines_;
};

} // namespace kestrin
