// The relay in-process: Init for real, then passes driven by the test one at a time against real
// loopback clients, with standard error captured.
#pragma once

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "relay.h"
#include "relay_start.h"
#include "support.h"

namespace relay_test {

inline std::string Connected(int session, const std::string& from = "127.0.0.1")
{
    return "Connected Session " + std::to_string(session) + " from " + from + "\r\n";
}

inline std::string Disconnected(int session)
{
    return "Session " + std::to_string(session) + " Disconnected\r\n";
}

class RelayTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        relay::TCPPort = support::FreePort(SOCK_STREAM);
        relay::UDPPort = support::FreePort(SOCK_DGRAM);
        ASSERT_EQ(InitAndAwaitStartUpPass(), 1) << log.All();
    }

    void TearDown() override
    {
        for (int fd : clients) {
            close(fd);
        }
        for (const relay::SessionSlot& slot : relay::Sockets) {
            if (slot.Active) {
                close(slot.Handle);
            }
        }
        std::memset(relay::Sockets, 0, sizeof relay::Sockets);
        relay::CurrentSockets = 0;
        close(relay::tcpsock);
        close(relay::udpsock);
    }

    int Client(const char* from = "127.0.0.1", int rcvbuf = 0)
    {
        int fd = support::Connect(static_cast<uint16_t>(relay::TCPPort), from, rcvbuf);
        clients.push_back(fd);
        return fd;
    }

    // Connects a client and runs the pass that admits it.
    int Admit(const char* from = "127.0.0.1")
    {
        int fd = Client(from);
        PollWhen(relay::tcpsock);
        return fd;
    }

    void Close(int fd, bool reset = false)
    {
        clients.erase(std::find(clients.begin(), clients.end(), fd));
        reset ? support::Reset(fd) : static_cast<void>(close(fd));
    }

    // Runs one pass as soon as fd has what the pass is to find there.
    void PollWhen(int fd, short events = POLLIN)
    {
        ASSERT_TRUE(support::WaitFor(fd, events)) << "nothing arrived for the pass";
        relay::Poll();
    }

    void Datagram(const std::string& bytes)
    {
        support::SendDatagram(static_cast<uint16_t>(relay::UDPPort), bytes);
        PollWhen(relay::udpsock);
    }

    // Runs one pass once session has at least n bytes waiting.
    void PollWhenQueued(int session, int n)
    {
        int queued = 0;
        for (int i = 0; i < 500 && queued < n; i++) {
            ioctl(relay::Sockets[session].Handle, FIONREAD, &queued);
            std::this_thread::sleep_for(std::chrono::milliseconds(queued < n ? 10 : 0));
        }
        ASSERT_GE(queued, n);
        relay::Poll();
    }

    support::Capture log{2};
    std::vector<int> clients;
};

}  // namespace relay_test
