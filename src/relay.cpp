#include "relay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "portability.h"

#ifndef RELAY_TCP_PORT
#define RELAY_TCP_PORT 10110
#endif
#ifndef RELAY_UDP_PORT
#define RELAY_UDP_PORT 10110
#endif

namespace relay {

int TCPPort = RELAY_TCP_PORT;
int UDPPort = RELAY_UDP_PORT;

int tcpsock;
int udpsock;
sockaddr_in local_sin;
sockaddr_in sinx;

SessionSlot Sockets[MaxSessions + 1];
int CurrentSockets;

namespace {

// The start-up pass and the main loop's passes share the session table; one lock over the whole
// pass keeps them apart.
pthread_mutex_t PassLock = PTHREAD_MUTEX_INITIALIZER;

void FillAddress(sockaddr_in& sin, int port)
{
    std::memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_ANY);
    sin.sin_port = htons(static_cast<uint16_t>(port));  // only the low 16 bits are a port
}

// True when fd has something to read right now; a failed select is reported under `what`.
bool ReadyNow(int fd, const char* what)
{
    fd_set readset;
    FD_ZERO(&readset);
    FD_SET(fd, &readset);
    timeval timeout = {0, 0};
    int n = select(fd + 1, &readset, nullptr, nullptr, &timeout);
    if (n == -1) {
        perror(what);
        return false;
    }
    return n > 0 && FD_ISSET(fd, &readset);
}

// Stage 1: admit at most one waiting client.
void AcceptOne()
{
    if (ReadyNow(tcpsock, "listen select")) {
        Socket_Accept(tcpsock);
    }
}

// Stage 2: relay at most one datagram to every session. The send never waits and never raises
// SIGPIPE: a client that stopped reading or went away loses its session, not the others' datagram.
void RelayOne()
{
    if (!ReadyNow(udpsock, "udp poll select")) {
        return;
    }
    char datagram[ChunkSize] = {};
    ssize_t length = recv(udpsock, datagram, sizeof datagram, 0);  // longer datagrams are cut
    if (length == -1) {
        return;
    }
    for (int i = 1; i <= CurrentSockets; i++) {
        SessionSlot& session = Sockets[i];
        if (!session.Active) {
            continue;
        }
        ssize_t sent = send(session.Handle, datagram, static_cast<size_t>(length),
                            MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent != length) {
            DataSocket_Disconnect(session);
        }
    }
}

// Stage 3: end each session that shows urgent data, read one chunk from each that has some.
void ServeSessions()
{
    fd_set readset;
    fd_set writeset;
    fd_set exceptset;
    FD_ZERO(&readset);
    FD_ZERO(&writeset);
    FD_ZERO(&exceptset);
    int active = 0;
    int highest = 0;
    for (int i = 1; i <= MaxSessions; i++) {
        if (Sockets[i].Active) {
            FD_SET(Sockets[i].Handle, &readset);
            FD_SET(Sockets[i].Handle, &exceptset);
            active++;
            if (Sockets[i].Handle > highest) {
                highest = Sockets[i].Handle;
            }
        }
    }
    if (active == 0) {
        return;
    }
    timeval timeout = {0, 0};
    int n = select(highest + 1, &readset, &writeset, &exceptset, &timeout);
    if (n == -1) {
        perror("data select");
        return;
    }
    if (n == 0) {
        return;
    }
    for (int i = 1; i <= MaxSessions; i++) {
        SessionSlot& session = Sockets[i];
        if (!session.Active) {
            continue;
        }
        if (FD_ISSET(session.Handle, &exceptset)) {
            DataSocket_Disconnect(session);
        } else if (FD_ISSET(session.Handle, &readset)) {
            DataSocket_Read(session, session.Handle);
        }
    }
}

}  // namespace

int Init()
{
    if (TCPPort == 0) {
        return 0;
    }
    tcpsock = socket(AF_INET, SOCK_STREAM, 0);
    if (tcpsock == -1) {
        fprintf(stderr, "socket() failed error %d", errno);
        return 0;
    }
    // Lets a restart bind while the previous run's connections are still closing.
    int on = 1;
    setsockopt(tcpsock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // A connection that vanishes between select and accept must not stall the pass in accept.
    // Accepted sockets do not inherit the flag. On a fresh socket this cannot fail.
    fcntl(tcpsock, F_SETFL, fcntl(tcpsock, F_GETFL) | O_NONBLOCK);

    FillAddress(local_sin, TCPPort);
    if (bind(tcpsock, reinterpret_cast<sockaddr*>(&local_sin), sizeof local_sin) == -1) {
        fprintf(stderr, "bind(sock) failed Port %d Error %d", TCPPort, errno);
        close(tcpsock);
        return 0;
    }

    // A failed socket() shows up as the failed bind of the invalid descriptor below.
    udpsock = socket(AF_INET, SOCK_DGRAM, 0);
    FillAddress(sinx, UDPPort);
    if (bind(udpsock, reinterpret_cast<sockaddr*>(&sinx), sizeof sinx) != 0) {
        fprintf(stderr, "Bind Failed for UDP port %d - error code = %d\r\n", UDPPort, errno);
        return 0;
    }

    if (listen(tcpsock, 5) < 0) {
        fprintf(stderr, "listen(sock) failed Error %d", errno);
        return 0;
    }

    // One pass right away, so that nobody waits a second for the first one.
    _beginthread(Poll, 0, nullptr);
    return 1;
}

void Poll()
{
    pthread_mutex_lock(&PassLock);
    AcceptOne();
    RelayOne();
    ServeSessions();
    pthread_mutex_unlock(&PassLock);
}

int Socket_Accept(int listener)
{
    int slot = 1;
    while (slot <= MaxSessions && Sockets[slot].Active) {
        slot++;
    }
    if (slot > MaxSessions) {
        return 0;  // the client waits in the listen queue until a slot frees
    }
    SessionSlot& session = Sockets[slot];
    std::memset(&session, 0, sizeof session);

    socklen_t length = sizeof session.Address;
    int fd = accept(listener, reinterpret_cast<sockaddr*>(&session.Address), &length);
    if (fd == -1) {
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            printf("accept() failed Error %d\r", errno);
            fflush(stdout);
        }
        return 0;
    }
    if (fd >= FD_SETSIZE) {
        // select cannot watch it; taking it would write outside the descriptor sets.
        close(fd);
        return 0;
    }
    session.Handle = fd;
    session.Active = 1;
    session.Number = slot;
    if (CurrentSockets < slot) {
        CurrentSockets = slot;
    }
    const auto* octet = reinterpret_cast<const unsigned char*>(&session.Address.sin_addr);
    fprintf(stderr, "Connected Session %d from %d.%d.%d.%d\r\n", slot, octet[0], octet[1], octet[2],
            octet[3]);
    return 0;
}

int DataSocket_Read(SessionSlot& session, int sock)
{
    char text[ChunkSize] = {};
    ssize_t length = recv(sock, text, sizeof text, 0);
    if (length == -1 || length == 0) {
        DataSocket_Disconnect(session);
        return 0;
    }
    // The text ends at its first zero byte, if it has one.
    fwrite(text, 1, strnlen(text, static_cast<size_t>(length)), stderr);
    return 0;
}

int DataSocket_Disconnect(SessionSlot& session)
{
    close(session.Handle);
    session.Active = 0;
    fprintf(stderr, "Session %d Disconnected\r\n", session.Number);
    return 0;
}

}  // namespace relay
