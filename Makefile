# A front door for newcomers; CMake holds the real build.
BUILD ?= build

.PHONY: all run test test-armhf armhf test-arm64 arm64 deb test-board test-asan test-tsan lint bench footprint \
	dist test-dist clean

# Our own builds treat warnings as errors; a distribution's plain CMake build does not.
CMAKE := cmake -DRELAY_WERROR=ON
VERSION := ${shell sed -n 's/^project(nmea-relay VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt}

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
	$(CMAKE) -S . -B $(BUILD)
	cmake --build $(BUILD) -j 2

run: all
	./$(BUILD)/nmea-relay

test: all
	ctest --test-dir $(BUILD) --output-on-failure

# The relay and every test built for 32-bit (armhf) or 64-bit (arm64) ARM and run under qemu-user.
CROSS_armhf := arm-linux-gnueabihf
CROSS_arm64 := aarch64-linux-gnu
armhf arm64:
	$(call need,pkg.nmea-relay.$@)
	$(CMAKE) -S . -B $(BUILD)-$@ -DCMAKE_TOOLCHAIN_FILE=cmake/cross.cmake -DRELAY_CROSS=$(CROSS_$@)
	cmake --build $(BUILD)-$@ -j 2

test-armhf test-arm64: test-%: %
	ctest --test-dir $(BUILD)-$* --output-on-failure

# Debian packages for Debian 12 and 13, each for amd64, armhf and arm64, each release's built in a
# clean chroot of that release into $(BUILD)/deb/RELEASE/ (as root; the chroots are kept in
# $(BUILD)/chroot/ while what goes into them is unchanged).
RELEASES := bookworm trixie
deb:
	$(call need,pkg.nmea-relay.deb)
	for release in $(RELEASES); do tools/build_debs.sh $$release $(BUILD)/deb/$$release $(BUILD)/chroot || exit 1; done
	for release in $(RELEASES); do (cd $(BUILD)/deb/$$release && sha256sum *.deb >SHA256SUMS && cat SHA256SUMS) || exit 1; done

# Each package on an emulated board of its own release and architecture, booted under systemd:
# install, upgrade, removal, restarts, a client's view, the boat's network only (as root). The
# PCs (amd64) also install with port 10110 taken by another program. The last board is the 32-bit
# userland on a 64-bit kernel, as on a Raspberry Pi 4 or 5 with the 32-bit OS; it shares its root
# file system with the other Debian 12 armhf board. Two boards run at a time, the slowest to build
# first.
BOARDS := trixie:arm64:arm64 trixie:armhf:armmp-lpae bookworm:amd64:amd64:port-taken \
	bookworm:armhf:armmp-lpae trixie:amd64:amd64:port-taken bookworm:arm64:arm64 bookworm:armhf:arm64
# A board's root file system needs no package: the boards begin while make deb builds the packages.
test-board:
	$(call need,pkg.nmea-relay.board)
	mkdir -p $(BUILD)/deb && touch $(BUILD)/deb/building
	{ $(MAKE) --no-print-directory deb; made=$$?; rm -f $(BUILD)/deb/building; exit $$made; } & deb=$$!; \
	    tests/board_test.sh $(BUILD)/deb $(BUILD)/board $(BOARDS); boards=$$?; \
	    wait $$deb && [ $$boards = 0 ]

# The whole suite under AddressSanitizer with UndefinedBehaviorSanitizer, and under ThreadSanitizer.
# The end-to-end tests preload a small library into the relay, ahead of the sanitizer's runtime.
test-asan:
	$(call need,)
	$(CMAKE) -S . -B $(BUILD)-asan -DCMAKE_BUILD_TYPE=Debug -DRELAY_SANITIZE=address,undefined
	cmake --build $(BUILD)-asan -j 2
	ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --test-dir $(BUILD)-asan --output-on-failure

test-tsan:
	$(call need,)
	$(CMAKE) -S . -B $(BUILD)-tsan -DCMAKE_BUILD_TYPE=Debug -DRELAY_SANITIZE=thread
	cmake --build $(BUILD)-tsan -j 2
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir $(BUILD)-tsan --output-on-failure

# What a pass costs next to the bare sends it makes (Google Benchmark).
bench:
	$(call need,pkg.nmea-relay.bench)
	$(CMAKE) -S . -B $(BUILD)
	cmake --build $(BUILD) --target relay_bench -j 2
	./$(BUILD)/relay_bench --benchmark_color=false --benchmark_min_time=0.5

# The real relay's CPU, memory and threads with 64 clients, from /proc (about two minutes).
footprint: all
	cmake --build $(BUILD) --target relay_footprint -j 2
	./$(BUILD)/relay_footprint $(BUILD)/nmea-relay $(BUILD)/relay_floor

# Static analysis of the relay's code, and the formatting of all of it.
lint:
	$(call need,pkg.nmea-relay.lint)
	$(CMAKE) -S . -B $(BUILD) -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
	clang-tidy -p $(BUILD) --quiet src/*.cpp
	cppcheck --enable=all --suppress=missingIncludeSystem --std=c++17 --error-exitcode=1 --quiet -I src src/
	clang-format --dry-run --Werror src/*.cpp src/*.h tests/*.cpp tests/*.h

# The source tarball of the committed tree, the same bytes whenever it is made from one commit.
dist:
	mkdir -p $(BUILD)
	git archive --format=tar --prefix=nmea-relay-$(VERSION)/ HEAD | gzip -n -9 >$(BUILD)/nmea-relay-$(VERSION).tar.gz
	@echo "$(BUILD)/nmea-relay-$(VERSION).tar.gz"

# What a distribution does with the tarball: made twice, it must be the same; unpacked, a plain
# CMake build (no warnings as errors, the installed GoogleTest) runs every test, the install's
# among them.
test-dist:
	$(call need,pkg.nmea-relay.dist)
	$(MAKE) --no-print-directory dist
	mv $(BUILD)/nmea-relay-$(VERSION).tar.gz $(BUILD)/first.tar.gz
	$(MAKE) --no-print-directory dist
	cmp $(BUILD)/first.tar.gz $(BUILD)/nmea-relay-$(VERSION).tar.gz && rm $(BUILD)/first.tar.gz
	@echo "make dist: made twice, byte for byte the same"
	rm -rf $(BUILD)-dist && mkdir -p $(BUILD)-dist
	tar -xzf $(BUILD)/nmea-relay-$(VERSION).tar.gz -C $(BUILD)-dist
	cmake -S $(BUILD)-dist/nmea-relay-$(VERSION) -B $(BUILD)-dist/build -DRELAY_GOOGLETEST_SOURCE=
	cmake --build $(BUILD)-dist/build -j 2
	ctest --test-dir $(BUILD)-dist/build --output-on-failure

clean:
	rm -rf $(BUILD) $(BUILD)-armhf $(BUILD)-arm64 $(BUILD)-asan $(BUILD)-tsan $(BUILD)-dist
