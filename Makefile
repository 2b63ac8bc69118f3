# Thin driver around CMake: `make` builds, `make test` runs the suite, `make demo` runs an update
# against the simulated device. Installs the build tools a fresh machine lacks.

BUILD    ?= build
JOBS     ?= 2
CMAKE    ?= cmake
GENERATE  = $(CMAKE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

.PHONY: all deps deps-windows deps-web deps-browser deps-qemu configure test test-sanitize fuzz windows test-windows web-build web web-screenshots install demo bench hil clean

all: configure
	$(CMAKE) --build $(BUILD) -j$(JOBS)

# Everything the build and the suite need, from Debian's packages, installed only when missing.
DEB_PACKAGES = cmake g++ make libgtest-dev libgmock-dev clang libclang-rt-14-dev srecord binutils libmbedtls-dev nlohmann-json3-dev socat openssl
deps:
	@missing=""; for p in $(DEB_PACKAGES); do \
	    dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	    echo "installing:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

configure: deps
	@test -f $(BUILD)/CMakeCache.txt || $(GENERATE)

test: all web-build deps-browser deps-qemu
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS) --timeout 240 --label-exclude windows

# The whole suite again, every program built with AddressSanitizer and UndefinedBehaviorSanitizer,
# but for the tests that time an adapter or the benchmark's figures: they take minutes, and the
# sanitizers' own slowness is all they would measure.
SANITIZE_BUILD = build-sanitize
SANITIZE_SKIPS = SlowAdapterIsTold|BenchAddsRowsMeasured|bench_smoke
test-sanitize: deps
	@test -f $(SANITIZE_BUILD)/CMakeCache.txt || $(CMAKE) -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=Debug \
	    -DUPDATER_SANITIZE=ON -DUPDATER_PAYLOAD_OFFSET=8388608
	$(CMAKE) --build $(SANITIZE_BUILD) -j$(JOBS)
	cd $(SANITIZE_BUILD) && ctest --output-on-failure -j$(JOBS) --timeout 180 --label-exclude 'windows|web' \
	    -E '$(SANITIZE_SKIPS)'

# libFuzzer targets for the update file reader and the packer's image input, FUZZ_SECONDS each,
# starting from the committed seeds; what they find new is kept in $(FUZZ_BUILD)/corpus-*.
FUZZ_BUILD   = build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = update_file load_file
fuzz: deps
	@test -f $(FUZZ_BUILD)/CMakeCache.txt || $(CMAKE) -S fuzz -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++
	$(CMAKE) --build $(FUZZ_BUILD) -j$(JOBS)
	@for target in $(FUZZ_TARGETS); do \
	    mkdir -p $(FUZZ_BUILD)/corpus-$$target && \
	    echo "fuzzing $$target for $(FUZZ_SECONDS) s" && \
	    $(FUZZ_BUILD)/fuzz_$$target -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	        -artifact_prefix=$(FUZZ_BUILD)/crash-$$target- \
	        $(FUZZ_BUILD)/corpus-$$target fuzz/corpus/$$target 2>$(FUZZ_BUILD)/$$target.log; \
	    status=$$?; grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|INFO: seed corpus|==[0-9]+==ERROR|SUMMARY)' \
	        $(FUZZ_BUILD)/$$target.log; \
	    if [ $$status -ne 0 ]; then tail -50 $(FUZZ_BUILD)/$$target.log; exit $$status; fi; \
	done

# The Windows program: the shipped 32-bit build (build-win32/updater.exe). The tests run it under
# Debian's i386 Wine through qemu-i386, unpacked into $(WINE32_DIR) (see tests/windows/wine32.sh);
# while they run, the kernel hands i386 programs to qemu-i386 (a binfmt entry, root only). One test
# at a time: two emulated wine programs starting side by side on two cores starve a running
# transfer past its write timeout (10 ms a byte), and the device sees a broken frame.
WINDOWS_PACKAGES = g++-mingw-w64-i686 binutils-mingw-w64-i686 wine64 osslsigncode openssl nlohmann-json3-dev
WINE32_DIR = $(abspath $(BUILD))/wine32
deps-windows:
	@missing=""; for p in $(WINDOWS_PACKAGES); do \
	    dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	    echo "installing:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	fi

windows: deps-windows
	@test -f build-win32/CMakeCache.txt || $(CMAKE) -S . -B build-win32 -DCMAKE_BUILD_TYPE=Release \
	    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
	$(CMAKE) --build build-win32 -j$(JOBS)

test-windows: all windows
	@bash tests/windows/wine32.sh setup $(WINE32_DIR)
	cd $(BUILD) && UPDATER_WIN32_EXE=$(abspath build-win32/updater.exe) \
	    UPDATER_WIN32_SHA256=$(abspath build-win32/sha256_file.exe) \
	    UPDATER_WIN32_PORT_KEYS=$(abspath build-win32/port_keys.exe) \
	    bash ../tests/windows/wine32.sh run $(WINE32_DIR) \
	    ctest --output-on-failure -j1 --timeout 900 --label-regex windows

