#include "url_memo.hpp"

namespace kestrin {

std::shared_ptr<const ReadUrl> UrlMemo::find(std::string_view text) const {
    std::lock_guard lock(mutex_);
    return url_ && text_ == text ? url_ : nullptr;
}

void UrlMemo::remember(std::string_view text, std::shared_ptr<const ReadUrl> url) {
    std::shared_ptr<const ReadUrl> old; // freed after the lock
    std::lock_guard lock(mutex_);
    old = std::move(url_);
    text_.assign(text);
    url_ = std::move(url);
}

} // namespace kestrin
