// Helpers shared by the in-process and the end-to-end tests: real loopback sockets, captured
// output, private network namespaces.
#pragma once

#include <cstdint>
#include <string>

namespace support {

// Redirects a descriptor (1 or 2) into a file while it lives.
class Capture {
public:
    explicit Capture(int fd);
    ~Capture();
    std::string All() const;
    // What was written since the last call.
    std::string New();

private:
    int fd_, saved_, file_;
    size_t seen_ = 0;
};

// A TCP client connected to 127.0.0.1:port, bound first to the loopback address `from`.
// Small receive buffers, when asked for, make a client that stalls quickly.
int Connect(uint16_t port, const char* from = "127.0.0.1", int rcvbuf = 0);
// Closes a client with a reset instead of an orderly close.
void Reset(int fd);
void SendDatagram(uint16_t port, const std::string& bytes);
// A port that nothing on this host is bound to right now, for the given socket type.
uint16_t FreePort(int type);

// Waits until fd shows any of events (poll(2) flags); false on time-out.
bool WaitFor(int fd, short events, int timeout_ms = 5000);
// Everything readable on fd right now, without waiting.
std::string Drain(int fd);
// Reads until n bytes arrived or the time-out passed.
std::string ReadBytes(int fd, size_t n, int timeout_ms = 5000);

// Moves this process into a fresh network namespace with loopback up. On failure returns false
// and says why.
bool EnterPrivateNetwork(std::string& why);

}  // namespace support
