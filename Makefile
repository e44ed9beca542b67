# A thin front over the CMake presets. `make test` and `make demo` work on a
# fresh Debian 12 machine: both install what they need first.
PRESETS := native win32

.PHONY: all setup build test demo clean

all: build

setup:
	./scripts/setup

build:
	@for p in $(PRESETS); do cmake --preset $$p >/dev/null && cmake --build --preset $$p -j "$$(nproc)" || exit 1; done

# Every test of both targets, inside a private test network.
test: setup build
	./scripts/testnet run -- sh -c 'ctest --preset native && ctest --preset win32'

demo: setup build
	./scripts/demo $(if $(NATIVE),--native)

clean:
	rm -rf build
