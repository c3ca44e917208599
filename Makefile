# make        builds build/win32/setup.exe
# make test   builds everything and runs every test, unit and end to end
# make demo   runs setup.exe from a sample medium under Wine
.PHONY: all deps setup host test demo clean

all: setup

deps:
	@./tools/install-deps.sh

setup: deps
	cmake --preset win32 >/dev/null
	cmake --build --preset win32

host: deps
	cmake --preset host >/dev/null
	cmake --build --preset host

test: setup host
	ctest --preset host

demo: setup
	./tools/wine-run python3 tools/demo.py

clean:
	rm -rf build
