# A front door for newcomers; CMake holds the real build.
BUILD ?= build

.PHONY: all run test test-armhf armhf deb test-asan test-tsan lint bench footprint clean

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

# The whole suite under AddressSanitizer with UndefinedBehaviorSanitizer, and under ThreadSanitizer.
# The end-to-end tests preload a small library into the relay, ahead of the sanitizer's runtime.
test-asan:
	cmake -S . -B $(BUILD)-asan -DCMAKE_BUILD_TYPE=Debug -DRELAY_SANITIZE=address,undefined
	cmake --build $(BUILD)-asan -j 2
	ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --test-dir $(BUILD)-asan --output-on-failure

test-tsan:
	cmake -S . -B $(BUILD)-tsan -DCMAKE_BUILD_TYPE=Debug -DRELAY_SANITIZE=thread
	cmake --build $(BUILD)-tsan -j 2
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir $(BUILD)-tsan --output-on-failure

# What a pass costs next to the bare sends it makes (Google Benchmark).
bench: all
	cmake --build $(BUILD) --target relay_bench -j 2
	./$(BUILD)/relay_bench --benchmark_color=false --benchmark_min_time=0.5

# The real relay's CPU, memory and threads with 64 clients, from /proc (about two minutes).
footprint: all
	cmake --build $(BUILD) --target relay_footprint -j 2
	./$(BUILD)/relay_footprint $(BUILD)/nmea-relay $(BUILD)/relay_floor

# Static analysis of the relay's code, and the formatting of all of it.
lint:
	cmake -S . -B $(BUILD) -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
	clang-tidy -p $(BUILD) --quiet src/*.cpp
	cppcheck --enable=all --suppress=missingIncludeSystem --std=c++17 --error-exitcode=1 --quiet -I src src/
	clang-format --dry-run --Werror src/*.cpp src/*.h tests/*.cpp tests/*.h

clean:
	rm -rf $(BUILD) $(BUILD)-armhf $(BUILD)-asan $(BUILD)-tsan
