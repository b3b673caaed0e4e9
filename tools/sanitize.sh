#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer into
# its own build directory (the installed package is not touched) and runs the
# whole test suite against that build.
#
#   bash tools/sanitize.sh [extra pytest arguments]
#
# Allocation stacks stop at the first interpreter frame (the interpreter has
# no frame pointers); for whole stacks while chasing a report, at a cost of
# about twenty times the run time:
#   VELKORA_ASAN_OPTIONS=fast_unwind_on_malloc=0 bash tools/sanitize.sh -k name
#
# The interpreter is not built with ASan, so the ASan runtime is preloaded.
# PYTHONMALLOC=malloc sends every Python object through malloc, so ASan sees
# Python objects freed too early (an extra decref) and LeakSanitizer can tell
# reachable interpreter memory from memory the module lost (a missing decref,
# a C++ value never destroyed). Reports are written to files and any report
# fails the run, also one from a child interpreter started by a test.
set -euo pipefail
cd "$(dirname "$0")/.."

py=$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')  # the real binary, not a shim
build=${VELKORA_SANITIZE_BUILD:-build/sanitize}

for tool in cmake ninja; do
    command -v "$tool" >/dev/null 2>&1 || "$py" -m pip install --quiet "$tool"
done

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELKORA_SANITIZE=ON \
      -DPython_EXECUTABLE="$py" >/dev/null
cmake --build "$build"

cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
libasan=$("$cxx" -print-file-name=libasan.so)
if [[ "$libasan" != /* ]]; then
    echo "sanitize: $cxx has no shared ASan runtime (libasan.so); a GCC toolchain is needed" >&2
    exit 2
fi

logs=$(mktemp -d "${TMPDIR:-/tmp}/velkora-sanitize.XXXXXX")
trap 'rm -rf "$logs"' EXIT

status=0
env LD_PRELOAD="$libasan" \
    PYTHONMALLOC=malloc \
    PYTHONPATH="$PWD/$build${PYTHONPATH:+:$PYTHONPATH}" \
    VELKORA_SANITIZED=1 \
    ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:strict_string_checks=1:check_initialization_order=1:detect_stack_use_after_return=1:log_path=$logs/asan:log_exe_name=1${VELKORA_ASAN_OPTIONS:+:$VELKORA_ASAN_OPTIONS}" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs/ubsan:log_exe_name=1" \
    "$py" -m pytest -p no:cacheprovider "$@" || status=$?

# Reports name the executable. Other programs that the test run happens to
# start (pytest plugins call git, for instance) are not the module's concern.
exe=$(basename "$py")
reports=()
for f in "$logs"/*; do
    [[ -e "$f" ]] || continue
    case "$(basename "$f")" in
        *san."$exe".*) reports+=("$f") ;;
        *) echo "sanitize: ignoring a report from another program: $(basename "$f")" >&2 ;;
    esac
done
if [[ ${#reports[@]} -gt 0 ]]; then
    for f in "${reports[@]}"; do
        echo "===== sanitizer report: $(basename "$f")" >&2
        cat "$f" >&2
    done
    echo "sanitize: FAILED, the sanitizers reported errors (above)" >&2
    exit 1
fi
if [[ $status -ne 0 ]]; then
    echo "sanitize: FAILED, pytest exited with status $status" >&2
    exit "$status"
fi
echo "sanitize: passed, no sanitizer reports"
