# make run      install what is missing, build, start the desktop program here
# make test     install what is missing, build, run every test (with the
#               Windows program's under Wine, except in a sanitizer build)
# make windows  cross-build the Windows program and its zip into build-windows/
# make install  install both programs, the runner's service, the menu entry and
#               the manual pages under PREFIX (/usr/local), within DESTDIR
# make deb      the Debian package, build/serial-tcp-bridge_VERSION_ARCH.deb
# SANITIZE=address,undefined or SANITIZE=thread builds into a directory of its own.

SANITIZE ?=
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= 2
comma := ,
BUILD_DIR ?= build$(if $(SANITIZE),-$(subst $(comma),-,$(SANITIZE)))

.PHONY: run test bench fuzz build configure deps clean windows install deb
WINDOWS_DIR := build-windows
# The Wine tests need the Windows build, the package's test the package; a
# sanitizer build skips them all.
WITH_WINDOWS := $(if $(SANITIZE),,yes)
WITH_DEB := $(if $(SANITIZE),,yes)
PREFIX ?= /usr/local

run: build
	./$(BUILD_DIR)/src/serial-tcp-bridge

# Sanitizer options for the tests and the programs they start; toolkit noise
# is suppressed in tests/sanitizers/.
TEST_ENV := LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitizers/lsan.supp UBSAN_OPTIONS=print_stacktrace=1 \
            TSAN_OPTIONS="second_deadlock_stack=1 suppressions=$(CURDIR)/tests/sanitizers/tsan.supp"

test: $(if $(WITH_WINDOWS),windows) $(if $(WITH_DEB),deb) build
	cd $(BUILD_DIR) && $(TEST_ENV) xvfb-run -a ctest --output-on-failure -j$(JOBS)

# QUICK=1 for the short run.
bench: build
	@bash scripts/install-deps.sh bench
	cmake --build $(BUILD_DIR) --target bridge_bench -j$(JOBS)
	xvfb-run -a $(BUILD_DIR)/bench/bridge_bench --programs $(BUILD_DIR)/src \
	    $(if $(wildcard $(WINDOWS_DIR)/src/serial-tcp-bridged.exe),--windows $(WINDOWS_DIR)/src) \
	    --json $(BUILD_DIR)/bench-results.json $(if $(QUICK),--quick)

# Each fuzzer runs FUZZ_SECONDS from its seed corpus in fuzz/corpus/; what it
# finds new is kept in build-fuzz/corpus/.
FUZZERS := serial_text input_checks store_rows rfc2217
FUZZ_SECONDS ?= 60
fuzz:
	@bash scripts/install-deps.sh fuzz
	cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DFUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build-fuzz -j$(JOBS) --target $(addprefix fuzz_,$(FUZZERS))
	set -e; for name in $(FUZZERS); do \
	  mkdir -p $(CURDIR)/build-fuzz/corpus/$$name; \
	  build-fuzz/fuzz/fuzz_$$name -max_total_time=$(FUZZ_SECONDS) -artifact_prefix=$(CURDIR)/build-fuzz/ \
	      $(CURDIR)/build-fuzz/corpus/$$name $(CURDIR)/fuzz/corpus/$$name; \
	done

build: configure
	cmake --build $(BUILD_DIR) -j$(JOBS)

configure: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DSANITIZE=$(SANITIZE) \
	    -DWINDOWS_BUILD=$(if $(WITH_WINDOWS),$(CURDIR)/$(WINDOWS_DIR))

# The cross-built libraries come from a cache outside the work tree, made once.
# The script prints only the cache folder on standard output; should it fail,
# set -e stops here, after its own message.
windows:
	set -e; deps=$$(bash scripts/windows-deps.sh); \
	cmake -S . -B $(WINDOWS_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
	    -DWINDOWS_DEPS="$$(echo $$deps/*/ | tr ' ' ';')" -DWX_CONFIG=$$(echo $$deps/wx-*/bin/wx-config)
	cmake --build $(WINDOWS_DIR) -j$(JOBS)
	cmake --build $(WINDOWS_DIR) --target zip

install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD_DIR) --prefix $(PREFIX)

deb: build
	@bash scripts/install-deps.sh deb
	cmake --build $(BUILD_DIR) --target deb

deps:
	@bash scripts/install-deps.sh

clean:
	rm -rf build build-*
