#include "status_json.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>

namespace ktweb {

namespace {

void add_number(std::string *out, double value) {
    if (!std::isfinite(value)) {
        *out += "null";  // JSON has no NaN or infinity
        return;
    }
    char text[32];
    snprintf(text, sizeof text, "%.6g", value);
    *out += text;
}

void add_unsigned(std::string *out, uint64_t value) {
    char text[24];
    snprintf(text, sizeof text, "%" PRIu64, value);
    *out += text;
}

// A JSON string of text made by the program itself or given on its command line.
void add_string(std::string *out, const std::string &text) {
    *out += '"';
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            *out += '\\';
            *out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            *out += escape;
        } else {
            *out += c;
        }
    }
    *out += '"';
}

void add_key(std::string *out, const char *key) {
    if (out->back() != '{') {
        *out += ',';
    }
    *out += '"';
    *out += key;
    *out += "\":";
}

}  // namespace

const char *state_of(const BookView &view, const Origin &origin) {
    if (!view.connected) {
        return "no_engine";
    }
    if (view.idle_s < 0 || view.idle_s > origin.stale_s) {
        return "no_frames";
    }
    return "ok";
}

std::string to_json(const BookView &view, const Origin &origin, SampleFormat format, bool waves) {
    std::string out = "{";
    add_key(&out, "state");
    add_string(&out, state_of(view, origin));
    add_key(&out, "mode");
    add_string(&out, origin.mode);
    add_key(&out, "origin");
    add_string(&out, origin.where);
    add_key(&out, "sample_format");
    add_string(&out, sample_format_name(format));
    add_key(&out, "connected");
    out += view.connected ? "true" : "false";
    add_key(&out, "stale_after_s");
    add_number(&out, origin.stale_s);
    add_key(&out, "uptime_s");
    add_number(&out, view.uptime_s);
    add_key(&out, "frames");
    add_unsigned(&out, view.frames);
    add_key(&out, "bytes");
    add_unsigned(&out, view.bytes);
    add_key(&out, "malformed");
    add_unsigned(&out, view.malformed);
    add_key(&out, "idle_s");
    if (view.idle_s < 0) {
        out += "null";
    } else {
        add_number(&out, view.idle_s);
    }
    add_key(&out, "rates");
    out += '[';
    for (size_t i = 0; i < view.rates.size(); ++i) {
        if (i != 0) {
            out += ',';
        }
        add_number(&out, view.rates[i]);
    }
    out += ']';
    add_key(&out, "sources");
    out += '[';
    for (size_t i = 0; i < view.sources.size(); ++i) {
        const SourceView &s = view.sources[i];
        out += i == 0 ? "{" : ",{";
        add_key(&out, "source");
        add_string(&out, std::to_string(s.module_id) + ":" + std::to_string(s.channel_id));
        add_key(&out, "module");
        add_unsigned(&out, static_cast<uint64_t>(s.module_id));
        add_key(&out, "channel");
        add_unsigned(&out, static_cast<uint64_t>(s.channel_id));
        add_key(&out, "frames");
        add_unsigned(&out, s.frames);
        add_key(&out, "bytes");
        add_unsigned(&out, s.bytes);
        add_key(&out, "rate");
        add_number(&out, s.rate);
        add_key(&out, "gaps");
        add_unsigned(&out, s.gaps);
        add_key(&out, "last_msg_id");
        add_unsigned(&out, s.last_msg_id);
        add_key(&out, "idle_s");
        add_number(&out, s.idle_s);
        if (waves) {
            add_key(&out, "wave");
            out += '[';
            for (size_t j = 0; j < s.wave.size(); ++j) {
                if (j != 0) {
                    out += ',';
                }
                add_number(&out, s.wave[j]);
            }
            out += ']';
        }
        out += '}';
    }
    out += "]}";
    return out;
}

}  // namespace ktweb
