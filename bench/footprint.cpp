// The real relay's footprint as a board carries it: started in a private network namespace with 64
// clients admitted, measured from /proc while idle and while relaying one 82-byte sentence a second
// for 30 seconds; and a check that every client got every sentence whole and in order. The floor,
// a program of glibc alone that only wakes once a second, is measured in the same run beside it.
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support.h"

namespace {

constexpr uint16_t Port = 10110;
constexpr int Clients = 64;
constexpr int Sentences = 30;
constexpr int IdleSeconds = 10;

pid_t Start(const char* program, int stderr_to)
{
    pid_t pid = fork();
    if (pid == 0) {
        dup2(stderr_to, 2);
        execl(program, program, nullptr);
        _exit(127);
    }
    return pid;
}

// CPU time of all the process's threads so far, in nanoseconds.
long long CpuNanoseconds(pid_t pid)
{
    long long total = 0;
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') {
            long long ns = 0;
            std::ifstream(tasks + "/" + entry->d_name + "/schedstat") >> ns;
            total += ns;
        }
    }
    closedir(dir);
    return total;
}

long StatusField(pid_t pid, const std::string& field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::stol(line.substr(field.size() + 1));
        }
    }
    return -1;
}

std::set<std::string> SharedLibraries(pid_t pid)
{
    std::set<std::string> libraries;
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    for (std::string line; std::getline(maps, line);) {
        size_t path = line.find('/');
        if (path != std::string::npos && line.find(".so", path) != std::string::npos) {
            libraries.insert(line.substr(path));
        }
    }
    return libraries;
}

// An 82-byte sentence, line end included, numbered and with its checksum.
std::string Sentence(int number)
{
    char body[80];
    std::snprintf(body, sizeof body, "GPTXT,01,01,02,footprint sentence %04d", number);
    std::string text = body;
    text.resize(76, '.');
    unsigned char sum = 0;
    for (char c : text) {
        sum ^= static_cast<unsigned char>(c);
    }
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
    return "$" + text + tail;
}

void Report(const char* what, double value, const char* unit, double target)
{
    std::printf("%-44s %10.2f %-4s (target %6.1f: %s)\n", what, value, unit, target,
                value <= target ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: relay_footprint RELAY FLOOR\n");
        return 2;
    }
    const char* relay_binary = argv[1];
    std::string why;
    if (!support::EnterPrivateNetwork(why)) {
        std::fprintf(stderr, "footprint: %s\n", why.c_str());
        return 1;
    }
    int log[2];
    if (pipe(log) != 0) {
        return 1;
    }
    pid_t relay = Start(relay_binary, log[1]);
    close(log[1]);
    pid_t floor = Start(argv[2], 2);

    std::printf("admitting %d clients, one a second...\n", Clients);
    std::fflush(stdout);
    std::vector<int> clients;
    std::string logged;
    for (int n = 1; n <= Clients; n++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(n == 1 ? 200 : 0));
        clients.push_back(support::Connect(Port));
        std::string line = "Connected Session " + std::to_string(n) + " from";
        while (logged.find(line) == std::string::npos) {
            std::string more = support::ReadBytes(log[0], 1, 5000);
            if (more.empty()) {
                std::fprintf(stderr, "footprint: session %d never came; log:\n%s\n", n, logged.c_str());
                kill(relay, SIGKILL);
                return 1;
            }
            logged += more;
        }
    }

    long long idle_start = CpuNanoseconds(relay);
    long long floor_start = CpuNanoseconds(floor);
    std::this_thread::sleep_for(std::chrono::seconds(IdleSeconds));
    double idle_per_second = (CpuNanoseconds(relay) - idle_start) / 1e3 / IdleSeconds;
    double floor_per_second = (CpuNanoseconds(floor) - floor_start) / 1e3 / IdleSeconds;

    std::string sent;
    auto begin = std::chrono::steady_clock::now();
    long long busy_start = CpuNanoseconds(relay);
    for (int i = 0; i < Sentences; i++) {
        sent += Sentence(i);
        support::SendDatagram(Port, Sentence(i));
        std::this_thread::sleep_until(begin + std::chrono::seconds(i + 1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the last one leaves
    double busy_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    double busy = (CpuNanoseconds(relay) - busy_start) / 1e3;
    double per_datagram = (busy - idle_per_second * busy_seconds) / Sentences;

    int whole = 0;
    for (int fd : clients) {
        whole += support::ReadBytes(fd, sent.size(), 2000) == sent;
    }
    long rss = StatusField(relay, "VmRSS");
    long anonymous = StatusField(relay, "RssAnon");
    long threads = StatusField(relay, "Threads");
    std::set<std::string> libraries = SharedLibraries(relay);
    long floor_rss = StatusField(floor, "VmRSS");
    kill(floor, SIGKILL);
    kill(relay, SIGKILL);
    waitpid(floor, nullptr, 0);
    waitpid(relay, nullptr, 0);

    std::printf("\nrelay %s, %d clients\n", relay_binary, Clients);
    Report("CPU while idle, per second", idle_per_second, "us", 50);
    std::printf("%-44s %10.1f us\n", "  floor: a bare wake-up once a second", floor_per_second);
    Report("CPU per relayed 82-byte datagram", per_datagram, "us", 500);
    Report("resident memory", rss / 1024.0, "MiB", 1.5);
    std::printf("%-44s %10.2f MiB\n", "  of it private (anonymous)", anonymous / 1024.0);
    std::printf("%-44s %10.2f MiB\n", "  floor: a program of glibc alone", floor_rss / 1024.0);
    Report("threads after the start-up pass", static_cast<double>(threads), "", 1);
    std::printf("shared libraries mapped:\n");
    for (const std::string& library : libraries) {
        std::printf("  %s\n", library.c_str());
    }
    std::printf("clients that got all %d sentences whole and in order: %d of %d\n", Sentences,
                whole, Clients);
    return whole == Clients ? 0 : 1;
}
