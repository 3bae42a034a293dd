// Fuzz target: an arbitrary byte stream in arbitrary chunks through a socket pair into
// kt_recv / kt_get_complete_cmd, compared with a plain model of the framing: every
// complete line comes out once, intact and in order, and the record stays consistent.
//
// Input: a sequence of chunks, each a length byte (0: a receive with nothing waiting)
// followed by that many bytes.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kt_cmd.h"

namespace {

void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

struct Harness {
    int local = -1;
    int peer = -1;
    kt_netword nw{};
    std::string in_flight;  // sent by the peer, not yet received
    std::string model;      // what the buffer holds once handed-out lines are dropped

    Harness() {
        int sv[2];
        check(socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0, "socket pair");
        local = sv[0];
        peer = sv[1];
        fcntl(local, F_SETFL, fcntl(local, F_GETFL) | O_NONBLOCK);
        kt_netword_init(&nw);
    }
    ~Harness() {
        close(local);
        close(peer);
    }

    void invariants() const {
        check(nw.capacity == KT_NETWORD_SIZE, "capacity");
        check(nw.consumed >= 0 && nw.consumed <= nw.fill && nw.fill <= KT_NETWORD_SIZE,
              "0 <= consumed <= fill <= capacity");
        check(static_cast<size_t>(nw.fill - nw.consumed) == model.size(), "fill matches model");
        check(std::memcmp(nw.data + nw.consumed, model.data(), model.size()) == 0,
              "buffered bytes match model");
    }

    void receive() {
        const int32_t before = nw.fill;
        const bool full = model.size() >= KT_NETWORD_SIZE;
        check(kt_recv(local, &nw) == 0, "receive");
        if (full) {
            model.clear();  // a line too long to complete is discarded
        }
        const int32_t got = nw.fill - (full ? 0 : before);
        check(got >= 0 && static_cast<size_t>(got) <= in_flight.size(), "received count");
        model.append(in_flight, 0, static_cast<size_t>(got));
        in_flight.erase(0, static_cast<size_t>(got));
        invariants();
    }

    void cut_lines() {
        for (;;) {
            while (model.size() >= 2 && model[0] == '\r' && model[1] == '\n') {
                model.erase(0, 2);
            }
            const size_t end = model.find("\r\n");
            const int rc = kt_get_complete_cmd(&nw);
            if (end == std::string::npos) {
                check(rc == -1 && nw.consumed == 0, "no line without CR LF");
                invariants();
                return;
            }
            check(rc == 0, "a complete line is handed out");
            check(nw.consumed == static_cast<int32_t>(end + 2), "line length");
            check(std::memcmp(nw.data, model.data(), end) == 0 && nw.data[end] == '\0',
                  "line intact and NUL-terminated");
            model.erase(0, end + 2);
            invariants();
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Harness h;
    size_t pos = 0;
    while (pos < size) {
        size_t n = data[pos++];
        n = n < size - pos ? n : size - pos;
        if (n > 0) {
            check(write(h.peer, data + pos, n) == static_cast<ssize_t>(n), "peer write");
            h.in_flight.append(reinterpret_cast<const char *>(data + pos), n);
            pos += n;
        }
        do {
            h.receive();
            h.cut_lines();
        } while (!h.in_flight.empty());
    }
    // A closed peer ends the connection and leaves the buffer alone.
    close(h.peer);
    h.peer = -1;
    const kt_netword before = h.nw;
    check(kt_recv(h.local, &h.nw) == -1, "closed peer");
    check(std::memcmp(&before, &h.nw, sizeof before) == 0, "buffer unchanged on close");
    return 0;
}
