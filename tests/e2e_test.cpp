// The real binary, each test in a network namespace of its own where port 10110 is free.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "hold_shim.h"
#include "support.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint16_t Port = 10110;

std::vector<std::string> Split(const std::string& list)
{
    std::vector<std::string> words;
    std::stringstream in(list);
    for (std::string word; std::getline(in, word, ' ');) {
        if (!word.empty()) {
            words.push_back(word);
        }
    }
    return words;
}

// One run of the relay binary, its standard output and error read through pipes.
class Relay {
public:
    explicit Relay(const std::string& binary = RELAY_BINARY, bool held = false)
    {
        int out[2], err[2], tell[2], wait[2];
        if (pipe(out) || pipe(err) || pipe(tell) || pipe(wait)) {
            throw std::runtime_error("pipe");
        }
        std::vector<std::string> args = Split(RELAY_EMULATOR);
        bool emulated = !args.empty();
        if (held && emulated) {
            args.insert(args.end(), {"-E", std::string("LD_PRELOAD=") + RELAY_HOLD_SHIM});
        }
        args.push_back(binary);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            dup2(err[1], 2);
            dup2(tell[1], HoldTell);
            dup2(wait[0], HoldWait);
            if (held && !emulated) {
                setenv("LD_PRELOAD", RELAY_HOLD_SHIM, 1);
            }
            std::vector<char*> argv;
            for (std::string& arg : args) {
                argv.push_back(arg.data());
            }
            argv.push_back(nullptr);
            for (int fd = 3; fd < 1024; fd++) {
                if (fd != HoldTell && fd != HoldWait) {
                    close(fd);
                }
            }
            execvp(argv[0], argv.data());
            _exit(127);
        }
        out_ = out[0];
        err_ = err[0];
        tell_ = tell[0];
        go_ = wait[1];
        for (int fd : {out[1], err[1], tell[1], wait[0]}) {
            close(fd);
        }
    }

    ~Relay()
    {
        Kill();
        for (int fd : {out_, err_, tell_, go_}) {
            close(fd);
        }
    }

    // Standard error so far, read until it holds `want` or the time-out passed.
    std::string ErrUntil(const std::string& want, int timeout_ms = 5000)
    {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (err_text_.find(want) == std::string::npos && Clock::now() < deadline) {
            err_text_ += support::ReadBytes(err_, 1, 50);
        }
        return err_text_;
    }

    // All of standard error, once the relay has ended.
    std::string ErrToEnd()
    {
        for (std::string more; !(more = support::ReadBytes(err_, 4096, 2000)).empty();) {
            err_text_ += more;
        }
        return err_text_;
    }

    // The exit status, or -1 if the relay still runs after the time-out.
    int Wait(int timeout_ms = 5000)
    {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!exited_ && Clock::now() < deadline) {
            int status;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            } else {
                usleep(10000);
            }
        }
        return exited_ ? status_ : -1;
    }

    std::string Out() { return support::ReadBytes(out_, 4096, 100); }

    void Kill()
    {
        if (!exited_) {
            kill(pid_, SIGKILL);
            Wait();
        }
    }

    // Where the preloaded shim holds the relay ('L' after listen, 'S' at the first sleep).
    char Held()
    {
        std::string where = support::ReadBytes(tell_, 1);
        return where.empty() ? '?' : where[0];
    }
    void Go() { ASSERT_EQ(write(go_, "g", 1), 1); }

private:
    pid_t pid_;
    int out_, err_, tell_, go_;
    std::string err_text_;
    bool exited_ = false;
    int status_ = -1;
};

// Connects to the relay's port once it listens.
int ConnectWhenListening()
{
    auto deadline = Clock::now() + std::chrono::seconds(5);
    for (;;) {
        try {
            return support::Connect(Port);
        } catch (const std::runtime_error&) {
            if (Clock::now() > deadline) {
                throw;
            }
            usleep(10000);
        }
    }
}

