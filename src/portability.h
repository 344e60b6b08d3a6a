// Windows-style names for a millisecond wait and for starting a thread, built on POSIX.
#pragma once

namespace relay {

int Sleep(int milliseconds);

// Starts routine on a new detached thread and returns the thread's identifier. The stack size is
// ignored (the platform's default serves), and so is arg: routine takes no argument.
unsigned long _beginthread(void (*routine)(), int stack_size, void* arg);

}  // namespace relay
