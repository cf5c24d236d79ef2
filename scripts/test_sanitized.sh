#!/usr/bin/env bash
# Run the test suite once more against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer: its own venv (.venv-asan) and build folder
# (build/asan), set up by bootstrap.sh like the normal one.  Any sanitizer
# report fails the run, including one from a child interpreter that a test
# spawns: every process writes its reports into build/sanitizer-logs, and the
# folder must stay empty.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
LOGS="$ROOT/build/sanitizer-logs"

# The runtime preloaded below is g++'s, so the modules are built with g++ too.
command -v g++ >/dev/null || { echo "test_sanitized: g++ not found" >&2; exit 1; }
runtime() {
    local lib
    lib="$(g++ -print-file-name="$1")"
    if [ "$lib" = "$1" ] || [ ! -f "$lib" ]; then
        echo "test_sanitized: g++ has no $1" >&2
        return 1
    fi
    echo "$lib"
}
ASAN_LIB="$(runtime libasan.so)"
UBSAN_LIB="$(runtime libubsan.so)"

# Frame pointers give whole stacks for the "allocated by" / "freed by" parts.
# -Db_lundef=false: the modules may leave symbols to the preloaded runtime.
# Undefined behaviour stays recoverable at compile time so that the
# suppressions below can apply; UBSAN_OPTIONS' halt_on_error makes every other
# report abort like an ASan error.
SETUP="-Csetup-args=-Db_sanitize=address,undefined -Csetup-args=-Db_lundef=false"
SETUP+=" -Csetup-args=-Dbuildtype=debugoptimized -Csetup-args=-Dcpp_args=-fno-omit-frame-pointer"
PY="$(CXX=g++ PRIVATE_CORE_EXTRAS="test ${PRIVATE_CORE_EXTRAS:-}" PRIVATE_CORE_VENV="$ROOT/.venv-asan" PRIVATE_CORE_BUILD_DIR="$ROOT/build/asan" \
      PRIVATE_CORE_BUILD_ARGS="$SETUP ${PRIVATE_CORE_BUILD_ARGS:-}" bash "$ROOT/scripts/bootstrap.sh")"

rm -rf "$LOGS"
mkdir -p "$LOGS"
# g++'s UBSan runtime is a library of its own beside ASan's, and the dynamic
# linker sends its set-up of UBSAN_OPTIONS' log_path to ASan's copy: its
# reports would go to stderr, where a test running a child interpreter may
# never look.  Every interpreter of .venv-asan points them at the log folder
# as it starts, through a .pth file (children that drop PYTHONPATH keep it).
SITE_PACKAGES="$("$PY" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')"
cat > "$SITE_PACKAGES/_sanitizer_logs.py" <<PY
import ctypes, os
logs = os.environ.get("PRIVATE_CORE_SANITIZER_LOGS")
try:
    ubsan = ctypes.CDLL("$UBSAN_LIB", mode=os.RTLD_NOLOAD) if logs else None
except OSError:  # started without the preload
    ubsan = None
if ubsan is not None:
    ubsan.__sanitizer_set_report_path(os.path.join(logs, "ubsan").encode())
PY
echo "import _sanitizer_logs" > "$SITE_PACKAGES/_sanitizer_logs.pth"

# The toolkit lets a thread's teardown (a daemon thread at interpreter exit)
# through every boundary with `catch (abi::__forced_unwind&) { throw; }`: the
# ABI binds that reference to no object, by design.
SUPPRESSIONS="$ROOT/build/ubsan-suppressions.txt"
echo "null:src/kit/" > "$SUPPRESSIONS"

# Instrumented frames are several times larger, and a cycle of native calls
# may go as deep as the interpreter's C recursion limit before it raises.
STACK_KIB=65536
if [ "$(ulimit -s)" != unlimited ] && [ "$(ulimit -s)" -lt "$STACK_KIB" ]; then
    ulimit -S -s "$STACK_KIB" 2>/dev/null || ulimit -S -s hard
fi
cd "$ROOT"
unset PYTHONPATH
# The builds that tests start (wheel, sdist) use the venv's meson and ninja too.
export PATH="$(dirname "$PY"):$PATH"
# Children inherit all of this: the preload, the options and the log folder.
# Freed memory sits in the sanitizer's quarantine, so tests marked `rss`
# (resident size stays flat) skip themselves when PRIVATE_CORE_SANITIZED is set.
export PRIVATE_CORE_SANITIZED=1 PRIVATE_CORE_SANITIZER_LOGS="$LOGS"
export LD_PRELOAD="$ASAN_LIB $UBSAN_LIB"
export PYTHONMALLOC=malloc
# Returns of stack addresses are caught on ASan's fake stack; with it the
# instrumented frames and their redzones live off the machine stack, which
# greenlet copies aside and back on every switch.
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:detect_stack_use_after_return=1:log_path=$LOGS/asan${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
# UBSAN_OPTIONS' log_path reaches ASan's runtime (see above), hence the same.
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:suppressions=$SUPPRESSIONS:log_path=$LOGS/asan${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"

status=0
"$PY" -m pytest -q -p no:cacheprovider "$@" || status=$?

unset LD_PRELOAD
reports=("$LOGS"/*)
if [ -e "${reports[0]}" ]; then
    for report in "${reports[@]}"; do
        echo "=== sanitizer report: $report" >&2
        cat "$report" >&2
    done
    echo "test_sanitized: ${#reports[@]} sanitizer report(s)" >&2
    [ "$status" -ne 0 ] || status=1
fi
exit "$status"
