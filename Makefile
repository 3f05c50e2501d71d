# Thin wrappers around the CMake presets; see README.md.
.PHONY: all demo test test-asan test-tsan windows test-windows clean

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
SHELL := /bin/bash
.SHELLFLAGS := -o pipefail -c

all:
	cmake --preset debug
	cmake --build --preset debug -j $(JOBS)

# Builds the library and the demonstration alone (Release, build/demo) and
# runs it: its verified summary. TRACES=1 shows the library's traces too,
# as UTF-8, through the library's settings.
demo:
	cmake --preset demo
	cmake --build --preset demo -j $(JOBS)
	cd build/demo && $(if $(TRACES),QVNET_TRACE=stdout QVNET_TRACE_ENCODING=utf-8 )./examples/qvnet-demo

test:
	cmake --preset debug
	cmake --build --preset debug -j $(JOBS)
	ctest --preset debug -j $(JOBS)

test-asan:
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)

test-tsan:
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan -j $(JOBS)

# Cross-builds QvWinNetModule.dll for x86_64 and i686 Windows.
windows:
	cmake --preset mingw-x86_64
	cmake --build --preset mingw-x86_64 -j $(JOBS)
	cmake --preset mingw-i686
	cmake --build --preset mingw-i686 -j $(JOBS)

# Installs a Release build into a temporary prefix, then builds and runs a
# program against it with CMake and with pkg-config (tools/consumer-test.sh).
.PHONY: consumer-test
consumer-test:
	bash tools/consumer-test.sh

# Builds the benchmarks (Release, build/bench) and runs them side by side
# with echo servers on asio, libuv and raw epoll; prints Markdown tables.
# Not part of CI. Settings: BENCH_* variables, see bench/run.py.
.PHONY: bench bench-build
bench: bench-build
	python3 bench/run.py

# What both benchmark runners need: the peers, and the bench preset built.
bench-build:
	bash bench/install-deps.sh
	cmake --preset bench
	cmake --build --preset bench -j $(JOBS)

# Builds the benchmarks like `make bench` and runs bench/flowcheck.py: a
# large transfer with SendWithin, a 16 MiB burst echoed, peers that never
# read (one, then 1000), and request/response latency; prints one Markdown
# table with each requirement and whether it was met (exit status 1 when one
# was missed). Not part of CI. Settings: FLOWCHECK_* variables, see the script.
.PHONY: flowcheck
flowcheck: bench-build
	python3 bench/flowcheck.py

# Builds the libFuzzer targets (clang) and runs each for FUZZ_SECONDS (180),
# then reports the line coverage their committed corpora reach; installs
# clang and LLVM when missing. Not part of CI. See tools/fuzz.sh.
.PHONY: fuzz
fuzz:
	bash tools/fuzz.sh

clean:
	rm -rf build

# Builds the whole test suite for x86_64 and for i686 Windows and runs both
# under Wine, each in a prefix of its own (64-bit and 32-bit), side by side;
# each suite's output is printed whole when it ends. Both suites also run
# the Microsoft-ABI application of `make windows` against the DLL it ships.
.PHONY: windows-suite-x86_64 windows-suite-i686
test-windows: windows
	cmake --preset windows-tests
	cmake --build --preset windows-tests -j $(JOBS)
	cmake --preset windows-tests-i686
	cmake --build --preset windows-tests-i686 -j $(JOBS)
	$(MAKE) --no-print-directory -k -j 2 -O windows-suite-x86_64 windows-suite-i686

# windows-suite-ARCH: one suite's run, in build/<preset>/wineprefix.
windows-suite-x86_64: SUITE := windows-tests
windows-suite-i686: SUITE := windows-tests-i686
# A kernel that refuses Wine's loader for the architecture (32-bit Linux
# programs, for i686) cannot run that suite at all: it is then built but
# not run, and says so.
windows-suite-x86_64 windows-suite-i686: windows-suite-%:
	@echo "== $(SUITE) ($*, under Wine)"
	@prefix=$(CURDIR)/build/$(SUITE)/wineprefix; status=0; \
	tools/wine-run.sh $* $$prefix --runnable || status=$$?; \
	if [ $$status -eq 3 ]; then echo "== $(SUITE) NOT RUN: built, but this machine cannot run $* programs"; exit 0; fi; \
	tools/wine-run.sh $* $$prefix --start || exit $$?; \
	ctest --preset $(SUITE) -j $(JOBS); status=$$?; tools/wine-run.sh $* $$prefix --stop; exit $$status
