# The two commands of the README: `make demo` and `make test`. Both install
# whatever is missing first (Debian, as root).
JOBS ?= $(shell nproc)
CTEST_FLAGS ?=

.PHONY: all deps native native-asan win32 install deb dist-windows test test-native test-asan test-win32 demo bench bench-wine bench-open bench-memory bench-large bench-many-files test-large fuzz fuzz-smoke fuzz-build format clean screenshot

all: native win32

deps:
	@scripts/install-deps.sh

native: deps
	@cmake --preset native >/dev/null
	@cmake --build --preset native -j $(JOBS)

native-asan: deps
	@cmake --preset native-asan >/dev/null
	@cmake --build --preset native-asan -j $(JOBS)

win32: deps
	@cmake --preset win32 >/dev/null
	@cmake --build --preset win32 -j $(JOBS)

# qpack, the stub and the uninstaller stub, the man page and the CMake
# package below PREFIX (DESTDIR in front, for staging). The native build
# installs the Win32 build's programs with qpack, so both are built first.
PREFIX ?= /usr/local
install: native win32
	DESTDIR="$(DESTDIR)" cmake --install build/native --prefix "$(PREFIX)" --strip

# build/dist/qunpack_<version>_amd64.deb: the same, below /usr.
deb: native win32
	@cpack --config build/native/CPackConfig.cmake -G DEB -B $(CURDIR)/build/dist

# build/dist/qunpack-<version>-win32.zip: qpack.exe, the programs beside
# it, the README.
dist-windows: win32
	@cpack --config build/win32/CPackConfig.cmake -G ZIP -B $(CURDIR)/build/dist

test-native: native
	ctest --preset native $(CTEST_FLAGS)

test-asan: native-asan
	ctest --preset native-asan $(CTEST_FLAGS)

# qpack.exe runs the natively built CLI suite.
test-win32: native win32
	ctest --preset win32 $(CTEST_FLAGS)

# Every tier runs even when an earlier one fails; the target fails if any did.
test: native native-asan win32
	@failed=; \
	ctest --preset native $(CTEST_FLAGS) || failed="$$failed native"; \
	ctest --preset native-asan $(CTEST_FLAGS) || failed="$$failed native-asan"; \
	ctest --preset win32 $(CTEST_FLAGS) || failed="$$failed win32"; \
	$(MAKE) --no-print-directory fuzz-smoke || failed="$$failed fuzz"; \
	if [ -n "$$failed" ]; then echo "make test: FAILED:$$failed"; exit 1; fi; \
	echo "make test: all tiers passed"

demo: native win32
	@scripts/demo.sh build/native build/win32 build/demo

bench: native
	@for b in build/native/bin/*_bench; do echo "== $$b"; $$b --benchmark_repetitions=5 --benchmark_report_aggregates_only=true; done

# qpack with 10,000 and 100,000 files of 1 KiB: build, verify, list and
# extract times (BENCH_ROUNDS rounds, medians) and how they grow.
# An installer of more than 1.2 GiB with a 3 GiB file, built, verified and
# extracted by qpack (a few minutes; not part of make test).
test-large: native win32
	@scripts/test-large.sh build/native/bin/qpack build/test-large build/win32

MANY_ROUNDS ?= 3
bench-many-files: native
	@scripts/bench-many-files.sh build/native/bin/qpack build/bench-many-files $(MANY_ROUNDS)

# The stub's extraction against a floor program under Wine, in one process
# (bench/wine/extract_wine_bench.cpp); BENCH_ROUNDS rounds, medians reported.
# The packages are made natively once and kept in build/bench-wine/corpus.
BENCH_ROUNDS ?= 5
bench-wine: native win32
	@build/native/bin/make_corpus examples/demo build/bench-wine/corpus
	@echo "load before: $$(cat /proc/loadavg)"
	@root=$$(pwd)/build/bench-wine; \
	scripts/wine-run.sh --prefix build/win32/wineprefix build/win32/bin/extract_wine_bench.exe \
	  "Z:$$(echo $$root/corpus | tr / '\\')" "Z:$$(echo $$root/out | tr / '\\')" $(BENCH_ROUNDS)
	@echo "load after: $$(cat /proc/loadavg)"

# The stub's open of a 512 MiB installer (bench/open_speed.cpp) against the
# file mapped whole and summed in one psadbw pass, natively and then the
# Win32 build under Wine; BENCH_ROUNDS rounds, medians. The stub's open is
# also timed in views of each size in BENCH_OPEN_VIEWS (KiB; qpack reads in
# views of 1 MiB). The installers are written to BENCH_OPEN_DIR and removed
# after each run.
BENCH_OPEN_DIR ?= build/bench-open
BENCH_OPEN_VIEWS ?= 1024 256
bench-open: native win32
	@mkdir -p $(BENCH_OPEN_DIR)
	@echo "load before: $$(cat /proc/loadavg)"
	@echo "== native"; build/native/bin/open_speed $(BENCH_OPEN_DIR)/installer.exe $(BENCH_ROUNDS) $(BENCH_OPEN_VIEWS)
	@echo "== Win32 under Wine"; root=$$(cd $(BENCH_OPEN_DIR) && pwd); \
	scripts/wine-run.sh --prefix build/win32/wineprefix build/win32/bin/open_speed.exe \
	  "Z:$$(echo $$root/installer.exe | tr / '\\')" $(BENCH_ROUNDS) $(BENCH_OPEN_VIEWS)
	@echo "load after: $$(cat /proc/loadavg)"

# Peak resident memory of qpack extract against a plain inflate-and-write
# program (bench/extract_memory.cpp), over the bench-wine corpus's mixed and
# large packages; BENCH_ROUNDS rounds, medians.
bench-memory: native
	@build/native/bin/make_corpus examples/demo build/bench-wine/corpus
	@mkdir -p build/bench-memory
	@for p in mixed large; do echo "== $$p"; build/native/bin/extract_memory build/native/bin/qpack \
	  build/bench-wine/corpus/$$p-v1.pkg build/bench-memory $(BENCH_ROUNDS) || exit 1; done

# Installers near the format's 4 GiB, natively (bench/large_installer_speed.cpp):
# verification of 3.5 GiB and extraction of a 3 GiB entry against plain
# passes in the same run. Needs about 7 GB in BENCH_LARGE_DIR, removed after.
BENCH_LARGE_DIR ?= build/bench-large
bench-large: native
	@build/native/bin/large_installer_speed $(BENCH_LARGE_DIR) $(BENCH_ROUNDS)

# libFuzzer targets (clang, ASan, UBSan), built apart in FUZZ_BUILD. `make
# fuzz` runs each for FUZZ_SECONDS, `make fuzz-smoke` for FUZZ_SMOKE_SECONDS.
FUZZ_SECONDS ?= 300
FUZZ_SMOKE_SECONDS ?= 20
FUZZ_TARGETS = manifest_fuzz package_fuzz bitmap_fuzz pe_fuzz branding_fuzz
FUZZ_BUILD ?= build/fuzz

fuzz-build: deps
	@cmake -S fuzz -B $(FUZZ_BUILD) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS)

fuzz: fuzz-build
	@fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

fuzz-smoke: fuzz-build
	@fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SMOKE_SECONDS) $(FUZZ_TARGETS)

# A picture of the running progress window for people to look at: the demo's
# bitmaps, a status and the bar at one half, captured on the virtual display
# into build/screenshot/progress-window.png; with DPI=192 (or another) on a
# display of that DPI, into progress-window-192.png.
DPI ?= 96
screenshot: win32
	@scripts/screenshot.sh build/win32 build/screenshot $(DPI)

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
