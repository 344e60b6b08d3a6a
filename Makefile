# A front door for newcomers; CMake holds the real build.
BUILD ?= build

.PHONY: all run test test-armhf clean

all:
	cmake -S . -B $(BUILD)
	cmake --build $(BUILD) -j 2

run: all
	./$(BUILD)/nmea-relay

test: all
	ctest --test-dir $(BUILD) --output-on-failure

# The relay and every test built for 32-bit ARM hard-float and run under qemu-arm.
test-armhf:
	cmake -S . -B $(BUILD)-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
	cmake --build $(BUILD)-armhf -j 2
	ctest --test-dir $(BUILD)-armhf --output-on-failure

clean:
	rm -rf $(BUILD) $(BUILD)-armhf
