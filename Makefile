# make run   - install missing packages, build the service alone (Release), start build/Ostrivan
#              (PORT=<n> sets Porta in the demo parameter file build/ParametrOstrivan.ini)
# make test  - install missing packages, build everything (the client included), run unit
#              and end-to-end tests, then the unit tests and the end-to-end tests of hostile
#              input, JSON and jobs (ASAN_E2E) again under AddressSanitizer and
#              UndefinedBehaviorSanitizer. JSON_TEST_SUITE=<folder> also runs the public
#              JSON corpus test (skipped when not given). WERROR=1 turns warnings into
#              errors (CI does).
# make format-check - check that every C++ source keeps the .clang-format style
# make package - build the Debian package of the service and the client (build/*.deb)
# make fuzz  - build the libFuzzer targets with clang and run each for FUZZ_SECONDS (the two
#              slow ones, on real folders, for FUZZ_SLOW_SECONDS: 4 x FUZZ_SECONDS)
# make bench - build and run the benchmarks beside their peers
# make windows - cross-build for 64-bit Windows with MinGW-w64 (Debian packages, libdeflate
#              and PCRE2 built from Debian's sources) into build-win and pack
#              build-win/Ostrivan-<version>-win64.zip
# make test-windows - make windows, then run the unit tests under Wine in a prefix of
#              their own (build-win/wine)
JOBS ?= $(shell nproc)
BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
BENCH_BUILD ?= build-bench
WIN_BUILD ?= build-win
FUZZ_SECONDS ?= 60
# The two targets that work on real folders get longer to go deep.
FUZZ_SLOW_SECONDS ?= $(shell echo $$(( $(FUZZ_SECONDS) * 4 )))
JSON_TEST_SUITE ?=
PORT ?=
WERROR ?=
# The end-to-end tests that also run against the sanitizer build: hostile input, JSON, jobs.
ASAN_E2E ?= test_errors_replies;test_http_server;test_engine_pipeline;test_jobs_export;test_jobs_import;test_acknowledged_export
CORPUS_FLAG = $(if $(JSON_TEST_SUITE),-DOSTRIVAN_JSON_TEST_SUITE=$(abspath $(JSON_TEST_SUITE)))
WERROR_FLAG = -DOSTRIVAN_WERROR=$(if $(WERROR),ON,OFF)

# Wine quiet and headless, in the build's own prefix, so the user's ~/.wine is not touched.
WINE_ENV = WINEPREFIX=$(abspath $(WIN_BUILD))/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d" DISPLAY=

.PHONY: all deps configure build run test test-asan format-check package fuzz bench windows test-windows clean

all: build

deps:
	./scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CORPUS_FLAG) $(WERROR_FLAG)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# Only the service: the tests and the client are built by make test.
run: configure
	cmake --build $(BUILD) -j $(JOBS) --target Ostrivan
	./scripts/demo-config $(BUILD) $(PORT)
	cd $(BUILD) && ./Ostrivan

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	$(MAKE) test-asan

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTRIVAN_SANITIZE=ON -DOSTRIVAN_E2E=ON \
	  -DOSTRIVAN_E2E_ONLY="$(ASAN_E2E)" $(CORPUS_FLAG) $(WERROR_FLAG)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

format-check:
	./scripts/install-deps --format
	./scripts/check-format

package: build
	cd $(BUILD) && cpack -G DEB

fuzz:
	./scripts/install-deps --fuzz
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTRIVAN_FUZZ=ON -DBUILD_TESTING=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target ostrivan_fuzzers
	./scripts/run-fuzzers $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_SLOW_SECONDS)

bench: build
	./scripts/install-deps --bench
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DOSTRIVAN_BENCH=ON -DBUILD_TESTING=OFF
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	./scripts/run-benchmarks $(BENCH_BUILD)

windows:
	WIN_BUILD=$(abspath $(WIN_BUILD)) ./scripts/install-deps --windows
	cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake \
	  -DCMAKE_BUILD_TYPE=Release $(WERROR_FLAG)
	cmake --build $(WIN_BUILD) -j $(JOBS)
	./scripts/check-windows-dlls $(WIN_BUILD)/Ostrivan.exe $(WIN_BUILD)/ostrivan-client.exe
	cd $(WIN_BUILD) && cpack -G ZIP

# The prefix is made once (its registry is on disk when its wineserver has ended). One
# wineserver serves every test, which saves each one Wine's start-up. Its background
# programs are started before ctest, with no output of ctest's to hold open (ctest would
# wait for them), and ended after the tests, whatever their outcome.
test-windows: windows
	[ -f $(WIN_BUILD)/wine/system.reg ] || \
	  { $(WINE_ENV) wineboot --init >/dev/null 2>&1 && $(WINE_ENV) wineserver -w; }
	$(WINE_ENV) wineserver -p || true
	$(WINE_ENV) wineboot </dev/null >/dev/null 2>&1
	cd $(WIN_BUILD) && $(WINE_ENV) ctest -L unit --output-on-failure -j $(JOBS); \
	  status=$$?; $(WINE_ENV) wineserver -k; exit $$status

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(BENCH_BUILD) $(WIN_BUILD)
