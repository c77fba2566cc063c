#!/usr/bin/env bash
# Builds everything and runs the whole test suite: a plain build, an
# AddressSanitizer + UndefinedBehaviorSanitizer build, a ThreadSanitizer build
# of the threaded tests, the libFuzzer targets for a short while each, and the
# Debian packages built, installed, used and removed (scripts/package-test.sh),
# and the Windows build cross-built and driven under wine64 against the Linux
# appliance (scripts/win-test.sh; skipped with a message where wine64 or
# mingw-w64 is missing; see docs/WINDOWS.md).
# Stages can be picked by name: scripts/run-tests.sh plain asan tsan fuzz package win
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=$(nproc)
# Many tests spend their time waiting on loopback peers and on clocks (the
# deadline and retry tests sleep for seconds): one test more than there are
# cores keeps the cores busy while one of them waits.
TEST_JOBS=$((JOBS + 1))
STAGES=("$@")
[ ${#STAGES[@]} -eq 0 ] && STAGES=(plain asan tsan fuzz package win)

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

configure() {  # dir, extra cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -Wno-dev "$@" >/dev/null
}

for stage in "${STAGES[@]}"; do
  echo "==== $stage ===="
  stage_start=$SECONDS
  case "$stage" in
    plain)
      configure build -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE=-O2
      cmake --build build -j"$JOBS"
      ctest --test-dir build -j"$TEST_JOBS" --output-on-failure --no-tests=error
      ;;
    asan)
      configure build-asan -DCMAKE_BUILD_TYPE=None -DKES_SANITIZE=address "-DCMAKE_CXX_FLAGS=-O1 -g1"
      cmake --build build-asan -j"$JOBS"
      ctest --test-dir build-asan -j"$TEST_JOBS" --output-on-failure --no-tests=error
      ;;
    tsan)
      configure build-tsan -DCMAKE_BUILD_TYPE=None -DKES_SANITIZE=thread "-DCMAKE_CXX_FLAGS=-O1 -g1"
      # Only the programs that hold threaded suites are built and run here.
      mapfile -t targets < <(grep -l 'Concurrency' tests/unit/*.cpp tests/integration/*.cpp 2>/dev/null |
        sed -E 's#tests/(unit|integration)/([^/]+)\.cpp#\1_\2#' | grep -v '/support_')
      if [ ${#targets[@]} -gt 0 ]; then
        cmake --build build-tsan -j"$JOBS" --target "${targets[@]}" rmanKESTRALON kestralon-sbttest
        ctest --test-dir build-tsan -j"$JOBS" --output-on-failure -R Concurrency --no-tests=ignore
      fi
      ;;
    fuzz)
      configure build-fuzz -DCMAKE_BUILD_TYPE=None -DKES_FUZZ=ON \
        -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 "-DCMAKE_CXX_FLAGS=-O1 -g1"
      mapfile -t targets < <(ls tests/fuzz/*.cpp 2>/dev/null | sed -E 's#tests/fuzz/([^/]+)\.cpp#fuzz_\1#')
      if [ ${#targets[@]} -gt 0 ]; then
        cmake --build build-fuzz -j"$JOBS" --target "${targets[@]}"
        ctest --test-dir build-fuzz -j"$JOBS" --output-on-failure -L fuzz --no-tests=ignore
      fi
      ;;
    package)
      rc=0
      scripts/package-test.sh || rc=$?
      if [ $rc -eq 77 ]; then echo "==== package skipped ===="; continue; fi
      [ $rc -eq 0 ] || exit $rc
      ;;
    win)
      rc=0
      scripts/win-test.sh || rc=$?
      if [ $rc -eq 77 ]; then echo "==== win skipped ===="; continue; fi
      [ $rc -eq 0 ] || exit $rc
      ;;
    *)
      echo "unknown stage $stage" >&2
      exit 2
      ;;
  esac
  echo "==== $stage passed in $((SECONDS - stage_start)) s ===="
done
echo "==== all stages passed: ${STAGES[*]} ===="
