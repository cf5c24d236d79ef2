# Sourced by bootstrap.sh and wheels.sh: finds the CPython 3.13 the project is
# set up with.  find_python prints its path, or fails with one line that says
# where to get one.

python_is_313() {
    "$1" -c 'import sys, venv; assert sys.version_info[:2] == (3, 13) and sys.implementation.name == "cpython"' \
        >/dev/null 2>&1
}

find_python() {
    local cand root=""
    if command -v pyenv >/dev/null 2>&1; then root="$(pyenv root 2>/dev/null || true)"; fi
    for cand in python3.13 ${root:+"$root"/versions/3.13*/bin/python3.13} \
                /usr/bin/python3.13 /usr/local/bin/python3.13; do
        if python_is_313 "$cand"; then
            command -v "$cand"; return 0
        fi
    done
    # Only where the distribution really has the package (Debian 13, Ubuntu
    # 24.04): Debian 12 has none, and the attempt would only bury this message.
    if [ "$(id -u)" = 0 ] && command -v apt-cache >/dev/null 2>&1 &&
       apt-cache policy python3.13-venv 2>/dev/null | grep -q 'Candidate: [0-9]'; then
        echo "setup: installing python3.13 with apt-get" >&2
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq python3.13 python3.13-venv python3.13-dev >&2 &&
            python_is_313 /usr/bin/python3.13 && { echo /usr/bin/python3.13; return 0; }
    fi
    echo "setup: CPython 3.13 not found on PATH or in pyenv; install it (python.org/downloads, \`pyenv install 3.13\`, or apt-get install python3.13-venv python3.13-dev where the distribution has it) and put python3.13 on PATH" >&2
    return 1
}
