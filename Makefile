# A thin front over the CMake presets. `make test` and `make demo` work on a
# fresh Debian 12 machine: both install what they need first.
# The 64-bit DLL comes after the 32-bit one: its tests compare the two.
PRESETS := native win32 win64
# Sanitizer and fuzzing builds of the Linux library, run by `make test` too.
CHECK_PRESETS := asan tsan fuzz
FUZZ_SECONDS ?= 60

.PHONY: all setup build build-checks test demo fuzz soak bench dist clean

all: build

setup:
	./scripts/setup

build:
	@for p in $(PRESETS); do cmake --preset $$p >/dev/null && cmake --build --preset $$p -j "$$(nproc)" || exit 1; done

build-checks:
	@for p in $(CHECK_PRESETS); do cmake --preset $$p -DKESTA_FUZZ_SECONDS=$(FUZZ_SECONDS) >/dev/null && cmake --build --preset $$p -j "$$(nproc)" || exit 1; done

# Every test of the Linux library and of both DLLs, the sanitizer builds,
# a bounded fuzzing run, and the release packages (tests/dist_test.py:
# built twice in two folders, linked against as users do, signed, linted),
# inside a private test network.
test: setup build build-checks
	./scripts/testnet run -- sh -c 'for p in $(PRESETS) $(CHECK_PRESETS); do ctest --preset $$p || exit 1; done && python3 tests/dist_test.py'

# Fuzzing for as long as asked: make fuzz FUZZ_SECONDS=3600
fuzz: setup
	cmake --preset fuzz -DKESTA_FUZZ_SECONDS=$(FUZZ_SECONDS) >/dev/null && cmake --build --preset fuzz -j "$$(nproc)"
	ctest --preset fuzz -V

# The full soak: 10,000 logins and 8 threads x 500 on each target, the Linux
# one under AddressSanitizer's leak checker.
soak: setup build build-checks
	./scripts/testnet run -- sh -c 'build/asan/soak 10000 8 500 && scripts/wine-run build/win32/soak.exe 10000 8 500 && scripts/wine-run build/win64/soak.exe 10000 8 500'

# The 32-bit DLL by default; WIN64=1 the 64-bit one, NATIVE=1 the Linux library.
demo: setup build
	./scripts/demo $(if $(NATIVE),--native,$(if $(WIN64),--win64))

# Benchmarks, side by side with the bare transports; not part of `make test`.
bench: setup build
	./bench/run

# The release packages in dist/: Windows zips, Debian packages, SHA256SUMS.
# make dist SIGN_CERT=cert.pem SIGN_KEY=key.pem [SIGN_TSA=URL] signs the
# Windows binaries.
dist: setup
	SIGN_CERT="$(SIGN_CERT)" SIGN_KEY="$(SIGN_KEY)" SIGN_TSA="$(SIGN_TSA)" ./scripts/dist dist

clean:
	rm -rf build dist
