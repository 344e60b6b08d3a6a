// The relay: TCP clients on one port receive, once a second, the next datagram that arrived on a
// UDP port; whatever the clients send is written to standard error, which is the relay's log.
#pragma once

#include <netinet/in.h>

namespace relay {

constexpr int MaxSessions = 64;  // sessions live in slots 1..64; slot 0 is never used
constexpr int ChunkSize = 512;   // largest datagram relayed, largest client read per pass

// Ports are settings of the build; tests may set them before calling Init.
extern int TCPPort;  // 0 switches the relay off
extern int UDPPort;

extern int tcpsock;  // listening socket, non-blocking
extern int udpsock;  // datagram socket
extern sockaddr_in local_sin;
extern sockaddr_in sinx;

struct SessionSlot {
    int Number;           // the slot index, printed in the log lines
    int Handle;           // the connected socket
    sockaddr_in Address;  // the client's address, as accept wrote it
    int Active;           // 1 while the slot holds a session
};

extern SessionSlot Sockets[MaxSessions + 1];
extern int CurrentSockets;  // highest slot ever admitted; never lowered

// Opens both sockets and starts the start-up pass. 1 on success, 0 on failure (after one message
// on standard error, none when TCPPort is 0).
int Init();

// One polling pass: admit at most one client, relay at most one datagram, serve every session.
// Never waits; two passes never run at once.
void Poll();

int Socket_Accept(int listener);
int DataSocket_Read(SessionSlot& session, int sock);
int DataSocket_Disconnect(SessionSlot& session);

}  // namespace relay
