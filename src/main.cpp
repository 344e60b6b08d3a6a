#include "portability.h"
#include "relay.h"

int main(int /*argc*/, char** /*argv*/)
{
    if (!relay::Init()) {
        // A relay built with TCP port 0 is switched off, which is not a failure.
        return relay::TCPPort == 0 ? 0 : 1;
    }
    for (;;) {
        relay::Sleep(1000);
        relay::Poll();
    }
}
