#!/usr/bin/env bash
# Prints the path of a CPython 3.13 interpreter, or explains why there is none.
# Looks at $PYTHON, python3.13 on PATH, pyenv, and the usual install prefixes.
set -u
is313() {
    "$1" -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 13) and sys.implementation.name == "cpython" else 1)' \
        >/dev/null 2>&1
}
candidates=()
[ -n "${PYTHON:-}" ] && candidates+=("$PYTHON")
command -v python3.13 >/dev/null 2>&1 && candidates+=("$(command -v python3.13)")
if command -v pyenv >/dev/null 2>&1; then
    for v in $(pyenv versions --bare 2>/dev/null | grep -E '^3\.13(\.[0-9]+)?$' | sort -rV); do
        candidates+=("$(pyenv root)/versions/$v/bin/python3.13")
    done
fi
for p in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13*/bin/python3.13 /usr/local/bin/python3.13 /usr/bin/python3.13; do
    [ -x "$p" ] && candidates+=("$p")
done
for p in "${candidates[@]}"; do
    if is313 "$p"; then
        echo "$p"
        exit 0
    fi
done
echo "error: CPython 3.13 was not found (tried \$PYTHON, python3.13 on PATH, pyenv versions," \
     "/usr/local/bin, /usr/bin). Install it (for example 'pyenv install 3.13') or set PYTHON." >&2
exit 1
