# The two set-up commands: `make demo` and `make test`. Both install what a
# fresh Debian machine lacks, then build.

BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
PACKAGES   := cmake make g++ pkg-config libtiff-dev libgtest-dev groff-base man-db

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

PREFIX     ?= /usr/local
FUZZ_SECONDS ?= 1200
FUZZ_JOBS    ?= 1

.PHONY: all deps configure programs build demo test test-plain test-asan test-tsan bench install \
        deb fuzz fuzz-one clean

all: build

# Installs the packages that are not there yet (nothing when all are).
deps:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get update -q && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -q $$missing; \
	fi

# The build prints one line per step: no make "Entering directory" lines.
BUILD_FLAGS = -j $(JOBS) -- --no-print-directory

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

# The sixteen programs alone.
programs: configure
	@cmake --build $(BUILD) --target programs $(BUILD_FLAGS)

# Everything: the programs, the tests and the benchmark generators.
build: configure
	@cmake --build $(BUILD) $(BUILD_FLAGS)

demo: programs
	@sh examples/demo.sh $(BUILD)/bin

test: test-plain test-asan test-tsan

test-plain: build
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure

test-asan: deps
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=ON >/dev/null
	@cmake --build $(ASAN_BUILD) $(BUILD_FLAGS)
	ctest --test-dir $(ASAN_BUILD) -j $(JOBS) --output-on-failure

# The programs under ThreadSanitizer, running the strip writer's and the
# strip reader's tests: the workers that encode strips and those that
# decode and render them share no data without a lock.
test-tsan: deps
	@cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE_THREADS=ON >/dev/null
	@cmake --build $(TSAN_BUILD) --target strip_writer_test $(BUILD_FLAGS)
	ctest --test-dir $(TSAN_BUILD) -j $(JOBS) --output-on-failure -R 'StripWriter|StripReader' 

bench: build
	sh bench/run.sh $(BUILD)/bin

# Installs the programs, manual pages and completions under $(PREFIX).
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# Builds a Debian package of the same in $(BUILD)/ and checks it with
# lintian: any error fails (warnings are shown).
deb: build
	@$(MAKE) --no-print-directory deps PACKAGES="dpkg-dev file lintian"
	cd $(BUILD) && cpack -G DEB
	@for deb in $(BUILD)/*.deb; do \
	  depends=$$(dpkg-deb -f $$deb Depends); echo "$$deb: Depends: $$depends"; \
	  echo "$$depends" | grep -q libtiff || { echo "$$deb does not depend on libtiff" >&2; exit 1; }; \
	  echo "lintian $$deb"; lintian --fail-on error $$deb || exit 1; \
	done

# The fuzzing campaign: every target of fuzz/targets for FUZZ_SECONDS each
# (FUZZ_JOBS side by side); `make fuzz-one TARGET=lzwtag` runs one.
fuzz: deps
	@$(MAKE) --no-print-directory deps PACKAGES="afl++ python3"
	FUZZ_SECONDS=$(FUZZ_SECONDS) FUZZ_JOBS=$(FUZZ_JOBS) sh fuzz/run.sh

fuzz-one: deps
	@$(MAKE) --no-print-directory deps PACKAGES="afl++ python3"
	@test -n "$(TARGET)" || { echo "usage: make fuzz-one TARGET=<name in fuzz/targets>"; exit 2; }
	FUZZ_SECONDS=$(FUZZ_SECONDS) sh fuzz/run.sh $(TARGET)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD)
