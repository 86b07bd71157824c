# Ostrevo: `make run` builds and starts the program, `make test` builds and runs every test.
# Both install what a fresh Debian 12 machine is missing.

BUILD      ?= build
TSAN_BUILD ?= build-tsan
JOBS       ?= $(shell nproc)
SUDO       := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
WERROR     := $(if $(CI),ON,OFF)

# What building and starting the program needs, and no more.
RUN_PACKAGES := cmake g++ make pkg-config libsqlite3-dev qt6-base-dev qt6-multimedia-dev qt6-svg-dev libqt6svg6 \
                qt6-qpa-plugins libcpp-httplib-dev \
                libyaml-cpp-dev libssl-dev libcrypt-dev
# What the tests, benchmarks, fuzzing and package checks need besides.
TEST_PACKAGES := libgtest-dev libgmock-dev sqlite3 \
                 xvfb xauth trayer x11-apps x11-utils xdotool imagemagick fonts-wine xdg-utils \
                 nftables iproute2 iputils-ping mtr-tiny fping util-linux procps python3-prometheus-client python3-yaml \
                 dbus-daemon desktop-file-utils appstream groff-base man-db dpkg-dev libcap2-bin lintian \
                 clang libclang-rt-14-dev file binutils bsdextrautils faketime curl openssl systemd prometheus \
                 prometheus-smokeping-prober
PACKAGES := $(RUN_PACKAGES) $(TEST_PACKAGES)
# The program, the modules it loads and the console probe: all that `make run` compiles; `make install` adds the
# service and the compressed pages.
PROGRAM_TARGETS := ostrevo ostrevo_sound_module ostrevo_metrics_module ostrevo-probe
INSTALL_TARGETS := $(PROGRAM_TARGETS) ostrevod ostrevo_compressed_docs

.PHONY: all deps deps-run build build-program run test tsan fuzz fuzz-replay bench clean install uninstall deb

all: build

# install_missing(PACKAGES): apt-get installs those that are not installed yet.
define install_missing
	@missing=$$(for p in $(1); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	    echo "Installing: $$missing"; \
	    $(SUDO) apt-get update -qq && \
	    DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi
endef

deps:
	$(call install_missing,$(PACKAGES))

deps-run:
	$(call install_missing,$(RUN_PACKAGES))

# A tree configured by `make run` has no tests; the first `make test` adds them.
build: deps
	@if [ ! -f $(BUILD)/CMakeCache.txt ] || grep -q '^BUILD_TESTING:BOOL=OFF' $(BUILD)/CMakeCache.txt; then \
	    cmake -S . -B $(BUILD) -DOSTREVO_WERROR=$(WERROR) -DBUILD_TESTING=ON; \
	fi
	cmake --build $(BUILD) -j $(JOBS)

build-program: deps-run
	@[ -f $(BUILD)/CMakeCache.txt ] || cmake -S . -B $(BUILD) -DOSTREVO_WERROR=$(WERROR) -DBUILD_TESTING=OFF
	cmake --build $(BUILD) -j $(JOBS) --target $(if $(filter install,$(MAKECMDGOALS)),$(INSTALL_TARGETS),$(PROGRAM_TARGETS))

run: build-program
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
install: build-program
	@if [ -n "$(DESTDIR)" ] || { mkdir -p "$(PREFIX)" 2>/dev/null && [ -w "$(PREFIX)" ]; }; then \
	    DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"; \
	else \
	    $(SUDO) cmake --install $(BUILD) --prefix "$(PREFIX)"; \
	fi

# Removes what `make install` put in place, as listed in $(BUILD)/install_manifest.txt, and the program's own
# folders that are left empty.
uninstall:
	@manifest="$(BUILD)/install_manifest.txt"; \
	if [ ! -f "$$manifest" ]; then \
	    echo "make uninstall: $$manifest is missing; run it in the tree that make install installed from" >&2; exit 1; \
	fi; \
	run=; while IFS= read -r file; do \
	    [ -e "$$file" ] || [ -L "$$file" ] || continue; [ -w "$$(dirname "$$file")" ] || run="$(SUDO)"; \
	done <"$$manifest"; \
	xargs -r -d '\n' $$run rm -f -- <"$$manifest"; \
	for dir in $$(xargs -r -d '\n' -n1 dirname <"$$manifest" | sort -ru); do \
	    case "$$dir" in */ostrevo|*/ostrevo/*) $$run rmdir --ignore-fail-on-non-empty "$$dir" 2>/dev/null || true ;; esac; \
	done; \
	echo "Removed the $$(wc -l <"$$manifest") files listed in $$manifest"

# $(BUILD)/ostrevo_<version>_<arch>.deb
deb: build
	cd $(BUILD) && cpack -G DEB

bench: build
	bash bench/run.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)
