// Preloaded into the relay by the end-to-end tests. It holds the relay twice, until the test lets
// it go: right after listen (so a client can be queued before the start-up pass) and at the main
// loop's first sleep (so anything seen meanwhile came from the start-up pass). The test's pipes
// stand at descriptors HoldTell and HoldWait.
#include <dlfcn.h>
#include <sys/socket.h>
#include <unistd.h>

#include "hold_shim.h"

namespace {

void Hold(char where)
{
    char go;
    if (write(HoldTell, &where, 1) == 1) {
        // A byte or end of file (the test is gone): either way the relay goes on.
        ssize_t ignored = read(HoldWait, &go, 1);
        static_cast<void>(ignored);
    }
}

}  // namespace

extern "C" int listen(int fd, int backlog)
{
    static auto real = reinterpret_cast<int (*)(int, int)>(dlsym(RTLD_NEXT, "listen"));
    int result = real(fd, backlog);
    Hold('L');
    return result;
}

extern "C" int usleep(useconds_t usec)
{
    static auto real = reinterpret_cast<int (*)(useconds_t)>(dlsym(RTLD_NEXT, "usleep"));
    static bool first = true;
    if (first) {
        first = false;
        Hold('S');
    }
    return real(usec);
}
