# Cross build for a Debian ARM target with glibc, named by its GNU triplet in RELAY_CROSS:
# arm-linux-gnueabihf (armhf: 32-bit, hard-float ABI) or aarch64-linux-gnu (arm64), with Debian's
# g++-<triplet>. Programs built here run on this machine under qemu-user.
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/cross.cmake -DRELAY_CROSS=arm-linux-gnueabihf
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES RELAY_CROSS)
if(RELAY_CROSS MATCHES "^arm-")
    set(CMAKE_SYSTEM_PROCESSOR arm)
elseif(RELAY_CROSS MATCHES "^aarch64-")
    set(CMAKE_SYSTEM_PROCESSOR aarch64)
else()
    message(FATAL_ERROR "RELAY_CROSS: arm-linux-gnueabihf or aarch64-linux-gnu, not '${RELAY_CROSS}'")
endif()
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${RELAY_CROSS}-gcc)
set(CMAKE_CXX_COMPILER ${RELAY_CROSS}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${RELAY_CROSS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No binfmt_misc here: every ARM program is started through the emulator, with the target's
# libraries as its root. The library path keeps the loader off the host's ld.so.cache, which on a
# machine with multiarch libraries of the target installed names libraries of another version than
# this loader's, and the programs would crash.
set(CMAKE_CROSSCOMPILING_EMULATOR
    qemu-${CMAKE_SYSTEM_PROCESSOR} -L /usr/${RELAY_CROSS} -E LD_LIBRARY_PATH=/usr/${RELAY_CROSS}/lib)
