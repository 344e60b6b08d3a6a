// The relay in-process: sessions, client text, datagrams, and the faults a relay left running for
// months meets.
#include <sys/resource.h>

#include "relay_fixture.h"

namespace {

using namespace relay_test;

TEST_F(RelayTest, SessionsTakeTheLowestFreeSlotAndAreLogged)
{
    int first = Admit();
    Admit("127.1.2.3");
    EXPECT_EQ(log.New(), Connected(1) + Connected(2, "127.1.2.3"));

    Close(first);
    PollWhen(relay::Sockets[1].Handle);
    EXPECT_EQ(log.New(), Disconnected(1));
    EXPECT_FALSE(relay::Sockets[1].Active);

    Admit("127.0.0.9");
    EXPECT_EQ(log.New(), Connected(1, "127.0.0.9"));
    EXPECT_EQ(relay::Sockets[1].Number, 1);
    EXPECT_EQ(relay::CurrentSockets, 2);

    int third = Admit();
    EXPECT_EQ(log.New(), Connected(3));
    Close(third);
    PollWhen(relay::Sockets[3].Handle);
    EXPECT_EQ(log.New(), Disconnected(3));
    EXPECT_EQ(relay::CurrentSockets, 3) << "the highest slot ever used is never lowered";
}

TEST_F(RelayTest, SixtyFifthClientWaitsUntilASlotFrees)
{
    std::vector<int> admitted;
    for (int i = 1; i <= relay::MaxSessions; i++) {
        admitted.push_back(Admit());
    }
    log.New();
    int waiting = Client();
    PollWhen(relay::tcpsock);
    EXPECT_EQ(log.New(), "");
    EXPECT_EQ(relay::CurrentSockets, relay::MaxSessions);

    Close(admitted[9]);
    PollWhen(relay::Sockets[10].Handle);
    EXPECT_EQ(log.New(), Disconnected(10));
    relay::Poll();
    EXPECT_EQ(log.New(), Connected(10));
    Datagram("$GPGLL*00\r\n");
    EXPECT_EQ(support::ReadBytes(waiting, 11), "$GPGLL*00\r\n");
}

TEST_F(RelayTest, AcceptWithNothingPendingNeitherBlocksNorReports)
{
    support::Capture out{1};
    relay::Socket_Accept(relay::tcpsock);
    EXPECT_EQ(out.All() + log.All(), "");
    EXPECT_FALSE(relay::Sockets[1].Active);
    EXPECT_EQ(relay::CurrentSockets, 0);
}

TEST_F(RelayTest, AcceptFailureIsReportedOnStandardOutputAndTheClientWaits)
{
    Client();
    ASSERT_TRUE(support::WaitFor(relay::tcpsock, POLLIN));
    std::string printed;
    {
        support::Capture out{1};
        rlimit saved;
        getrlimit(RLIMIT_NOFILE, &saved);
        int next = dup(0);  // the lowest free descriptor: the limit that makes accept fail
        close(next);
        rlimit tight = {static_cast<rlim_t>(next), saved.rlim_max};
        setrlimit(RLIMIT_NOFILE, &tight);
        relay::Poll();
        setrlimit(RLIMIT_NOFILE, &saved);
        printed = out.All();
    }
    EXPECT_EQ(printed, "accept() failed Error 24\r");
    EXPECT_EQ(log.New(), "");
    EXPECT_FALSE(relay::Sockets[1].Active);
    relay::Poll();
    EXPECT_EQ(log.New(), Connected(1));
}

TEST_F(RelayTest, DescriptorTooLargeForSelectIsNotAdmitted)
{
    int client = Client();
    std::vector<int> fillers;
    int fd;
    while ((fd = dup(0)) < FD_SETSIZE - 1) {
        fillers.push_back(fd);
    }
    fillers.push_back(fd);
    PollWhen(relay::tcpsock);  // accept hands out descriptor FD_SETSIZE
    for (int filler : fillers) {
        close(filler);
    }
    EXPECT_EQ(log.New(), "");
    EXPECT_EQ(relay::CurrentSockets, 0);
    EXPECT_EQ(support::ReadBytes(client, 1), "") << "the refused client is closed";
    Admit();
    EXPECT_EQ(log.New(), Connected(1));
}

TEST_F(RelayTest, ClientTextIsWrittenUnchangedOneChunkPerPass)
{
    int client = Admit();
    log.New();
    const std::string format = "%s%d%n 100% \\r\r\n";
    send(client, format.data(), format.size(), 0);
    PollWhenQueued(1, static_cast<int>(format.size()));
    EXPECT_EQ(log.New(), format);

    std::string burst;
    for (int i = 0; i < 1000; i++) {
        burst += static_cast<char>('A' + i % 26);
    }
    send(client, burst.data(), burst.size(), 0);
    PollWhenQueued(1, 1000);
    EXPECT_EQ(log.New(), burst.substr(0, 512));
    relay::Poll();
    EXPECT_EQ(log.New(), burst.substr(512));

    send(client, "abc\0def", 7, 0);
    PollWhenQueued(1, 7);
    EXPECT_EQ(log.New(), "abc") << "the text ends at the first zero byte";
}

TEST_F(RelayTest, DatagramsReachEverySessionByteForByte)
{
    Datagram("nobody hears this");
    EXPECT_EQ(log.New(), "");
    int a = Admit();
    int b = Admit();

    const std::string binary("$GP\0GGA,\x01\xff\r\n", 13);
    Datagram(binary);
    std::string long_one(600, 'x');
    for (size_t i = 0; i < long_one.size(); i++) {
        long_one[i] = static_cast<char>('0' + i % 10);
    }
    Datagram(long_one);
    Datagram("");
    Datagram("last");
    const std::string expected = binary + long_one.substr(0, 512) + "last";
    EXPECT_EQ(support::ReadBytes(a, expected.size()), expected);
    EXPECT_EQ(support::ReadBytes(b, expected.size()), expected);
    EXPECT_EQ(support::Drain(a) + support::Drain(b), "");
}

TEST_F(RelayTest, ClientAdmittedInAPassGetsThatPassDatagram)
{
    int client = Client();
    support::SendDatagram(static_cast<uint16_t>(relay::UDPPort), "$GPRMC*00\r\n");
    ASSERT_TRUE(support::WaitFor(relay::udpsock, POLLIN));
    PollWhen(relay::tcpsock);
    EXPECT_EQ(log.New(), Connected(1));
    EXPECT_EQ(support::ReadBytes(client, 11), "$GPRMC*00\r\n");
}

TEST_F(RelayTest, UrgentDataEndsTheSessionOnceAndDropsTheTextBeforeIt)
{
    int client = Admit();
    log.New();
    send(client, "abc", 3, 0);
    send(client, "!", 1, MSG_OOB);
    PollWhen(relay::Sockets[1].Handle, POLLPRI);
    relay::Poll();
    EXPECT_EQ(log.New(), Disconnected(1));
    EXPECT_FALSE(relay::Sockets[1].Active);
}

TEST_F(RelayTest, ResetOrBrokenClientEndsOnlyItsOwnSession)
{
    int reset = Admit();
    Admit();
    int healthy = Admit();
    log.New();
    Close(reset, true);
    // A broken pipe on a send would raise SIGPIPE and end this very process.
    shutdown(relay::Sockets[2].Handle, SHUT_WR);
    Datagram("$GPVTG*00\r\n");
    EXPECT_EQ(log.New(), Disconnected(1) + Disconnected(2));
    EXPECT_EQ(support::ReadBytes(healthy, 11), "$GPVTG*00\r\n");
    EXPECT_TRUE(relay::Sockets[3].Active);
}

TEST_F(RelayTest, StalledClientIsEndedWhileTheOthersReceiveEverything)
{
    int stalled = Client("127.0.0.1", 2048);
    PollWhen(relay::tcpsock);
    int reader = Admit();
    int small = 4096;
    setsockopt(relay::Sockets[1].Handle, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    log.New();

    std::string sent;
    std::string read;
    size_t whole = 0;  // what was relayed before the pass that ended the stalled session
    for (int i = 0; i < 1000 && relay::Sockets[1].Active; i++) {
        std::string datagram(500, static_cast<char>('a' + i % 26));
        datagram += std::to_string(i);
        whole = sent.size();
        sent += datagram;
        Datagram(datagram);
        read += support::ReadBytes(reader, sent.size() - read.size());
    }
    ASSERT_FALSE(relay::Sockets[1].Active) << "the stalled session was never ended";
    EXPECT_EQ(log.New(), Disconnected(1));
    EXPECT_EQ(read, sent);
    std::string got = support::ReadBytes(stalled, sent.size(), 500);
    EXPECT_EQ(got, sent.substr(0, got.size()));
    EXPECT_GE(got.size(), whole) << "a datagram was torn and the session went on";
}

TEST(RelayStartUp, PortsUseTheirLow16BitsAndPortZeroSwitchesOff)
{
    support::Capture log{2};
    relay::TCPPort = 0;
    EXPECT_EQ(relay::Init(), 0);
    EXPECT_EQ(log.All(), "");

    uint16_t port = support::FreePort(SOCK_STREAM);
    relay::TCPPort = 65536 + port;
    relay::UDPPort = 65536 + support::FreePort(SOCK_DGRAM);
    ASSERT_EQ(InitAndAwaitStartUpPass(), 1) << log.All();
    int client = support::Connect(port);
    close(client);
    close(relay::tcpsock);
    close(relay::udpsock);
}

}  // namespace

namespace {

TEST(RelayStartUpDeathTest, StartUpWithoutTheEarlyPassStillSucceedsAndSaysWhy)
{
    relay::TCPPort = support::FreePort(SOCK_STREAM);
    relay::UDPPort = support::FreePort(SOCK_DGRAM);
    auto start_without_threads = [] {
        // Without privileges and with no processes allowed, no thread can be created.
        if (geteuid() == 0 && setresuid(65534, 65534, 65534) != 0) {
            _exit(2);
        }
        rlimit none = {0, 0};
        setrlimit(RLIMIT_NPROC, &none);
        _exit(relay::Init() == 1 ? 0 : 1);
    };
    EXPECT_EXIT(start_without_threads(), ::testing::ExitedWithCode(0),
                "^New Thread: Resource temporarily unavailable\n$");
}

}  // namespace
