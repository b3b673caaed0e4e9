"""Every script in examples/ runs to completion against the built module."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

EXAMPLES = sorted((pathlib.Path(__file__).resolve().parent.parent / "examples").glob("*.py"))


def run_example(script, cwd, *args, status=0):
    # From an empty directory, with the test run's import path, so the script
    # imports the module under test and nothing of the source tree.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, str(script), *args], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == status, done.stderr
    return done.stdout if status == 0 else done.stderr


@pytest.mark.parametrize("script", EXAMPLES, ids=[p.name for p in EXAMPLES])
def test_example_runs(script, tmp_path):
    if script.name == "api_search.py":
        pytest.importorskip("mypy")
    assert run_example(script, tmp_path).strip(), "an example should show what it does"


def test_org_chart_reads_back_its_model(tmp_path):
    out = run_example(next(p for p in EXAMPLES if p.name == "org_chart.py"), tmp_path)
    assert out.splitlines() == [
        "Graph(2 nodes, 1 edges)",
        "Alice works for Acme since 2020",
        "who = Person",
    ]


def api_search(tmp_path, *args, status=0):
    pytest.importorskip("mypy")  # its typeshed stubs are the example's input
    script = next(p for p in EXAMPLES if p.name == "api_search.py")
    modules = "builtins,keyword,locale,unicodedata,functools"
    return run_example(script, tmp_path, "--modules", modules, "--limit", "0", *args,
                       status=status)


def test_api_search_finds_known_functions(tmp_path):
    queries = ["(a:str)-[f]->(b:int)", "(a:str)-[f]->(b:bool)", "(a:str)-[f]->(b:$str -> int$)",
               "(a:$* -> *$)-[f]->(b)", "(t:str)", "$str -> (x:*)$"]
    out = api_search(tmp_path, *queries)
    sections = {}
    for block in out.split("\n\n")[1:]:
        head, *lines = block.splitlines()
        query, _, summary = head.rpartition(": ")
        assert re.fullmatch(r"\d+ (functions|types) in \d+\.\d ms", summary), head
        sections[query] = [line.strip() for line in lines]
    assert re.match(r"5 modules read in \d+\.\d\d s; model of \d+ types and \d+ functions", out)
    assert list(sections) == queries
    str_to_int, str_to_bool, two_str, higher, node, schema = sections.values()
    assert {"locale.atoi : (str -> int)", "unicodedata.combining : (str -> int)"} <= set(str_to_int)
    assert {"keyword.iskeyword : (str -> bool)", "builtins.str.isdigit : (str -> bool)"} <= set(str_to_bool)
    assert {"locale.strcoll : (str -> (str -> int))", "builtins.str.count : (str -> (str -> int))"} <= set(two_str)
    assert any(line.startswith("functools.reduce : ((") for line in higher)
    assert len(node) == 1 and node[0].startswith("str  (in ")
    assert "(str -> int)" in [line.split("  (")[0] for line in schema]


def test_api_search_draws_and_refuses(tmp_path):
    dot = api_search(tmp_path, "--dot", "(a:str)-[f]->(b:int)", "(a:int)-[f]->(b:str)")
    assert dot.startswith("digraph {") and '[label="locale.atoi"]' in dot
    assert dot.count('[label="str"]') == 1  # one node per type, over both queries
    err = api_search(tmp_path, "(a)-[f]->(b)-[g]->(c)", status=1)
    assert "search for one named node or one named edge" in err


def test_api_search_answers_cypher(tmp_path):
    out = api_search(tmp_path, "MATCH (a:str)-[f]->(b:int) RETURN type(f) AS f ORDER BY f",
                     "match ()-[f]->(r) RETURN typeof(r) AS type, count(f) AS n ORDER BY n DESC LIMIT 3")
    names, top = [block.splitlines() for block in out.split("\n\n")[1:]]
    assert re.fullmatch(r".*: \d+ rows in \d+\.\d ms", names[0])
    assert "  f: 'locale.atoi'" in names and names[1:] == sorted(names[1:])
    counts = [int(line.rsplit(": ", 1)[1]) for line in top[1:]]
    assert len(counts) == 3 and counts == sorted(counts, reverse=True)
