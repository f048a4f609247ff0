# The two commands that do everything: `make demo` and `make test`.
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
PREFIX ?= /usr/local
DESTDIR ?=

FUZZ_SECONDS ?= 60

.PHONY: setup build build-san demo test bench bench-long bench-separation fuzz install clean

setup:
	@bash scripts/setup.sh

build: setup
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build build -j$(JOBS)

build-san: setup
	cmake -S . -B build-san -DCMAKE_BUILD_TYPE=Debug -DKV_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build build-san -j$(JOBS)

demo: build
	./build/korvane demo -o out/demo

test: build build-san
	ctest --test-dir build --output-on-failure -j$(JOBS)
	ctest --test-dir build-san --output-on-failure -j$(JOBS)

# `make install PREFIX=/usr/local [DESTDIR=/staging]`
install: build
	DESTDIR="$(DESTDIR)" cmake --install build --prefix "$(PREFIX)"

bench: build
	bash bench/run.sh

# decompose of a one-hour stereo file: tens of minutes, 7 GB in a temporary folder
bench-long: build
	bash bench/decompose_run.sh 3600

# Each fuzz target for FUZZ_SECONDS; clang and libFuzzer come with `setup.sh fuzz`.
fuzz:
	@bash scripts/setup.sh fuzz
	cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_FUZZ=ON -DKV_TESTS=OFF \
	  -DKV_BENCH=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ $(CMAKE_FLAGS)
	cmake --build build-fuzz -j$(JOBS)
	FUZZ_SECONDS=$(FUZZ_SECONDS) bash fuzz/run.sh build-fuzz

# separation quality against known sources; not part of make test
bench-separation: build
	bash bench/separation/run.sh $(ARGS)

clean:
	rm -rf build build-san build-fuzz
