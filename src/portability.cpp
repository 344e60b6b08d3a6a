#include "portability.h"

#include <pthread.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>

namespace relay {

int Sleep(int milliseconds)
{
    usleep(static_cast<useconds_t>(milliseconds * 1000));
    return 0;
}

namespace {

void* RunRoutine(void* routine)
{
    reinterpret_cast<void (*)()>(routine)();
    return nullptr;
}

}  // namespace

unsigned long _beginthread(void (*routine)(), int /*stack_size*/, void* /*arg*/)
{
    pthread_t thread;
    int rc = pthread_create(&thread, nullptr, RunRoutine, reinterpret_cast<void*>(routine));
    if (rc != 0) {
        // pthread_create returns its error rather than setting errno; perror reads errno.
        errno = rc;
        perror("New Thread");
        return 0;
    }
    pthread_detach(thread);
    return static_cast<unsigned long>(thread);
}

}  // namespace relay
