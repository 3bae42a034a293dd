#include "kernel_line.h"

#include <poll.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "kt_uart.h"

namespace {

// How long a line that is expected to answer may stay quiet before a test gives up.
constexpr int kQuietMs = 5000;
// Until the peer has answered once, a marker is sent again at this interval, this often.
constexpr int kFirstMarkerMs = 250;
constexpr int kFirstMarkers = 120;

bool g_peer_answered = false;

bool readable(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeout_ms) == 1;
}

}  // namespace

void KernelPort::SetUp() {
    const char *guest = std::getenv("KT_GUEST");
    const char *device = std::getenv("KT_UART_DEVICE");
    ASSERT_TRUE(guest != nullptr && *guest != '\0')
        << "KT_GUEST is not set: this program tests the real serial driver and runs only "
           "inside the emulated board (scripts/test-kernel)";
    ASSERT_TRUE(device != nullptr && *device != '\0')
        << "KT_UART_DEVICE is not set: it names the board's serial port, e.g. /dev/ttyAMA0";
    fd_ = kt_uart_open(0, device);
    ASSERT_GE(fd_, 0) << device << ": " << std::strerror(errno);
}

void KernelPort::TearDown() {
    if (fd_ >= 0) {
        kt_uart_close(fd_);
    }
}

termios KernelPort::attributes() const {
    termios t{};
    EXPECT_EQ(tcgetattr(fd_, &t), 0);
    return t;
}

int KernelPort::input_queued() const {
    int n = -1;
    EXPECT_EQ(ioctl(fd_, TIOCINQ, &n), 0);
    return n;
}

int KernelPort::output_queued() const {
    int n = -1;
    EXPECT_EQ(ioctl(fd_, TIOCOUTQ, &n), 0);
    return n;
}

void KernelLine::SetUp() {
    KernelPort::SetUp();
    if (HasFatalFailure()) {
        return;
    }
    ASSERT_EQ(kt_uart_init(fd_, 115200, 0, 8, 1, 'N'), 0);
    ASSERT_GE(sync(), 0) << "the peer on the PC side sends nothing back";
}

long KernelLine::sync(std::string *dropped) {
    static int serial = 0;
    // The emulator drops what the port sends while no peer is connected, so until the peer
    // has answered once the marker is repeated; later one marker must come back.
    const int markers = g_peer_answered ? 1 : kFirstMarkers;
    const int quiet_ms = g_peer_answered ? kQuietMs : kFirstMarkerMs;
    std::string seen;
    for (int i = 0; i < markers; ++i) {
        const std::string marker = "\x02sync " + std::to_string(++serial) + "\x03";
        const int size = static_cast<int>(marker.size());
        if (kt_uart_send(fd_, marker.data(), size) != size) {
            return -1;
        }
        while (readable(fd_, quiet_ms)) {
            char buf[512];
            const int n = kt_uart_recv(fd_, buf, sizeof buf);
            if (n <= 0) {
                return -1;
            }
            seen.append(buf, static_cast<size_t>(n));
            const size_t at = seen.find(marker);
            if (at != std::string::npos) {
                g_peer_answered = true;
                if (dropped != nullptr) {
                    *dropped = seen.substr(0, at);
                }
                return static_cast<long>(at);
            }
        }
    }
    return -1;
}

std::string KernelLine::receive(std::size_t count) {
    std::string out;
    while (out.size() < count && readable(fd_, kQuietMs)) {
        char buf[4096];
        const int want = static_cast<int>(std::min(sizeof buf, count - out.size()));
        const int n = kt_uart_recv_block(fd_, buf, want);
        if (n <= 0) {
            break;
        }
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}
