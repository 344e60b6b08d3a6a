# A front door for newcomers; CMake holds the real build.
BUILD ?= build

.PHONY: all run test test-armhf armhf deb clean

all:
	cmake -S . -B $(BUILD)
	cmake --build $(BUILD) -j 2

run: all
	./$(BUILD)/nmea-relay

test: all
	ctest --test-dir $(BUILD) --output-on-failure

armhf:
	cmake -S . -B $(BUILD)-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
	cmake --build $(BUILD)-armhf -j 2

# The relay and every test built for 32-bit ARM hard-float and run under qemu-arm.
test-armhf: armhf
	ctest --test-dir $(BUILD)-armhf --output-on-failure

# Debian packages for amd64 and armhf, then a check of what each one installs.
deb: all armhf
	cd $(BUILD) && cpack
	cd $(BUILD)-armhf && cpack
	tests/package_test.sh $(BUILD)/nmea-relay_*_amd64.deb $(BUILD)-armhf/nmea-relay_*_armhf.deb

clean:
	rm -rf $(BUILD) $(BUILD)-armhf
