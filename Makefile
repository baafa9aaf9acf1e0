# The user-facing commands. Each installs what it needs first, so it works
# alone on a fresh Debian machine (as root).
SCENARIO ?=
JOBS ?= 2
FUZZ_SECONDS ?= 600

.PHONY: deps demo test dist fuzz check bench format clean host windows host-asan fuzz-build sigcheck sigupdate

deps:
	@tools/install-deps

# Each build configures itself on first use; ninja decides what is stale.
host windows host-asan fuzz-build: deps
	@cmake --preset $(if $(filter fuzz-build,$@),fuzz,$@) >/dev/null
	cmake --build --preset $(if $(filter fuzz-build,$@),fuzz,$@) -j $(JOBS)

demo: windows
	@tools/demo $(SCENARIO)

test: deps
	tools/check-format
	@$(MAKE) --no-print-directory host host-asan windows fuzz-build
	ctest --preset host -j $(JOBS)
	ctest --preset host-asan -j $(JOBS)
	ctest --preset fuzz -j $(JOBS)
	ctest --preset windows -j $(JOBS)

dist: deps
	@tools/dist

# The plug-in's three signatures in a game build: make sigcheck GAME=path/to/game.exe
# (SIGCHECK_FLAGS="--mapped --base 0x7FF6A0000000" for a dump of the running module).
sigcheck: host
	@test -n "$(GAME)" || { echo "usage: make sigcheck GAME=path/to/game.exe [SIGCHECK_FLAGS=--mapped]" >&2; exit 2; }
	@build/host/nozzles-sigcheck $(SIGCHECK_FLAGS) "$(GAME)"

# A game update: the signatures carried from the old build to the new, and
# new sets proposed: make sigupdate OLD=old.exe NEW=new.exe [OLDER=older.exe]
# (SIGUPDATE_FLAGS="--write-header src/memory/game_signatures.h", --json, --signatures FILE, ...).
sigupdate: host
	@test -n "$(OLD)" -a -n "$(NEW)" || { echo "usage: make sigupdate OLD=old.exe NEW=new.exe [OLDER=older.exe] [SIGUPDATE_FLAGS=...]" >&2; exit 2; }
	@build/host/nozzles-sigcheck "$(NEW)" --old "$(OLD)" $(if $(OLDER),--older "$(OLDER)") $(SIGUPDATE_FLAGS)

fuzz: fuzz-build
	FUZZ_SECONDS=$(FUZZ_SECONDS) tools/fuzz-long

check: host
	tools/memcheck

# The real-code images: the executable sections of Wine's modules, and of an
# MSVC-built program (fetched with npm when absent). Then what a missing
# function costs a frame in the stand-in game under Wine. Then the signatures
# carried across real updates (fetched with npm when absent).
bench: host windows
	@tools/code-byte-frequencies --extract build/host/real-code.bin
	@/usr/bin/python3 bench/sigupdate_bench.py build/host --msvc-code build/host/msvc-code.bin
	build/host/scanner_bench --code=build/host/real-code.bin --msvc-code=build/host/msvc-code.bin --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true --benchmark_min_time=0.2
	bench/missing_function_cost.py build/windows
	bench/sigupdate_bench.py build/host

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build dist
