# Thin driver around CMake: `make` builds, `make test` runs the suite, `make demo` runs an update
# against the simulated device. Installs the build tools a fresh machine lacks.

BUILD    ?= build
JOBS     ?= 2
CMAKE    ?= cmake
GENERATE  = $(CMAKE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

.PHONY: all deps configure test demo bench clean

all: configure
	$(CMAKE) --build $(BUILD) -j$(JOBS)

# Everything the build and the suite need, from Debian's packages, installed only when missing.
DEB_PACKAGES = cmake g++ make libgtest-dev libgmock-dev
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

test: all
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS) --timeout 120

demo: all
	@sh tools/demo.sh $(BUILD)

bench: all
	@sh tools/bench.sh $(BUILD)

clean:
	rm -rf $(BUILD)
