# Convenience targets over CMake and CTest.
#   make run   installs what is missing, builds the server alone and starts it on
#              port 3333 (PORT=8080 make run, or make run PORT=8080, for another)
#              in the directory run/, serving the project's www/
#   make site  only prepares run/ (RUN_DIR=dir prepares another directory)
#   make test  installs what is missing, builds everything and runs every test
#   make bench-deps  installs the peers the benchmarks in bench/ compare against
#
# A package counts as present only when dpkg says "install ok installed": a
# package removed but not purged ("deinstall ok config-files") still has an
# entry, and "dpkg -s" answers 0 for it although its files are gone.

BUILD ?= build
JOBS  ?= $(shell nproc)
PORT  ?= 3333
RUN_DIR ?= run
PACKAGES = g++ cmake make python3 psmisc uuid-dev libutfcpp-dev libgtest-dev libbenchmark-dev openssl gnutls-bin
# Peers the benchmarks in bench/ compare against (the tests do not need them):
# the servers and tools the HTTP benches run beside, a Forth system, and the
# database engine's embedded peers (bench/base_peers is built when found).
BENCH_PACKAGES = m4 nginx wrk curl bc gforth libsqlite3-dev liblmdb-dev
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: deps bench-deps configure server build site run test clean

deps:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -qx 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi

bench-deps:
	@$(MAKE) --no-print-directory deps PACKAGES="$(BENCH_PACKAGES)"

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

# The server alone: what make run needs.
server: configure
	cmake --build $(BUILD) --target vekserver -j $(JOBS)

# Everything: the server, the tests and the benchmarks.
build: configure
	cmake --build $(BUILD) -j $(JOBS)

# The server runs in RUN_DIR, which holds only the site and its data: ~ paths
# serve that directory, and pages and raw requests read what is under it, so
# it must hold none of the project's own files. Its www/ and docs/ (which the
# manual page reads) hold a link to each file of the project's www/ and each
# page of the manual, so an edit shows at the next request; new files are
# linked, and links to removed ones dropped, at the next make run. www/ is a
# directory of its own, not a link to the project's: uploads land in it and
# never among the sources. Bases and uploads stay in RUN_DIR between runs.
site:
	@mkdir -p $(RUN_DIR)/www $(RUN_DIR)/docs
	@find $(RUN_DIR)/www $(RUN_DIR)/docs -maxdepth 1 -xtype l -delete
	@for f in $(abspath $(wildcard www/*)); do ln -sfn "$$f" $(RUN_DIR)/www/; done
	@for f in $(abspath $(wildcard docs/*.md)); do ln -sfn "$$f" $(RUN_DIR)/docs/; done

run: server site
	@echo "Serving www/ from $(RUN_DIR)/ (its bases and uploads stay there) on port $(PORT)"
	cd $(RUN_DIR) && exec $(abspath $(BUILD))/vekserver -p $(PORT) -d www

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD)

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