# The web page (web/): the update core and its web front end compiled to WebAssembly by Debian's
# emscripten, with the simulated device for the page's stand-in port, in $(WEB_BUILD). Debian's
# emscripten finds the acorn of Debian's Node.js modules only through NODE_PATH; its prebuilt cache
# stays where the package put it.
WEB_BUILD = build-web
WEB_PORT ?= 8080
EMSCRIPTEN_ENV = NODE_PATH=/usr/share/nodejs
deps-web:
	@dpkg-query -W -f='$${Status}' emscripten 2>/dev/null | grep -q 'install ok installed' || { \
	    echo "installing: emscripten"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq emscripten; }
	@command -v node >/dev/null || { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq nodejs npm; }

# KEY=vendor.pub: the page takes only files signed by that key (configured anew each time, so
# that a build without KEY trusts none).
KEY =
BUILD_WEB_STEPS = $(EMSCRIPTEN_ENV) emcmake $(CMAKE) -S . -B $(WEB_BUILD) -DCMAKE_BUILD_TYPE=Release \
	    -DUPDATER_TRUSTED_KEY=$(if $(KEY),$(abspath $(KEY))) && \
	$(EMSCRIPTEN_ENV) $(CMAKE) --build $(WEB_BUILD) -j$(JOBS)
web-build: deps-web
	$(BUILD_WEB_STEPS)

# Serves the page on http://localhost:$(WEB_PORT)/ with the example update file, and the simulated
# device in place of a serial port; DEVICE=real offers the browser's real ports instead.
DEVICE ?= simulated
# Built quietly, as for the demo, so that the address stands alone.
web: configure deps-web
	@$(CMAKE) --build $(BUILD) -j$(JOBS) >$(BUILD)/build.log 2>&1 || { cat $(BUILD)/build.log; exit 1; }
	@{ $(BUILD_WEB_STEPS); } >$(BUILD)/web-build.log 2>&1 || { cat $(BUILD)/web-build.log; exit 1; }
	@node tools/web/serve.mjs --page web --build $(WEB_BUILD) --file $(BUILD)/example/update --port $(WEB_PORT) \
	    $(if $(filter simulated,$(DEVICE)),--simulate)

# The README's pictures of the page, taken by its tests in the browser.
web-screenshots: all web-build deps-browser
	node tests/web/page_test.mjs --build $(WEB_BUILD) --file $(BUILD)/example/update --screenshots docs/web
	node tests/web/usb_test.mjs --build $(WEB_BUILD) --file $(BUILD)/example/update --screenshots docs/web

# The page's tests run in Debian's headless Chromium, driven by the playwright-core of the committed
# lock file (tests/web), which downloads no browser.
deps-browser: deps-web
	@dpkg-query -W -f='$${Status}' chromium 2>/dev/null | grep -q 'install ok installed' || { \
	    echo "installing: chromium"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq chromium; }
	@cmp -s tests/web/package-lock.json tests/web/node_modules/.installed-lock 2>/dev/null || \
	    (cd tests/web && npm ci --no-audit --no-fund --loglevel=error && cp package-lock.json node_modules/.installed-lock)

# The emulated machine of the tests over the kernel's own serial drivers (tests/qemu): QEMU from
# Debian's packages; Debian's kernel and busybox fetched into $(QEMU_CACHE) with apt-get download
# and unpacked there, once, without installing them.
QEMU_CACHE = $(BUILD)/qemu-cache
deps-qemu:
	@dpkg-query -W -f='$${Status}' qemu-system-x86 2>/dev/null | grep -q 'install ok installed' || { \
	    echo "installing: qemu-system-x86"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends qemu-system-x86; }
	@test -d $(QEMU_CACHE)/root || sh tests/qemu/fetch.sh $(QEMU_CACHE)

# Installs mkupdate, loader-sim and the updater stubs that were built (the Windows one when
# `make windows` made it) under PREFIX.
PREFIX ?= /usr/local
install: all
	$(CMAKE) --install $(BUILD) --prefix $(PREFIX)
	@if [ -f build-win32/updater.exe ]; then $(CMAKE) --install build-win32 --prefix $(PREFIX); fi

# Built quietly (the build's output only when it fails), so that the run starts on a clean screen.
demo: configure
	@$(CMAKE) --build $(BUILD) -j$(JOBS) >$(BUILD)/build.log 2>&1 || { cat $(BUILD)/build.log; exit 1; }
	@sh tools/demo.sh $(BUILD)

# Hardware in the loop: PORTS="HOST_PORT DEVICE_PORT", two serial ports joined by a null-modem
# cable; without PORTS it explains itself.
PORTS ?=
hil: all
	@sh tools/hil.sh $(BUILD) $(PORTS)

# The updater against the wire's limit, and the web page's host time against the updater's, and the
# page's EEPROM over WebUSB FTDI with and without the latency timer set; the table goes to
# bench/results.md. BENCH_RUNS runs each.
# With PORTS="HOST_PORT DEVICE_PORT" (see hil), rows measured over those two ports as well.
BENCH_RUNS ?= 5
bench: all web-build deps-browser
	node tests/web/page_bench.mjs --build $(WEB_BUILD) --file $(BUILD)/example/update --runs $(BENCH_RUNS) \
	    --usb $(WEB_BUILD)/page-usb.txt >$(WEB_BUILD)/page-trips.txt
	$(BUILD)/bench $(BUILD)/example/update --runs $(BENCH_RUNS) --markdown bench/results.md \
	    --page-trips $(WEB_BUILD)/page-trips.txt --page-usb $(WEB_BUILD)/page-usb.txt $(if $(strip $(PORTS)),--ports $(PORTS))

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(FUZZ_BUILD) build-win32
