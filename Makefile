# Ostrevo: `make run` builds and starts the program, `make test` builds and runs every test.
# Both install what a fresh Debian 12 machine is missing.

BUILD      ?= build
TSAN_BUILD ?= build-tsan
JOBS       ?= $(shell nproc)
SUDO       := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
WERROR     := $(if $(CI),ON,OFF)

PACKAGES := cmake g++ make pkg-config libgtest-dev libgmock-dev libsqlite3-dev sqlite3 \
            qt6-base-dev qt6-multimedia-dev qt6-svg-dev libqt6svg6 qt6-qpa-plugins \
            xvfb xauth trayer x11-apps x11-utils xdotool imagemagick fonts-wine xdg-utils \
            nftables iproute2 iputils-ping mtr-tiny util-linux procps \
            libcpp-httplib-dev python3-prometheus-client \
            dbus-daemon desktop-file-utils appstream groff-base man-db dpkg-dev libcap2-bin \
            clang libclang-rt-14-dev file binutils bsdextrautils faketime

.PHONY: all deps build run test tsan fuzz fuzz-replay bench clean install deb

all: build

deps:
	@missing=$$(for p in $(PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	    echo "Installing: $$missing"; \
	    $(SUDO) apt-get update -qq && \
	    DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DOSTREVO_WERROR=$(WERROR)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

run: build
	./$(BUILD)/app/ostrevo $(ARGS)

# The engine, settings and alerts tests run again under ThreadSanitizer: the worker thread must be race-free.
tsan: deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=tsan -DOSTREVO_BUILD_APP=OFF -DOSTREVO_WERROR=$(WERROR)
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	cd $(TSAN_BUILD) && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --output-on-failure

test: build
	cd $(BUILD) && ctest --output-on-failure
	$(MAKE) --no-print-directory fuzz-replay
	$(MAKE) --no-print-directory tsan

# Fuzz targets (clang, libFuzzer, ASan + UBSan) in their own build tree. `fuzz` runs each for FUZZ_SECONDS;
# `fuzz-replay` only runs the committed corpora, which takes seconds once built.
FUZZ_BUILD   ?= build-fuzz
FUZZ_SECONDS ?= 60
fuzz: deps
	FUZZ_BUILD=$(FUZZ_BUILD) JOBS=$(JOBS) bash fuzz/run.sh fuzz $(FUZZ_SECONDS)

fuzz-replay: deps
	FUZZ_BUILD=$(FUZZ_BUILD) JOBS=$(JOBS) bash fuzz/run.sh replay

# Installs into PREFIX (through sudo where PREFIX is not writable); DESTDIR stages it elsewhere.
PREFIX ?= /usr/local
install: build
	@if [ -n "$(DESTDIR)" ] || { mkdir -p "$(PREFIX)" 2>/dev/null && [ -w "$(PREFIX)" ]; }; then \
	    DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"; \
	else \
	    $(SUDO) cmake --install $(BUILD) --prefix "$(PREFIX)"; \
	fi

# $(BUILD)/ostrevo_<version>_<arch>.deb
deb: build
	cd $(BUILD) && cpack -G DEB

bench: build
	bash bench/run.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)
