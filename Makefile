# make             builds build/win32/setup.exe
# make test        builds everything and runs every test, unit and end to end
# make demo        runs setup.exe from a sample medium under Wine
# make soak N=3    runs the end-to-end tables N times and counts each case's failures;
#                  LOAD=2 keeps two processes busy beside it
# make sign        signs build/win32/setup.exe (SIGN_PKCS11_MODULE and SIGN_PKCS11_KEY,
#                  SIGN_CERT and SIGN_KEY, or SIGN_PKCS12)
# make medium MEDIUM_TOOL=folder   lays out build/medium/ and build/medium.iso
#                  around build/win32/setup.exe as it is (signed or not)
# make check-medium MEDIUM_ISO=image   checks an image as Windows reads it
# make coverage    runs the unit tests and the end-to-end tables with builds that count
#                  their lines, and prints which lines of setup.exe no test ran
# make fuzz        runs the fuzz targets longer; make bench compares start-up costs;
#                  make bench-medium times make medium for a tool tree of 1.1 GB
# make clean       removes build/; make clean-cache drops the cached Wine prefix
.PHONY: all deps setup host test demo soak sign medium check-medium coverage fuzz bench bench-medium clean \
	clean-cache

MAKEFLAGS += --no-print-directory

all: setup

deps:
	@./tools/install-deps.sh

setup: deps
	@cmake --preset win32 >/dev/null
	@cmake --build --preset win32

host: deps
	@cmake --preset host >/dev/null
	@cmake --build --preset host

test:
	@./tools/test.sh

demo: setup
	@python3 tools/demo.py

N ?= 3
LOAD ?= 0
soak: setup
	@python3 tests/e2e/e2e.py --rounds $(N) --load $(LOAD)

sign: setup
	@./tools/sign.sh build/win32/setup.exe

# MEDIUM_TOOL, MEDIUM_ARGS, MEDIUM_ARGS_CODE_PAGE, MEDIUM_EXTRA and
# MEDIUM_LABEL reach it as given. setup.exe is built only when there is none:
# a rebuild would replace a signed one with an unsigned one.
medium: deps
	@[ -f build/win32/setup.exe ] || { cmake --preset win32 >/dev/null && cmake --build --preset win32 --target setup; }
	@python3 tools/medium make

MEDIUM_ISO ?= build/medium.iso
check-medium: deps
	@python3 tools/medium check "$(MEDIUM_ISO)"

clean:
	rm -rf build

clean-cache:
	rm -rf "$${XDG_CACHE_HOME:-$$HOME/.cache}/setup-launcher"

# Each fuzz target for a minute (FUZZ_SECONDS=...), its findings kept in build/host.
FUZZ_SECONDS ?= 60
fuzz: host
	@for t in command_tail arg_file command own_folder messages; do \
	    echo "== fuzz_$$t"; \
	    build/host/tests/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	        build/host/tests/corpus/$$t tests/fuzz/corpus/$$t 2>&1 | \
	        grep -E 'number_of_executed_units|ERROR|SUMMARY|Test unit written'; \
	done

coverage: setup
	@python3 tools/coverage.py

bench: setup
	@python3 tools/bench.py

bench-medium: setup
	@python3 tools/bench_medium.py
