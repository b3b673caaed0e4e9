"""Graph.to_networkx(), Graph.to_dot() and Graph._repr_svg_(): the graph's dicts
as NetworkX and Graphviz see them, end points missing from `nodes`, junk in
the dicts, NetworkX imported only when asked for, and the notebook picture
with and without dot."""
import os
import shutil
import subprocess
import sys

import pytest

import velkora as vk


@pytest.fixture
def nx():
    return pytest.importorskip("networkx")

A, B, C = vk.Variable("A"), vk.Variable('B "quoted" \\ back\nslash'), vk.Variable("C")


def sample():
    """A -f-> B filed normally, and g from B to C whose end C is not filed."""
    f = vk.Term("f", vk.Application(A, B))
    g_ = vk.Term('g "x"', vk.Application(B, C))
    a, b = vk.Node(A, {"name": "a", "label": "mine"}), vk.Node(B)
    graph = vk.Graph()
    graph.nodes[a.uid()], graph.nodes[b.uid()] = a, b
    e1, e2 = vk.Edge(f, a, b, {"w": [1]}), vk.Edge(g_, b, vk.Node(C, {"c": 3}))
    graph.edges[e1.uid()], graph.edges[e2.uid()] = e1, e2
    return graph, (a, b), (e1, e2)


def test_to_networkx_keys_and_attributes(nx):
    graph, (a, b), (e1, e2) = sample()
    G = graph.to_networkx()
    c_uid = vk.Node(C).uid()
    assert isinstance(G, nx.MultiDiGraph)
    assert list(G.nodes) == [a.uid(), b.uid(), c_uid]
    # The type and label attributes win over properties of the same name;
    # property values are the graph's own objects.
    assert G.nodes[a.uid()] == {"name": "a", "label": "A", "type": A}
    assert G.nodes[c_uid] == {"c": 3, "type": C, "label": "C"}
    assert list(G.edges(keys=True)) == [(a.uid(), b.uid(), e1.uid()), (b.uid(), c_uid, e2.uid())]
    data = G.edges[a.uid(), b.uid(), e1.uid()]
    assert data == {"w": [1], "term": e1.term, "label": "f"}
    assert data["w"] is e1.properties["w"]
    assert nx.has_path(G, a.uid(), c_uid)


def test_to_dot_text():
    graph, (a, b), (e1, e2) = sample()
    c_uid = vk.Node(C).uid()
    assert graph.to_dot() == (
        "digraph {\n"
        "  node [shape=box];\n"
        f'  "{a.uid()}" [label="A"];\n'
        f'  "{b.uid()}" [label="B \\"quoted\\" \\\\ back\\nslash"];\n'
        f'  "{a.uid()}" -> "{b.uid()}" [label="f"];\n'
        f'  "{c_uid}" [label="C"];\n'
        f'  "{b.uid()}" -> "{c_uid}" [label="g \\"x\\""];\n'
        "}\n"
    )


@pytest.mark.skipif(shutil.which("dot") is None, reason="needs Graphviz's dot")
def test_dot_renders():
    graph, *_ = sample()
    graph.nodes["odd \"key\" \\"] = vk.Node(vk.Variable("ctl\x00\x1b\ttab\r\\"))
    # Graphviz runs without the sanitizer runtime a sanitized test run preloads.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    done = subprocess.run(["dot", "-Tsvg"], input=graph.to_dot(), capture_output=True,
                          text=True, timeout=60, env=env)
    assert done.returncode == 0 and done.stderr == "", done.stderr
    assert done.stdout.count('class="node"') == 4 and done.stdout.count('class="edge"') == 2
    assert "B &quot;quoted&quot; \\ back" in done.stdout


class Meddling(dict):
    """A properties dict whose keys() runs an action once: copying it runs it."""

    action = None

    def __iter__(self):
        return super().__iter__()

    def keys(self):
        action, self.action = self.action, None
        if action:
            action()
        return super().keys()