// A socket of the given type bound to the relay's port on every address.
int TakePort(int type)
{
    int fd = socket(AF_INET, type, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(Port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
        throw std::runtime_error("cannot take the relay's port");
    }
    return fd;
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        if (!support::EnterPrivateNetwork(why)) {
            if (std::getenv("RELAY_REQUIRE_NETNS")) {
                FAIL() << why;
            }
            GTEST_SKIP() << why;
        }
    }
};

TEST_F(EndToEnd, TakenTcpPortEndsStartUpWithItsMessage)
{
    int holder = TakePort(SOCK_STREAM);
    ASSERT_EQ(listen(holder, 1), 0);
    Relay relay;
    EXPECT_EQ(relay.Wait(), 1);
    EXPECT_EQ(relay.ErrToEnd(), "bind(sock) failed Port 10110 Error 98");
    close(holder);
}

TEST_F(EndToEnd, TakenUdpPortEndsStartUpWithItsMessage)
{
    int holder = TakePort(SOCK_DGRAM);
    Relay relay;
    EXPECT_EQ(relay.Wait(), 1);
    EXPECT_EQ(relay.ErrToEnd(), "Bind Failed for UDP port 10110 - error code = 98\r\n");
    close(holder);
}

TEST_F(EndToEnd, SwitchedOffBuildExitsAtOnceSayingNothing)
{
    Relay relay(RELAY_OFF_BINARY);
    EXPECT_EQ(relay.Wait(), 0);
    EXPECT_EQ(relay.ErrToEnd() + relay.Out(), "");
}

TEST_F(EndToEnd, RestartBindsWhileEarlierConnectionsAreClosing)
{
    const std::string connected = "Connected Session 1 from 127.0.0.1\r\n";
    auto first = std::make_unique<Relay>();
    int old_client = ConnectWhenListening();
    ASSERT_EQ(first->ErrUntil(connected), connected);
    first.reset();  // killed: its end of the connection is left closing

    Relay second;
    int client = ConnectWhenListening();
    EXPECT_EQ(second.ErrUntil(connected), connected);
    EXPECT_EQ(second.Wait(0), -1) << "the restarted relay is still running";
    close(client);
    close(old_client);
}

TEST_F(EndToEnd, DatagramsLeaveOnePerSecondInOrderAndClientTextIsLogged)
{
    const std::string connected = "Connected Session 1 from 127.0.0.1\r\n";
    Relay relay;
    int client = ConnectWhenListening();
    ASSERT_EQ(relay.ErrUntil(connected), connected);

    support::SendDatagram(Port, "$GPGGA,1*00\r\n");
    support::SendDatagram(Port, "$GPGGA,2*00\r\n");
    std::string first = support::ReadBytes(client, 13);
    auto first_at = Clock::now();
    std::string second = support::ReadBytes(client, 13);
    auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - first_at);
    EXPECT_EQ(first + second, "$GPGGA,1*00\r\n$GPGGA,2*00\r\n");
    EXPECT_GE(gap.count(), 500) << "both datagrams left in the same pass";
    EXPECT_LE(gap.count(), 2000);

    const std::string logged = connected + "100% fine\r\n";
    send(client, "100% fine\r\n", 11, 0);
    EXPECT_EQ(relay.ErrUntil(logged), logged);
    close(client);
    EXPECT_EQ(relay.ErrUntil(logged + "Session 1 Disconnected\r\n"),
              logged + "Session 1 Disconnected\r\n");
}

TEST_F(EndToEnd, StartUpPassAdmitsAClientBeforeTheMainLoopRuns)
{
    Relay relay(RELAY_BINARY, true);
    ASSERT_EQ(relay.Held(), 'L');
    int client = support::Connect(Port);  // queued before any pass
    relay.Go();
    ASSERT_EQ(relay.Held(), 'S');  // the main loop now waits at its first sleep until told
    const std::string connected = "Connected Session 1 from 127.0.0.1\r\n";
    EXPECT_EQ(relay.ErrUntil(connected), connected);

    relay.Go();
    support::SendDatagram(Port, "$GPZDA*00\r\n");
    EXPECT_EQ(support::ReadBytes(client, 11), "$GPZDA*00\r\n");
    close(client);
}

}  // namespace
