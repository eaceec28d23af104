# Two commands for people: `make run` and `make test`. Both install what is
# missing first, then configure and build.
JOBS      ?= $(shell nproc)
BUILD     ?= build/release
TESTBUILD ?= build/test
FUZZBUILD ?= build/fuzz
TSANBUILD ?= build/tsan
# The threaded parts under ThreadSanitizer: the device engine (its reconnect path included), its
# registry, the actions, the front and the SDK's action pool.
TSAN_TESTS := device_test device_engine_test device_restore_test action_test front_http_test \
	sdk_test
LISTEN    ?= 127.0.0.1:8080
FUZZ_SECONDS ?= 60
PREFIX    ?= /usr/local
SYSCONFDIR ?= /etc
DEBDIR    ?= build/deb

# ccache hits across clones in other folders (CI builds a fresh clone).
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1

.PHONY: setup run test build test-build tsan demo bench fuzz format clean install deb

setup:
	@scripts/setup.sh

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DTB_BUILD_TESTS=OFF

# The benchmarks are built with the tests (never run there), so that a change breaking one fails;
# so are the fuzz harnesses, with clang, so that a warning only clang reports fails before it
# lands (the fuzz build dir is shared with `make fuzz`; ccache keeps the second compiler cheap).
$(TESTBUILD)/CMakeCache.txt:
	cmake -S . -B $(TESTBUILD) -DCMAKE_BUILD_TYPE=Debug -DTB_SANITIZE=ON -DTB_BUILD_BENCH=ON

$(TSANBUILD)/CMakeCache.txt:
	cmake -S . -B $(TSANBUILD) -DCMAKE_BUILD_TYPE=Debug -DTB_TSAN=ON -DTB_BUILD_BENCH=OFF

build: setup $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

$(FUZZBUILD)/CMakeCache.txt:
	CC=clang CXX=clang++ cmake -S . -B $(FUZZBUILD) -DCMAKE_BUILD_TYPE=Debug -DTB_BUILD_FUZZ=ON -DTB_BUILD_TESTS=OFF -DTB_BUILD_BENCH=OFF

test-build: setup $(TESTBUILD)/CMakeCache.txt $(FUZZBUILD)/CMakeCache.txt
	cmake --build $(TESTBUILD) -j $(JOBS)
	cmake --build $(FUZZBUILD) -j $(JOBS) --target fuzzers

run: build
	@echo "Tagbridge console: http://$(LISTEN)/"
	$(BUILD)/tagbridge --listen $(LISTEN) $(ARGS)

test: test-build
	cd $(TESTBUILD) && ctest -j 2 --output-on-failure --timeout 600

# Only the suites above are built; ctest skips the others' placeholders (*_NOT_BUILT) and the
# suites that run the built programs or replay fuzz corpora (none of them is built here).
tsan: setup $(TSANBUILD)/CMakeCache.txt
	cmake --build $(TSANBUILD) -j $(JOBS) --target $(TSAN_TESTS)
	cd $(TSANBUILD) && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 \
		suppressions=$(CURDIR)/tests/tsan.supp $(TSAN_OPTIONS)" \
		ctest -j 2 --output-on-failure --timeout 900 \
		-E '_NOT_BUILT|browser|interop|metrics|packaging|fuzz_replay'

# PREFIX (default /usr/local), SYSCONFDIR (/etc) and DESTDIR as usual.
install: build
	DESTDIR="$(DESTDIR)" PREFIX="$(PREFIX)" SYSCONFDIR="$(SYSCONFDIR)" packaging/install.sh $(BUILD)

deb: build
	@packaging/build-deb.sh $(BUILD) $(DEBDIR)

demo: build
	@scripts/demo.sh $(BUILD) $(LISTEN)

bench: build
	@scripts/bench.sh $(BUILD)

fuzz: setup $(FUZZBUILD)/CMakeCache.txt
	cmake --build $(FUZZBUILD) -j $(JOBS) --target fuzzers
	@scripts/fuzz.sh $(FUZZBUILD) $(FUZZ_SECONDS)

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
