# The two commands that do everything: `make demo` and `make test`.
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: setup build build-san demo test bench bench-separation clean

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

bench: build
	bash bench/run.sh

# separation quality against known sources; not part of make test
bench-separation: build
	bash bench/separation/run.sh $(ARGS)

clean:
	rm -rf build build-san
