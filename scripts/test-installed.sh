#!/usr/bin/env bash
# Tests an installed kivotools as its users have it: usage: test-installed.sh PYTHON SOURCE_DIR
#
# PYTHON is the interpreter of an environment where the package and the test group of
# pyproject.toml are installed. The Python tests and the documents they check are copied out of
# SOURCE_DIR into a fresh folder and run there with the pytest options of SOURCE_DIR's
# pyproject.toml, so neither the checkout nor a build tree is on sys.path; the tests that need
# the test-only extension modules skip. Then both command lines run once.
set -euo pipefail
python=${1:?usage: test-installed.sh PYTHON SOURCE_DIR}
source_dir=$(cd "${2:?usage: test-installed.sh PYTHON SOURCE_DIR}" && pwd)
case "$python" in */*) python=$(realpath -s "$python") ;; *) python=$(command -v "$python") ;; esac

work=$(mktemp -d "${TMPDIR:-/tmp}/kivotools-installed.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tests" "$work/scripts"
cp -R "$source_dir/tests/python" "$work/tests/python"
cp -R "$source_dir/docs" "$work/docs"
cp "$source_dir/scripts/soak.py" "$source_dir/scripts/nomem_walk.py" "$work/scripts/"
rm -rf "$work"/tests/python/__pycache__
cd "$work"

# Nothing of the checkout or of a build may leak in through the environment.
unset PYTHONPATH KIVO_TEST_EXT_DIR PYTHONHOME PYTHONSTARTUP

# The package and its modules must come from the environment's site-packages.
"$python" - <<'EOF'
import os, sys, sysconfig
import kivotools, kivotools.kivoc._norvek, kivotools.kivoc._quedrin
installed = {os.path.realpath(sysconfig.get_path(k)) + os.sep for k in ("purelib", "platlib")}
for module in (kivotools, kivotools.kivoc._norvek, kivotools.kivoc._quedrin):
    where = os.path.realpath(module.__file__)
    if not any(where.startswith(prefix) for prefix in installed):
        sys.exit(f"error: {module.__name__} was not imported from site-packages but {where}")
print(f"kivotools {kivotools.__version__} from {os.path.dirname(kivotools.__file__)}")
EOF

# The options only: the folder stays without a pyproject.toml, which would make it a checkout.
"$python" -m pytest -c "$source_dir/pyproject.toml" --rootdir "$work"

echo "--- python -m kivotools"
"$python" -m kivotools
echo "--- python -m kivotools.registry --json"
"$python" -m kivotools.registry --json >registry.json
"$python" -c 'import json, sys; json.load(open(sys.argv[1])); print("registry: valid JSON")' registry.json
