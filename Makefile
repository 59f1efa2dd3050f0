# Thin wrappers over CMake presets. `make test` works on a fresh Debian machine.
PRESET ?= release
BUILD := build/$(PRESET)
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60

.PHONY: all deps configure build run test bench fuzz asan tsan format clean
.PHONY: package install-service check-delivery bench-report demo

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake --preset $(PRESET) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# What the README's first steps use: the helper (tarno-mcp comes with it) and the example client.
WALKTHROUGH_TARGETS := tarno-assistant helper-client

# Serve mode for the current user: ~/.tarno must exist before the socket is bound.
run: configure
	@cmake --build $(BUILD) -j $(JOBS) --target $(WALKTHROUGH_TARGETS)
	@mkdir -p -m 0700 "$(HOME)/.tarno"
	@$(BUILD)/tools/tarno-assistant serve

# The page of tarno-headless on a copy of the sample library, with the helper behind its
# assistant; prints the page's address. Ctrl-C stops both.
PORT ?= 8080
DEMO_TARGETS := tarno-assistant tarno-mcp tarno-headless sample-library
demo: configure
	@cmake --build $(BUILD) -j $(JOBS) --target $(DEMO_TARGETS)
	@scripts/demo $(BUILD) $(PORT)

test: build
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

asan:
	@$(MAKE) --no-print-directory test PRESET=asan-ubsan

tsan:
	@$(MAKE) --no-print-directory test PRESET=tsan

bench: build
	@scripts/run-benchmarks $(BUILD)

fuzz: deps
	@cmake --preset fuzz >/dev/null
	@cmake --build build/fuzz -j $(JOBS)
	@scripts/run-fuzz build/fuzz $(FUZZ_SECONDS)

# Every figure of every benchmark with its baseline, ratio and goal, into BENCHMARKS.md.
bench-report: build
	@scripts/bench-report $(BUILD) BENCHMARKS.md

# A Debian package of everything `cmake --install` lays out, written to $(BUILD)/.
package: build
	@cmake --build $(BUILD) --target package

# Installs and starts the systemd user unit running this build's helper; where no systemd user
# instance runs it says so and changes nothing.
install-service: configure
	@cmake --build $(BUILD) -j $(JOBS) --target tarno-assistant
	@scripts/install-service $(BUILD)/tools

# What a user gets: a staged install used by a consumer both ways, the package unpacked and run,
# the man pages rendered.
check-delivery: build
	@tests/install/check-delivery $(BUILD)

# The helper under 10,000 mixed commands from 20 clients (fake-claude as its CLI); prints its
# figures and fails when memory, descriptors, threads or children do not come back.
.PHONY: soak
soak: configure
	@cmake --build $(BUILD) -j $(JOBS) --target soak
	@$(BUILD)/bench/soak

format:
	@git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

clean:
	@rm -rf build
