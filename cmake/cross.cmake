# Cross build for 32-bit ARM, hard-float ABI, glibc: Debian's g++-arm-linux-gnueabihf.
# Programs built here run on this machine under qemu-arm (Debian's qemu-user).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No binfmt_misc here: every ARM program is started through the emulator, with the target's
# libraries as its root. The library path keeps the loader off the host's ld.so.cache, which on a
# machine set up to cross-build Debian packages names multiarch armhf libraries of another
# version than this loader's, and the programs would crash.
set(CMAKE_CROSSCOMPILING_EMULATOR
    qemu-arm -L /usr/arm-linux-gnueabihf -E LD_LIBRARY_PATH=/usr/arm-linux-gnueabihf/lib)
