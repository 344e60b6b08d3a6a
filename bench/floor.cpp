// The floor for the footprint figures: a program of glibc alone that wakes once a second and does
// nothing else, built the way the relay is.
#include <unistd.h>

int main()
{
    for (;;) {
        usleep(1000000);
    }
}
