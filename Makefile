# Convenience targets over CMake and CTest.
#   make run   installs what is missing, builds and starts the server on port 3333 serving ./www
#   make test  installs what is missing, builds and runs every test
#   make bench-deps  installs the peers the benchmark scripts in bench/ run beside the server

BUILD ?= build
JOBS  ?= $(shell nproc)
PORT  ?= 3333
PACKAGES = g++ cmake make python3 psmisc uuid-dev libutfcpp-dev libgtest-dev libbenchmark-dev openssl gnutls-bin
BENCH_PACKAGES = m4 nginx wrk curl bc
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: deps bench-deps build run test clean

deps:
	@missing=""; for p in $(PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi

bench-deps:
	@$(MAKE) --no-print-directory deps PACKAGES="$(BENCH_PACKAGES)"

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

run: build
	./$(BUILD)/vekserver -p $(PORT) -d www

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD)

# Peers the benchmarks in bench/ compare against; the tests do not need them.
BENCH_PACKAGES += gforth

.PHONY: bench-deps
bench-deps:
	@$(MAKE) --no-print-directory deps PACKAGES="$(BENCH_PACKAGES)"

# Fuzzing: every fuzz/*_fuzz.cpp target built with clang, libFuzzer and the
# sanitizers in its own build directory, then run FUZZ_TIME seconds each,
# FUZZ_JOBS at once (FUZZ_TARGETS picks some).
FUZZ_BUILD ?= build-fuzz
FUZZ_TIME ?= 60
FUZZ_JOBS ?= 3
FUZZ_TARGETS ?=
FUZZ_PACKAGES = clang libclang-rt-14-dev

.PHONY: fuzz
fuzz:
	@$(MAKE) --no-print-directory deps PACKAGES="$(PACKAGES) $(FUZZ_PACKAGES)"
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEK_FUZZ=ON -DVEK_BENCH=OFF
	cmake --build $(FUZZ_BUILD) --target fuzz_targets -j $(JOBS)
	fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_TIME) $(FUZZ_JOBS) $(FUZZ_TARGETS)

# The database engine's embedded peers (bench/base_peers is built when they are found).
BENCH_PACKAGES += libsqlite3-dev liblmdb-dev
