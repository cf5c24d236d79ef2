#!/usr/bin/env bash
# The version matrix: builds and tests the project on every CPython it
# supports from this one source.  CPython 3.13 is the host's (scripts/test.sh);
# 3.14, 3.15 and 3.14's debug interpreter (Py_DEBUG) come from Debian
# unstable, in a minimal tree made with debootstrap and entered with chroot.
#
#   bash scripts/pythons.sh                        # 3.13, 3.14, 3.15, 3.14d: the whole suite on each
#   bash scripts/pythons.sh 3.14 3.15 -- -x tests/stash   # the named versions, pytest arguments after --
#   bash scripts/pythons.sh wheels                 # a wheel per version (cp313, cp314, cp315), each
#                                                  # installed in a fresh venv and run with the README example
#   bash scripts/pythons.sh shell                  # a shell inside the tree, the project mounted
#
# Needs root (debootstrap, mounts, chroot).  The tree lives outside the
# repository, in PRIVATE_CORE_PYTHONS_CACHE (default
# /var/cache/private-core-pythons), and later runs on the same machine reuse
# it: it is made again only when the wanted packages change.  The Debian
# mirror is the host's own, read from its apt sources (PRIVATE_CORE_DEBIAN_MIRROR
# overrides it).  Inside the tree the project is bind-mounted at its own
# path; each version has its venv (.venv-3.14, .venv-3.15, .venv-3.14d) and
# build folder (build/py3.14, ...), made by scripts/bootstrap.sh.
#
# PRIVATE_CORE_DEBUG_ARGS: the pytest arguments of the debug interpreter's
# run, before the ones given (default: none; `-m "not slow"` shortens it).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
CACHE="${PRIVATE_CORE_PYTHONS_CACHE:-/var/cache/private-core-pythons}"
TREE="$CACHE/sid"
# What the tree holds besides minbase: the interpreters with their headers
# and venv, 3.14's debug build, the compiler and what the suite runs (git for
# the sdist, ca-certificates for pip).
PACKAGES="python3.14 python3.14-dev python3.14-venv python3.14-dbg
          python3.15 python3.15-dev python3.15-venv
          g++ git ca-certificates"
DEFAULT_VERSIONS=(3.13 3.14 3.15 3.14d)
WHEEL_VERSIONS=(3.14 3.15)

say() { echo "pythons: $*" >&2; }
die() { say "$*"; exit 1; }
timed() {  # timed LABEL CMD...: runs CMD and says how long it took, and its processor time
    local label="$1" status=0 TIMEFORMAT
    shift
    TIMEFORMAT="pythons: $label: %0R s (processor: %0U s user, %0S s system)"
    time "$@" || status=$?
    [ "$status" -eq 0 ] || say "$label: failed (exit $status)"
    return "$status"
}

# The host's Debian mirror: the first URI of its apt sources that serves the
# host's own release (one-line .list files or deb822 .sources files).
host_mirror() {
    local codename files=()
    codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
    [ -n "$codename" ] || return 1
    [ -f /etc/apt/sources.list ] && files+=(/etc/apt/sources.list)
    for f in /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] && files+=("$f")
    done
    [ "${#files[@]}" -gt 0 ] || return 1
    awk -v want="$codename" '
        function stanza_end() {
            if (deb822 && types ~ /(^| )deb( |$)/ && (" " suites " ") ~ (" " want " ")) {
                split(uris, u, " "); print u[1]; exit
            }
            uris = ""; suites = ""; types = ""
        }
        FNR == 1 { stanza_end(); deb822 = FILENAME ~ /\.sources$/ }
        /^[[:space:]]*#/ { next }
        !deb822 {
            if ($1 != "deb") next
            i = 2
            if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
            if ($(i + 1) == want) { print $i; exit }
            next
        }
        /^[[:space:]]*$/ { stanza_end(); next }
        tolower($1) == "uris:" { $1 = ""; uris = $0 }
        tolower($1) == "suites:" { $1 = ""; suites = $0 }
        tolower($1) == "types:" { $1 = ""; types = $0 }
        END { stanza_end() }
    ' "${files[@]}" | sed 's/^ *//; s#/*$##' | head -n 1
}

