# A front door for newcomers; CMake holds the real build.
BUILD ?= build

.PHONY: all run test test-armhf armhf deb test-board test-asan test-tsan lint bench footprint clean

# Installs what debian/control lists for the given build profiles when this machine lacks some of
# it, saying what; otherwise installs nothing. A fresh Debian 12 needs only make to begin with.
SUDO := $(if $(filter 0,$(shell id -u)),,sudo)
APT := $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get -y -qq
define need
	@if ! lacking=$$(dpkg-checkbuilddeps -P '$(1)' 2>&1); then \
	    echo "make: installing what debian/control lists and this machine lacks: $$(echo "$$lacking" | sed 's/.*dependencies: //; s/.*not found$$/dpkg-dev and the rest of it/')"; \
	    $(APT) update && $(APT) build-dep -P '$(1)' ./; \
	fi
endef

all:
	$(call need,)
	cmake -S . -B $(BUILD)
	cmake --build $(BUILD) -j 2

run: all
	./$(BUILD)/nmea-relay

test: all
	ctest --test-dir $(BUILD) --output-on-failure

armhf:
	$(call need,pkg.nmea-relay.armhf)
	cmake -S . -B $(BUILD)-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
	cmake --build $(BUILD)-armhf -j 2

# The relay and every test built for 32-bit ARM hard-float and run under qemu-arm.
test-armhf: armhf
	ctest --test-dir $(BUILD)-armhf --output-on-failure

# Debian packages for amd64 (its build runs the tests) and armhf (cross-built; make test-armhf
# runs its tests), built by dpkg-buildpackage from a copy of the tree into $(BUILD)/deb/, then
# lintian on both. The armhf C library lets dpkg-shlibdeps work out the armhf package's dependency.
deb:
	$(call need,pkg.nmea-relay.deb)
	@dpkg -s libc6-dev:armhf >/dev/null 2>&1 || { \
	    echo "make: adding the armhf architecture and installing libc6-dev:armhf"; \
	    $(SUDO) dpkg --add-architecture armhf && $(APT) update && $(APT) install libc6-dev:armhf; }
	rm -rf $(BUILD)/deb && mkdir -p $(BUILD)/deb/src
	tar -c --exclude-vcs --exclude='./build*' --exclude='./$(BUILD)' . | tar -x -C $(BUILD)/deb/src
	cd $(BUILD)/deb/src && dpkg-buildpackage -b -us -uc
	cd $(BUILD)/deb/src && DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -b -us -uc -a armhf -Pcross,nocheck
	lintian --fail-on error,warning $(BUILD)/deb/*.changes

# The armhf package on an emulated board that boots Debian 12 under systemd: install, upgrade,
# removal, restarts and a client's view, checked on the board (as root; a few minutes).
test-board: deb
	$(call need,pkg.nmea-relay.board)
	tests/board_test.sh $(BUILD)/deb/nmea-relay_*_armhf.deb $(BUILD)/board

# The whole suite under AddressSanitizer with UndefinedBehaviorSanitizer, and under ThreadSanitizer.
# The end-to-end tests preload a small library into the relay, ahead of the sanitizer's runtime.
test-asan:
	$(call need,)
	cmake -S . -B $(BUILD)-asan -DCMAKE_BUILD_TYPE=Debug -DRELAY_SANITIZE=address,undefined
	cmake --build $(BUILD)-asan -j 2
	ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --test-dir $(BUILD)-asan --output-on-failure

test-tsan:
	$(call need,)
	cmake -S . -B $(BUILD)-tsan -DCMAKE_BUILD_TYPE=Debug -DRELAY_SANITIZE=thread
	cmake --build $(BUILD)-tsan -j 2
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir $(BUILD)-tsan --output-on-failure

# What a pass costs next to the bare sends it makes (Google Benchmark).
bench:
	$(call need,pkg.nmea-relay.bench)
	cmake -S . -B $(BUILD)
	cmake --build $(BUILD) --target relay_bench -j 2
	./$(BUILD)/relay_bench --benchmark_color=false --benchmark_min_time=0.5

# The real relay's CPU, memory and threads with 64 clients, from /proc (about two minutes).
footprint: all
	cmake --build $(BUILD) --target relay_footprint -j 2
	./$(BUILD)/relay_footprint $(BUILD)/nmea-relay $(BUILD)/relay_floor

# Static analysis of the relay's code, and the formatting of all of it.
lint:
	$(call need,pkg.nmea-relay.lint)
	cmake -S . -B $(BUILD) -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
	clang-tidy -p $(BUILD) --quiet src/*.cpp
	cppcheck --enable=all --suppress=missingIncludeSystem --std=c++17 --error-exitcode=1 --quiet -I src src/
	clang-format --dry-run --Werror src/*.cpp src/*.h tests/*.cpp tests/*.h

clean:
	rm -rf $(BUILD) $(BUILD)-armhf $(BUILD)-asan $(BUILD)-tsan
