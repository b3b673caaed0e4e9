#!/usr/bin/env bash
# Type checks of the public API: the stubs against the importable module
# (stubtest, which reads every callable's text signature, and the stubs'
# docstrings against the module's), then the examples and the typing cases
# under mypy --strict. The stubs are taken from this tree
# through a temporary MYPYPATH, so nothing needs installing; the module is
# whatever `import velkora` finds (the installed one, or PYTHONPATH=build/dev).
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-python}
start=$SECONDS

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
ln -s "$PWD/velkora-stubs" "$tmp/velkora"
export MYPYPATH="$tmp"

allow=()
[[ -s tools/stubtest-allowlist.txt ]] && allow=(--allowlist tools/stubtest-allowlist.txt)
"$py" -m mypy.stubtest velkora "${allow[@]}"
# The stubs' docstrings are the module's own (tools/stub_docstrings.py writes them).
"$py" tools/stub_docstrings.py --check
"$py" -m mypy --strict --cache-dir "$tmp/cache" examples tests/typing

echo "typing checks passed in $((SECONDS - start)) s"
