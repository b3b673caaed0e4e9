#!/usr/bin/env bash
# Runs the differential tests of Graph.cypher() and the round trip of
# Graph.to_cypher() against FalkorDB embedded in
# a Python 3.12+ virtual environment: velkora from this clone with its test
# extra, plus falkordblite (built from source by pip: its server needs a C
# compiler and make, which building velkora already needs). Fails when no
# Python 3.12+ is found, when FalkorDB cannot start, or when no differential
# test ran.
#   PYTHON312=/path/to/python  picks the interpreter
#   VELKORA_DIFF_EXAMPLES=N    scales the number of generated cases
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS

py=${PYTHON312:-}
if [[ -z "$py" ]]; then
    for candidate in /root/.pyenv/versions/3.1[2-9].*/bin/python; do
        [[ -x "$candidate" ]] && py=$candidate && break
    done
fi
if [[ -z "$py" ]] && command -v python3.12 > /dev/null; then
    py=$(command -v python3.12)
fi
if [[ -z "$py" ]]; then
    echo "differential: no Python 3.12 or later found (pyenv's /root/.pyenv/versions/3.12.*" \
         "or python3.12 on PATH); FalkorDB embedded needs one" >&2
    exit 1
fi
"$py" -c 'import sys; assert sys.version_info >= (3, 12), sys.version' || {
    echo "differential: $py is older than Python 3.12" >&2
    exit 1
}

venv=$(mktemp -d)
trap 'rm -rf "$venv"' EXIT
"$py" -m venv "$venv"
# falkordblite's build compiles its server with make: both cores. Its minor
# version is pinned: the workarounds in tests/cypher_queries.py are for its
# departures from openCypher.
MAKEFLAGS=${MAKEFLAGS:--j2} "$venv/bin/python" -m pip install -q '.[test]' 'falkordblite>=0.11,<0.12'
echo "differential: installed velkora and falkordblite in $((SECONDS - start)) s"

# From the venv's directory, so the installed velkora is the one imported.
report="$venv/junit.xml"
(cd "$venv" && VELKORA_REQUIRE_FALKORDB=1 "$venv/bin/python" -m pytest -p no:cacheprovider \
    -q -rs "$OLDPWD/tests/test_cypher_differential.py" "$OLDPWD/tests/test_export_cypher.py" \
    --junitxml="$report")
"$venv/bin/python" - "$report" <<'PY'
import sys
import xml.etree.ElementTree as ET
suite = ET.parse(sys.argv[1]).getroot()
suite = suite if suite.tag == "testsuite" else suite.find("testsuite")
ran = int(suite.get("tests")) - int(suite.get("skipped")) - int(suite.get("errors", 0))
if ran <= 0:
    sys.exit("differential: every differential test was skipped")
PY
echo "differential: done in $((SECONDS - start)) s"
