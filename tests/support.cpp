#include "support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace support {
namespace {

void Check(bool ok, const char* what)
{
    if (!ok) {
        throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
    }
}

sockaddr_in Loopback(const char* address, uint16_t port)
{
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    inet_pton(AF_INET, address, &sin.sin_addr);
    return sin;
}

int TempFile()
{
    FILE* f = tmpfile();
    Check(f != nullptr, "tmpfile");
    int fd = dup(fileno(f));  // the file lives on, unnamed, as long as this descriptor
    fclose(f);
    return fd;
}

std::string ReadFile(int fd, size_t from = 0)
{
    std::string text;
    char chunk[4096];
    ssize_t n;
    while ((n = pread(fd, chunk, sizeof chunk, static_cast<off_t>(from + text.size()))) > 0) {
        text.append(chunk, static_cast<size_t>(n));
    }
    return text;
}

bool WriteFile(const char* path, const std::string& text)
{
    int fd = open(path, O_WRONLY);
    if (fd == -1) {
        return false;
    }
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

}  // namespace

Capture::Capture(int fd) : fd_(fd), saved_(dup(fd)), file_(TempFile())
{
    fflush(stdout);
    dup2(file_, fd_);
}

Capture::~Capture()
{
    fflush(stdout);
    dup2(saved_, fd_);
    close(saved_);
    close(file_);
}

// Reads the file as it is: what the program under test left in its own stdio buffers is not there.
std::string Capture::All() const
{
    return ReadFile(file_);
}

std::string Capture::New()
{
    std::string text = ReadFile(file_, seen_);
    seen_ += text.size();
    return text;
}

int Connect(uint16_t port, const char* from, int rcvbuf)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    Check(fd != -1, "socket");
    if (rcvbuf > 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    }
    sockaddr_in local = Loopback(from, 0);
    Check(bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0, "bind client");
    sockaddr_in server = Loopback("127.0.0.1", port);
    Check(connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0, "connect");
    return fd;
}

void Reset(int fd)
{
    linger abort = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close(fd);
}

void SendDatagram(uint16_t port, const std::string& bytes)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    Check(fd != -1, "socket");
    sockaddr_in to = Loopback("127.0.0.1", port);
    ssize_t n =
        sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    close(fd);
    Check(n == static_cast<ssize_t>(bytes.size()), "sendto");
}

uint16_t FreePort(int type)
{
    int fd = socket(AF_INET, type, 0);
    sockaddr_in any = Loopback("0.0.0.0", 0);
    socklen_t length = sizeof any;
    Check(bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0, "bind port 0");
    getsockname(fd, reinterpret_cast<sockaddr*>(&any), &length);
    close(fd);
    return ntohs(any.sin_port);
}

bool WaitFor(int fd, short events, int timeout_ms)
{
    pollfd p = {fd, events, 0};
    return poll(&p, 1, timeout_ms) == 1 && (p.revents & events);
}

std::string Drain(int fd)
{
    std::string bytes;
    char chunk[4096];
    ssize_t n;
    while ((n = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT)) > 0) {
        bytes.append(chunk, static_cast<size_t>(n));
    }
    return bytes;
}

std::string ReadBytes(int fd, size_t n, int timeout_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string bytes;
    while (bytes.size() < n) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !WaitFor(fd, POLLIN, static_cast<int>(left.count()))) {
            break;
        }
        char chunk[4096];
        ssize_t got = read(fd, chunk, std::min(sizeof chunk, n - bytes.size()));
        if (got <= 0) {
            break;
        }
        bytes.append(chunk, static_cast<size_t>(got));
    }
    return bytes;
}

bool EnterPrivateNetwork(std::string& why)
{
    if (unshare(CLONE_NEWNET) != 0) {
        // Not root: a user namespace of our own gives the right to make a network namespace.
        uid_t uid = getuid();
        gid_t gid = getgid();
        if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
            why = std::string("cannot make a network namespace: ") + std::strerror(errno);
            return false;
        }
        WriteFile("/proc/self/setgroups", "deny");
        WriteFile("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1");
        WriteFile("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1");
    }
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
    up = up && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    if (!up) {
        why = std::string("cannot bring loopback up: ") + std::strerror(errno);
    }
    close(fd);
    return up;
}

}  // namespace support
