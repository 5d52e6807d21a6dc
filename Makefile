# Developer entry points over the CMake presets in CMakePresets.json.
# Each target installs missing build tools first (tools/deps.sh), so on a
# fresh Debian machine `make run` and `make test` are all there is to do.

JOBS ?= 2
CMAKE ?= cmake
CTEST ?= ctest
# Warnings are errors in CI; locally they stay warnings unless WERROR=ON.
WERROR ?= $(if $(CI),ON,OFF)

DEPS = bash tools/deps.sh
MAKEFLAGS += --no-print-directory

# $(call build,PRESET[,TARGET]): configure (cheap when nothing changed) and
# build the preset's targets, or only TARGET.
define build
	$(CMAKE) --preset $(1) -DVTL_WERROR=$(WERROR) >/dev/null
	$(CMAKE) --build --preset $(1) -j $(JOBS) $(if $(2),--target $(2))
endef

.PHONY: all release run test test-deps e2e debug asan tsan win win-test fuzz dist bench clean deps

all: release

deps:
	@$(DEPS) native

# The programs the end-to-end tests drive (curl, git, nginx ...); after
# deps, so that two package installs never run at once under -j.
test-deps: deps
	@$(DEPS) tools

release: deps
	$(call build,release)

run: deps
	$(call build,release,vantrel)
	@echo "Starting build/release/vantrel (settings: build/release/vtl.ini; stop with Ctrl+C)"
	@cd build/release && exec ./vantrel

# Every test: the layering of the includes, the quick ones, then the
# transfers of several GiB (label "large"), which `ctest --preset release`
# leaves out.
test: test-deps release
	bash tools/check_layers.sh
	$(CTEST) --preset release
	$(CTEST) --preset large

e2e: test-deps release
	$(CTEST) --preset release -L e2e

debug: deps
	$(call build,debug)
	$(CTEST) --preset debug

asan: deps
	$(call build,asan)
	$(CTEST) --preset asan

tsan: deps
	$(call build,tsan)
	$(CTEST) --preset tsan

win:
	@$(DEPS) win
	$(call build,mingw)

win-test: win
	$(CTEST) --preset mingw

fuzz:
	@$(DEPS) ci
	bash fuzz/run.sh

dist:
	@$(DEPS) native win
	bash tools/dist.sh

# Micro-benchmarks of the hot paths; figures guard against regressions and
# are compared on one machine only. BENCH_ARGS go to Google Benchmark.
bench:
	@$(DEPS) native bench
	$(call build,bench)
	build/bench/bench/vtl_bench $(BENCH_ARGS)

clean:
	rm -rf build dist
