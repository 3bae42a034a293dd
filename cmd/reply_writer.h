// Bounded text writer over a reply buffer: appends never pass the buffer's end and the
// text stays NUL-terminated.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace ktcmd {

class ReplyWriter {
  public:
    // `size` counts the terminating NUL and must be at least 1.
    ReplyWriter(char *buf, size_t size) : buf_(buf), size_(size) { buf_[0] = '\0'; }

    void text(std::string_view s) {
        const size_t n = s.size() < room() ? s.size() : room();
        std::memcpy(buf_ + len_, s.data(), n);
        len_ += n;
        buf_[len_] = '\0';
    }
    void ch(char c) { text(std::string_view(&c, 1)); }

    template <typename Int>
    void number(Int value, int base = 10) {
        char digits[24];
        const auto res = std::to_chars(digits, digits + sizeof digits, value, base);
        text(std::string_view(digits, static_cast<size_t>(res.ptr - digits)));
    }

    bool ends_with(char c) const { return len_ > 0 && buf_[len_ - 1] == c; }
    const char *data() const { return buf_; }
    size_t length() const { return len_; }

  private:
    size_t room() const { return size_ - 1 - len_; }

    char *buf_;
    size_t size_;
    size_t len_ = 0;
};

}  // namespace ktcmd