# Makes the tree when it is missing or holds other packages than wanted.
prepare_tree() {
    local wanted mirror
    wanted="$(echo $PACKAGES)"
    if [ -f "$TREE/.private-core-packages" ] && [ "$(cat "$TREE/.private-core-packages")" = "$wanted" ]; then
        return 0
    fi
    [ "$(id -u)" = 0 ] || die "making the Debian unstable tree needs root"
    mirror="${PRIVATE_CORE_DEBIAN_MIRROR:-$(host_mirror || true)}"
    [ -n "$mirror" ] || die "no Debian mirror in the host's apt sources; set PRIVATE_CORE_DEBIAN_MIRROR"
    if ! command -v debootstrap >/dev/null; then
        say "installing debootstrap"
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >&2 ||
            { apt-get update -qq >&2 && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >&2; }
    fi
    if [ ! -f "$TREE/.private-core-debootstrap" ]; then
        say "making a minimal Debian unstable tree in $TREE"
        rm -rf "$TREE"
        mkdir -p "$CACHE"
        timed debootstrap debootstrap --variant=minbase sid "$TREE" "$mirror" > "$CACHE/debootstrap.log" 2>&1 ||
            { tail -n 30 "$CACHE/debootstrap.log" >&2; die "debootstrap failed; its log: $CACHE/debootstrap.log"; }
        touch "$TREE/.private-core-debootstrap"
    fi
    # The mirror's unstable Release file may be past its Valid-Until date.
    echo "deb $mirror sid main" > "$TREE/etc/apt/sources.list"
    cat > "$TREE/etc/apt/apt.conf.d/90private-core" <<'EOF'
Acquire::Check-Valid-Until "false";
APT::Install-Recommends "false";
APT::Install-Suggests "false";
EOF
    # pip inside the tree goes through the same certificates and settings as
    # the host's.
    mkdir -p "$TREE/usr/local/share/ca-certificates"
    if compgen -G "/usr/local/share/ca-certificates/*" >/dev/null; then
        cp -r /usr/local/share/ca-certificates/. "$TREE/usr/local/share/ca-certificates/"
    fi
    [ -f /etc/pip.conf ] && cp /etc/pip.conf "$TREE/etc/pip.conf"
    say "installing $wanted"
    # shellcheck disable=SC2086
    timed "apt install" in_tree sh -c "apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $wanted >/dev/null && update-ca-certificates >/dev/null" \
        > "$CACHE/apt.log" 2>&1 || { tail -n 30 "$CACHE/apt.log" >&2; die "apt-get in the tree failed; its log: $CACHE/apt.log"; }
    echo "$wanted" > "$TREE/.private-core-packages"
}

