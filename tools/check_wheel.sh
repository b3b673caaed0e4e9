#!/usr/bin/env bash
# Builds the wheel with `pip wheel . -w dist`, checks that it holds the
# extension and the stubs, installs it into a fresh virtual environment and
# imports it there, then lets mypy find the installed stubs from that
# environment (the PEP 561 lookup a user's editor and type checker do).
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-python}
start=$SECONDS

rm -f dist/velkora-*.whl
"$py" -m pip wheel . -w dist --no-deps -q
wheels=(dist/velkora-*.whl)
[[ ${#wheels[@]} -eq 1 ]] || { echo "expected one wheel, found: ${wheels[*]}"; exit 1; }
wheel=${wheels[0]}
"$py" - "$wheel" <<'PY'
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
ext = [n for n in names if n.startswith("velkora.") and n.endswith(".so")]
missing = [] if ext else ["velkora.*.so"]
missing += [n for n in ("velkora-stubs/__init__.pyi",) if n not in names]
if missing:
    sys.exit(f"{sys.argv[1]} lacks {missing}; it holds {names}")
# The optional extras: Graph.to_networkx() tells users to install `networkx`.
wheel = zipfile.ZipFile(sys.argv[1])
meta = wheel.read(next(n for n in names if n.endswith(".dist-info/METADATA"))).decode()
extras = {l.split(":", 1)[1].strip() for l in meta.splitlines() if l.startswith("Provides-Extra:")}
if not {"networkx", "test"} <= extras:
    sys.exit(f"{sys.argv[1]} declares the extras {sorted(extras)}, not networkx and test")
if not any(l.startswith("Requires-Dist: networkx") and "extra == \"networkx\"" in l
           for l in meta.splitlines()):
    sys.exit(f"{sys.argv[1]}: the networkx extra does not require networkx")
PY

venv=$(mktemp -d)
trap 'rm -rf "$venv"' EXIT
"$py" -m venv "$venv"
"$venv/bin/python" -m pip install -q --no-deps "$wheel"
# Run from the venv directory so nothing of this tree can be imported instead.
(cd "$venv" && "$venv/bin/python" - <<'PY'
import sys, velkora
assert velkora.__file__.startswith(sys.prefix), velkora.__file__
g = velkora.Graph()
n = velkora.Node(velkora.Variable("Person"))
g.nodes[n.uid()] = n
assert str(g) == "Graph(1 nodes, 0 edges)", g
from importlib.metadata import version
assert velkora.__version__ == version("velkora"), (velkora.__version__, version("velkora"))
print("imported", velkora.__file__, velkora.__version__)
PY
)
# mypy from this interpreter, resolving imports in the venv: the stubs must be
# found there, or `velkora` would be an unresolved import.
"$py" -m mypy --strict --no-incremental --python-executable "$venv/bin/python" examples

echo "wheel check passed in $((SECONDS - start)) s: $wheel"
