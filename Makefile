# Each target's line after ## is what make help says of it; README.md's table
# of targets is checked against them (the test docs). Lines #> name the main
# variables.
.PHONY: all help deps setup host test demo soak sign medium check-medium coverage fuzz bench bench-medium \
	clean clean-cache

MAKEFLAGS += --no-print-directory

all: setup ## builds build/win32/setup.exe: what make alone does

help: ## prints the targets and the main variables
	@awk -F'## ' '/^[a-z-]+:.*## / { split($$1, t, ":"); printf "  make %-14s %s\n", t[1], $$2 } \
	    /^#> / { sub(/^#> /, ""); vars = vars "  " $$0 "\n" } \
	    END { printf "\nVariables, as make NAME=value or in the environment:\n%s", vars; \
	          print "\nBuild options (cmake --preset win32 -DSETUP_...=...): docs/medium-authors.md" }' $(MAKEFILE_LIST)

deps: ## installs what is missing (tools/install-deps.sh)
	@./tools/install-deps.sh

setup: deps ## builds build/win32/setup.exe
	@cmake --preset win32 >/dev/null
	@cmake --build --preset win32

host: deps ## builds the unit tests and the test programs into build/host
	@cmake --preset host >/dev/null
	@cmake --build --preset host

test: ## installs, builds and runs every test, unit and end to end
	@./tools/test.sh

#> DEMO_MEDIUM=folder   make demo: runs that medium's setup.exe instead of a sample one
demo: setup ## runs setup.exe from a sample medium under Wine and prints what the tool got
	@python3 tools/demo.py $(DEMO_MEDIUM)

#> N=3, LOAD=0          make soak: rounds, and processes kept busy beside them
N ?= 3
LOAD ?= 0
soak: setup ## runs the end-to-end tables N times and counts each case's failures
	@python3 tests/e2e/e2e.py --rounds $(N) --load $(LOAD)

#> SIGN_*               make sign: the key, its password, digests and stamps (docs/medium-authors.md)
sign: setup ## signs build/win32/setup.exe with Authenticode
	@./tools/sign.sh build/win32/setup.exe

# setup.exe is built only when there is none: a rebuild would replace a
# signed one with an unsigned one.
#> MEDIUM_*             make medium: the tool, arguments, extras and label (docs/medium-authors.md)
medium: deps ## lays out build/medium/ and build/medium.iso around build/win32/setup.exe
	@[ -f build/win32/setup.exe ] || { cmake --preset win32 >/dev/null && cmake --build --preset win32 --target setup; }
	@python3 tools/medium make

#> MEDIUM_ISO=image     make check-medium: an image, a disc or a folder (build/medium.iso)
MEDIUM_ISO ?= build/medium.iso
check-medium: deps ## checks an image, a disc or a medium's folder as Windows reads it
	@python3 tools/medium check "$(MEDIUM_ISO)"

coverage: setup ## runs the unit tests and end-to-end tables with builds that count their lines
	@python3 tools/coverage.py

# Each fuzz target for a while, its findings kept in build/host.
#> FUZZ_SECONDS=60      make fuzz: how long each target runs
FUZZ_SECONDS ?= 60
fuzz: host ## runs each fuzz target for FUZZ_SECONDS
	@for t in command_tail arg_file command own_folder messages; do \
	    echo "== fuzz_$$t"; \
	    build/host/tests/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	        build/host/tests/corpus/$$t tests/fuzz/corpus/$$t 2>&1 | \
	        grep -E 'number_of_executed_units|ERROR|SUMMARY|Test unit written'; \
	done

bench: setup ## times setup.exe's start-up against a minimal spawner under Wine
	@python3 tools/bench.py

bench-medium: setup ## times make medium for a tool tree of 1.1 GB beside the floor
	@python3 tools/bench_medium.py

#> WINE_RUN=vm          every target that runs Wine: in the virtual machine (HACKING.md)
clean: ## removes build/
	rm -rf build

clean-cache: ## removes the cached Wine prefix
	rm -rf "$${XDG_CACHE_HOME:-$$HOME/.cache}/setup-launcher"
