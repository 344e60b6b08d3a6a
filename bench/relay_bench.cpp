// What one polling pass costs, next to its floor: the same sends, on the same sockets, in a bare
// loop. The relay runs in-process on loopback; its clients are drained outside the timed part.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "relay.h"
#include "relay_start.h"
#include "support.h"

namespace {

std::vector<int> clients;  // clients[i] holds session i + 1
const std::string datagram(relay::ChunkSize, 'N');

void Drain()
{
    for (int fd : clients) {
        support::Drain(fd);
    }
}

// Admits or ends clients until exactly n sessions, 1 to n, are connected.
void Sessions(size_t n)
{
    while (clients.size() < n) {
        clients.push_back(support::Connect(static_cast<uint16_t>(relay::TCPPort)));
        support::WaitFor(relay::tcpsock, POLLIN);
        relay::Poll();
    }
    while (clients.size() > n) {
        close(clients.back());
        clients.pop_back();
        support::WaitFor(relay::Sockets[clients.size() + 1].Handle, POLLIN);
        relay::Poll();
    }
}

void Pass(benchmark::State& state)
{
    Sessions(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        Drain();
        support::SendDatagram(static_cast<uint16_t>(relay::UDPPort), datagram);
        support::WaitFor(relay::udpsock, POLLIN);
        state.ResumeTiming();
        relay::Poll();
    }
}

void BareSends(benchmark::State& state)
{
    Sessions(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        Drain();
        state.ResumeTiming();
        for (size_t slot = 1; slot <= clients.size(); slot++) {
            send(relay::Sockets[slot].Handle, datagram.data(), datagram.size(),
                 MSG_DONTWAIT | MSG_NOSIGNAL);
        }
    }
}

void IdlePass(benchmark::State& state)
{
    Sessions(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        relay::Poll();
    }
}

BENCHMARK(Pass)->Arg(1)->Arg(8)->Arg(64)->Unit(benchmark::kMicrosecond);
BENCHMARK(BareSends)->Arg(1)->Arg(8)->Arg(64)->Unit(benchmark::kMicrosecond);
BENCHMARK(IdlePass)->Arg(64)->Unit(benchmark::kMicrosecond);

// Keeps each run's time per iteration, in microseconds, for the ratios printed at the end.
class Recorder : public benchmark::ConsoleReporter {
public:
    Recorder() : ConsoleReporter(OO_Tabular) {}  // plain text, for logs
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            micros[run.benchmark_name()] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> micros;
};

}  // namespace

int main(int argc, char** argv)
{
    relay::TCPPort = support::FreePort(SOCK_STREAM);
    relay::UDPPort = support::FreePort(SOCK_DGRAM);
    support::Capture log(2);  // the relay's log, kept out of the figures
    if (relay_test::InitAndAwaitStartUpPass() != 1) {
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    Recorder recorder;
    benchmark::RunSpecifiedBenchmarks(&recorder);
    std::printf("\npass / bare sends (target at 64 sessions: 1.5 or less)\n");
    for (const char* n : {"1", "8", "64"}) {
        double pass = recorder.micros[std::string("Pass/") + n];
        double bare = recorder.micros[std::string("BareSends/") + n];
        std::printf("  %2s sessions: %8.2f us / %8.2f us = %.2f\n", n, pass, bare, pass / bare);
    }
    std::printf("idle pass, 64 sessions: %.2f us (target: 50 us or less)\n",
                recorder.micros["IdlePass/64"]);
    benchmark::Shutdown();
    return 0;
}