# in_tree CMD...: runs CMD inside the tree, in a mount namespace of its own
# (the mounts go away with it): /proc, /dev and the project at its own path
# (with the repository's git folder when it lives elsewhere, as a worktree's).
in_tree() {
    local gitdir=""
    if [ -f "$ROOT/.git" ]; then
        gitdir="$(git -C "$ROOT" rev-parse --git-common-dir 2>/dev/null || true)"
        case "$gitdir" in /*) ;; *) gitdir="" ;; esac
    fi
    cp /etc/resolv.conf "$TREE/etc/resolv.conf" 2>/dev/null || true
    mkdir -p "$TREE$ROOT" ${gitdir:+"$TREE$gitdir"}
    unshare --mount --propagation private -- sh -c '
        set -e
        tree="$1" root="$2" gitdir="$3"
        shift 3
        mount -t proc proc "$tree/proc"
        mount --rbind /dev "$tree/dev"
        mount --bind "$root" "$tree$root"
        [ -z "$gitdir" ] || mount --bind "$gitdir" "$tree$gitdir"
        exec chroot "$tree" env -i HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" CI="${CI:-}" \
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
    ' in_tree "$TREE" "$ROOT" "$gitdir" "$@"
}

# The venv, build folder and set-up of one version inside the tree.
version_env() {  # version_env VERSION: sets ENV_ARGS, bootstrap.sh's environment
    local v="$1"
    # A warning fails the build: every version builds without one.
    local args="-Csetup-args=-Dwerror=true"
    # The debug interpreter's modules keep the C API's assertions (no NDEBUG).
    [ "${v%d}" != "$v" ] && args+=" -Csetup-args=-Dbuildtype=debugoptimized"
    # meson-python runs meson and ninja from PATH: the venv's (the tree has none).
    ENV_ARGS=("PATH=$ROOT/.venv-$v/bin:/usr/local/bin:/usr/bin:/bin" "PRIVATE_CORE_PYTHON=python$v"
              "PRIVATE_CORE_VENV=$ROOT/.venv-$v" "PRIVATE_CORE_BUILD_DIR=$ROOT/build/py$v"
              "PRIVATE_CORE_BUILD_ARGS=$args" "PRIVATE_CORE_EXTRAS=test")
}

test_version() {  # test_version VERSION PYTEST-ARGS...
    local v="$1" extra=()
    shift
    if [ "$v" = 3.13 ]; then
        timed "3.13 (host): build and suite" bash "$ROOT/scripts/test.sh" "$@"
        return
    fi
    if [ "${v%d}" != "$v" ] && [ -n "${PRIVATE_CORE_DEBUG_ARGS:-}" ]; then
        eval "extra=($PRIVATE_CORE_DEBUG_ARGS)"
    fi
    version_env "$v"
    timed "$v: build" in_tree env "${ENV_ARGS[@]}" bash "$ROOT/scripts/bootstrap.sh" >/dev/null || return
    # As scripts/test.sh runs it, with a time limit: a hang fails the run
    # instead of eating CI's time.
    timed "$v: suite" in_tree env "${ENV_ARGS[@]}" sh -c 'cd "$1" && shift && exec timeout -k 30 "$@"' suite "$ROOT" \
        "${PRIVATE_CORE_SUITE_TIMEOUT:-1800}" "$ROOT/.venv-$v/bin/python" -m pytest -q -p no:cacheprovider \
        ${extra[@]+"${extra[@]}"} "$@"
}

# A wheel per version into dist/, each installed into a fresh venv of its
# interpreter and run with the README's example against the simulator.
wheel_step() {  # wheel_step PYTHON: inside the tree or on the host
    local py="$1" tag work check wheel
    tag="$("$py" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')"
    work="$ROOT/build/wheel-$tag"
    mkdir -p "$work" "$ROOT/dist"
    # Each step checks its status: errexit does not reach into a function
    # that runs on the left of ||, as under timed.
    [ -x "$work/venv/bin/python" ] || "$py" -m venv "$work/venv" || return
    "$work/venv/bin/python" -m pip install -q "meson-python>=0.16" "meson>=1.4" "ninja>=1.11" || return
    rm -f "$ROOT"/dist/private_core-*-"$tag"-"$tag"-*.whl
    PATH="$work/venv/bin:$PATH" "$work/venv/bin/python" -m pip wheel -q --no-build-isolation --no-deps \
        -Cbuild-dir="$work/build" -w "$ROOT/dist" "$ROOT" || return
    wheel="$(ls "$ROOT"/dist/private_core-*-"$tag"-"$tag"-*.whl)" || return
    check="$work/check"
    rm -rf "$check"
    "$py" -m venv "$check" || return
    "$check/bin/python" -m pip install -q "$wheel" "$ROOT/varnix_layer" || return
    # The README's example, as tests/test_readme.py runs it, but with the
    # wheel's modules (the project's root gives only the simulator).
    (cd "$ROOT" && "$check/bin/python" - >/dev/null <<'PY'
import re
import sys
from pathlib import Path
from varnix_sim import Simulator
import private_core
assert Path(private_core.__file__).is_relative_to(sys.prefix), private_core.__file__
(example,) = re.findall(r"```python\n(.*?)```", Path("README.md").read_text(), re.S)
with Simulator(today="2025-06-30") as sim:
    exec(compile(example.replace("http://127.0.0.1:8765/api/v1/varnix", sim.base_url), "README.md", "exec"),
         {"__name__": "readme_example"})
PY
    ) || return
    echo "$wheel"
}

main() {
    local versions=() pytest_args=() lock
    if [ "${1:-}" = --wheel-step ]; then  # inside the tree, from `wheels`
        wheel_step "$2"
        return
    fi
    mkdir -p "$CACHE"
    # One run of the tree at a time: builds share the machine's cores.
    exec {lock}>"$CACHE/lock"
    flock "$lock"
    case "${1:-}" in
    tree)
        prepare_tree
        return ;;
    shell)
        prepare_tree
        in_tree bash -c "cd '$ROOT' && exec bash -i"
        return ;;
    wheels)
        prepare_tree
        # 3.13 is the host's, as set up for the test command.
        local py313
        py313="$("$(bash "$ROOT/scripts/bootstrap.sh")" -c 'import sys; print(sys._base_executable)')"
        timed "cp313 wheel (host)" wheel_step "$py313" || return
        for v in "${WHEEL_VERSIONS[@]}"; do
            timed "cp${v/./} wheel" in_tree bash "$ROOT/scripts/pythons.sh" --wheel-step "python$v" || return
        done
        ls "$ROOT"/dist/private_core-*.whl
        return ;;
    esac
    while [ "$#" -gt 0 ] && [ "$1" != -- ]; do versions+=("$1"); shift; done
    [ "${1:-}" = -- ] && shift
    pytest_args=("$@")
    [ "${#versions[@]}" -gt 0 ] || versions=("${DEFAULT_VERSIONS[@]}")
    for v in "${versions[@]}"; do
        case "$v" in 3.13|3.14|3.15|3.14d) ;; *) die "unknown version $v (3.13, 3.14, 3.15, 3.14d)" ;; esac
    done
    local failed=()
    for v in "${versions[@]}"; do
        [ "$v" = 3.13 ] || prepare_tree
        say "=== CPython $v"
        test_version "$v" ${pytest_args[@]+"${pytest_args[@]}"} || failed+=("$v")
    done
    if [ "${#failed[@]}" -gt 0 ]; then
        say "failed on: ${failed[*]}"
        return 1
    fi
    say "passed on: ${versions[*]}"
}

main "$@"
