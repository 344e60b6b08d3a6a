# A front door for newcomers; CMake holds the real build.
BUILD ?= build

.PHONY: all run test clean

all:
	cmake -S . -B $(BUILD)
	cmake --build $(BUILD) -j 2

run: all
	./$(BUILD)/nmea-relay

test: all
	ctest --test-dir $(BUILD) --output-on-failure

clean:
	rm -rf $(BUILD)
