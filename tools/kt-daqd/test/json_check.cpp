#include "json_check.h"

#include <cctype>

namespace ktdaqd_test {
namespace {

class Reader {
  public:
    explicit Reader(const std::string &text) : text_(text) {}

    bool object(const std::string &prefix, JsonLine *out) {
        if (!take('{')) {
            return false;
        }
        if (take('}')) {
            return true;
        }
        do {
            std::string key;
            if (!string(&key) || !take(':') || !value(prefix + key, out)) {
                return false;
            }
        } while (take(','));
        return take('}');
    }

    bool at_end() const { return at_ == text_.size(); }

  private:
    bool value(const std::string &name, JsonLine *out) {
        if (peek() == '"') {
            return string(&out->strings[name]);
        }
        if (peek() == '{') {
            return object(name + ".", out);
        }
        if (take('[')) {
            if (take(']')) {
                return true;
            }
            int index = 0;
            do {
                if (!value(name + "[" + std::to_string(index++) + "]", out)) {
                    return false;
                }
            } while (take(','));
            return take(']');
        }
        return number(&out->numbers[name]);
    }

    bool string(std::string *out) {
        if (!take('"')) {
            return false;
        }
        const size_t end = text_.find('"', at_);
        if (end == std::string::npos || text_.find('\\', at_) < end) {
            return false;
        }
        *out = text_.substr(at_, end - at_);
        at_ = end + 1;
        return true;
    }

    bool number(uint64_t *out) {
        const size_t start = at_;
        uint64_t n = 0;
        while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_]))) {
            n = n * 10 + static_cast<uint64_t>(text_[at_++] - '0');
        }
        // No leading zero but for 0 itself.
        const size_t digits = at_ - start;
        *out = n;
        return digits > 0 && !(digits > 1 && text_[start] == '0');
    }

    char peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }

    bool take(char c) {
        if (peek() != c) {
            return false;
        }
        ++at_;
        return true;
    }

    const std::string &text_;
    size_t at_ = 0;
};

}  // namespace

std::optional<JsonLine> parse_json_line(const std::string &line) {
    JsonLine out;
    Reader reader(line);
    if (!reader.object("", &out) || !reader.at_end()) {
        return std::nullopt;
    }
    return out;
}

}  // namespace ktdaqd_test
