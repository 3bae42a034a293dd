// Connected TCP socket pairs over the loopback interface, for the tests.
#ifndef KT_CMD_TEST_SOCKET_H
#define KT_CMD_TEST_SOCKET_H

#include <string>

namespace ktcmd_test {

// Owns one descriptor; closes it on destruction.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd &&other) noexcept : fd_(other.release()) {}
    Fd &operator=(Fd &&other) noexcept;
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd();
    int get() const { return fd_; }
    int release();
    void reset();

  private:
    int fd_ = -1;
};

// A connected pair: `peer` is the client side, `local` the accepted server side.
struct TcpPair {
    Fd local;
    Fd peer;
};

// Connects a pair over 127.0.0.1; `nonblocking` applies to the local side.
TcpPair make_tcp_pair(bool nonblocking);

// Writes all of `bytes` to `fd`.
void write_all(int fd, const std::string &bytes);

// Reads from `fd` until `count` bytes have arrived or the peer closes.
std::string read_exactly(int fd, size_t count);

}  // namespace ktcmd_test

#endif  // KT_CMD_TEST_SOCKET_H