def junk_graphs():
    g1, g2, g3, g4, g5 = (vk.Graph() for _ in range(5))
    g1.nodes["x"] = 1
    g2.edges["y"] = vk.Node(A)
    g3.nodes[5] = vk.Node(A)
    g4.nodes["\udc80"] = vk.Node(A)
    n = vk.Node(A, Meddling(k=1))
    n.properties.action = g5.nodes.clear
    g5.nodes[n.uid()] = n
    g5.nodes["other"] = vk.Node(B)
    cast = "'{}' object cannot be cast as '{}'".format
    # id, graph, to_dot's error, to_networkx's error or node keys
    return [
        ("node-value", g1, (TypeError, cast("int", "Node")), (TypeError, cast("int", "Node"))),
        ("edge-value", g2, (TypeError, cast("Node", "Edge")), (TypeError, cast("Node", "Edge"))),
        ("node-key", g3, (TypeError, cast("int", "str")), [5]),
        ("key-not-utf8", g4, (UnicodeEncodeError, "surrogates"), ["\udc80"]),
        ("changed-while-read", g5, None,
         (RuntimeError, "dictionary changed size during iteration")),
    ]


@pytest.mark.parametrize("graph, dot, networkx", [j[1:] for j in junk_graphs()],
                         ids=[j[0] for j in junk_graphs()])
def test_bad_graph_contents(nx, graph, dot, networkx):
    if dot:
        with pytest.raises(dot[0], match=dot[1]):
            graph.to_dot()
    if isinstance(networkx, list):
        assert list(graph.to_networkx().nodes) == networkx
    else:
        with pytest.raises(networkx[0], match=networkx[1]):
            graph.to_networkx()


def test_networkx_is_imported_only_when_called(python_subprocess, monkeypatch):
    out = python_subprocess(
        "import sys, velkora as vk\n"
        "g = vk.Graph(); g.to_dot(); before = 'networkx' not in sys.modules\n"
        "g.to_networkx(); print(before, 'networkx' in sys.modules)\n")
    assert out.returncode == 0 and out.stdout.split() == ["True", "True"], out.stderr
    monkeypatch.setitem(sys.modules, "networkx", None)
    with pytest.raises(ImportError) as info:
        vk.Graph().to_networkx()
    assert str(info.value) == "Graph.to_networkx() needs NetworkX: pip install 'velkora[networkx]'"
    assert isinstance(info.value.__cause__, ImportError)


def fake_dot(tmp_path, script):
    """A `dot` on PATH that keeps its arguments and input beside itself."""
    dot = tmp_path / "dot"
    dot.write_text(f'#!/bin/sh\nPATH=/usr/bin:/bin\necho "$@" > "$0.args"; cat > "$0.in"\n{script}\n')
    dot.chmod(0o755)
    return dot


@pytest.mark.parametrize(
    "script, size, svg",
    [
        ("printf '<svg>picture</svg>'", 1, "<svg>picture</svg>"),
        ("printf '<svg>picture</svg>'", 201, None),  # past the size drawn: dot not run
        ("echo broken >&2; exit 1", 1, None),
        ("printf '\\377'", 1, None),  # not UTF-8
        (None, 1, None),  # no dot on PATH
    ],
)
def test_repr_svg_runs_dot_on_small_graphs(tmp_path, monkeypatch, script, size, svg):
    if script is not None:
        dot = fake_dot(tmp_path, script)
    monkeypatch.setenv("PATH", str(tmp_path))
    graph = vk.Graph()
    for i in range(size):
        graph.nodes[str(i)] = vk.Node(A)
    assert graph._repr_svg_() == svg
    if script is not None and size <= 200:
        assert (tmp_path / "dot.args").read_text() == "-Tsvg\n"
        assert (tmp_path / "dot.in").read_text() == graph.to_dot()
    else:
        assert not (tmp_path / "dot.in").exists()


def test_repr_svg_passes_on_bad_graph_contents(tmp_path, monkeypatch):
    fake_dot(tmp_path, "printf '<svg/>'")
    monkeypatch.setenv("PATH", str(tmp_path))
    graph = vk.Graph()
    graph.nodes["x"] = 1
    with pytest.raises(TypeError, match="'int' object cannot be cast as 'Node'"):
        graph._repr_svg_()


@pytest.mark.skipif(shutil.which("dot") is None, reason="needs Graphviz's dot")
def test_repr_svg_draws_with_graphviz(monkeypatch):
    monkeypatch.delenv("LD_PRELOAD", raising=False)  # see test_dot_renders
    graph, *_ = sample()
    svg = graph._repr_svg_()
    assert svg.lstrip().startswith("<?xml") and svg.rstrip().endswith("</svg>")
    assert svg.count('class="node"') == 3 and svg.count('class="edge"') == 2
