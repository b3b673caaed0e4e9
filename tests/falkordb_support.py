"""Support for the differential tests of Graph.cypher() against FalkorDB.

A model graph is described as plain data (`Model`: one node per atomic type,
edges as named terms between them), loaded into a velkora Graph and into an
embedded FalkorDB graph (label = the type's name, relationship type = the
term's name, the same properties), and a query is generated as a `Query`
that renders two texts: the one velkora runs, and the one FalkorDB runs. The
second differs only where FalkorDB departs from openCypher; each such rewrite
is marked at the place it is made. Rows from both engines are brought to one
canonical form (nodes by type name and properties, relationships by term
name, ends and properties) and compared as multisets unless the query orders
them totally.
"""
import math
import os
import shutil
import tempfile
from collections import Counter
from dataclasses import dataclass, field

from hypothesis import strategies as st

import velkora as vk

TYPE_NAMES = ["A", "B", "C", "D"]
MISSING_LABEL = "E"  # a label no node of a generated graph has
TERM_NAMES = ["t", "u", "v"]
STRINGS = ["", "a", "b", "ab", "ba", "abc", "A b"]
SMALL_INTS = st.integers(-3, 5)

# The property keys of nodes and relationships and the kind each key holds.
NODE_KEYS = {"i": "int", "j": "int", "s": "str", "b": "bool", "l": "list:int"}
EDGE_KEYS = {"i": "int", "s": "str", "b": "bool"}


def _value(kind):
    return {
        "int": SMALL_INTS,
        "str": st.sampled_from(STRINGS),
        "bool": st.booleans(),
        "list:int": st.lists(SMALL_INTS, max_size=3),
    }[kind]


def _properties(keys):
    return st.fixed_dictionaries({}, optional={k: _value(kind) for k, kind in keys.items()})


@dataclass
class Model:
    """A generated graph: `nodes` maps a type name to its properties; `edges`
    is a list of (term name, start type, end type, properties), unique by the
    first three (an edge's uid is made from its term's name and type)."""
    nodes: dict
    edges: list

    def has_self_loop(self):
        return any(s == e for _, s, e, _ in self.edges)

    def to_velkora(self):
        graph = vk.Graph()
        filed = {}
        for name, props in self.nodes.items():
            node = vk.Node(vk.Variable(name), dict(props))
            graph.nodes[node.uid()] = filed[name] = node
        for name, start, end, props in self.edges:
            term = vk.Term(name, vk.Application(vk.Variable(start), vk.Variable(end)))
            # The edge's own copies of its ends carry no properties: a row must
            # read the node filed under the end's uid, which has them.
            edge = vk.Edge(term, vk.Node(vk.Variable(start)), vk.Node(vk.Variable(end)),
                           dict(props))
            graph.edges[edge.uid()] = edge
        return graph

    def create_text(self):
        """One CREATE statement building this graph in FalkorDB."""
        parts = [f"(n_{name}:{name} {literal(props)})" for name, props in self.nodes.items()]
        parts += [f"(n_{s})-[:{name} {literal(props)}]->(n_{e})"
                  for name, s, e, props in self.edges]
        return "CREATE " + ", ".join(parts)


@st.composite
def models(draw, max_types=4, max_edges=6, self_loops=True):
    count = draw(st.integers(1, max_types))
    names = TYPE_NAMES[:count]
    nodes = {name: draw(_properties(NODE_KEYS)) for name in names}
    ends = st.tuples(st.sampled_from(TERM_NAMES), st.sampled_from(names), st.sampled_from(names))
    if not self_loops:
        ends = ends.filter(lambda e: e[1] != e[2])
    keys = draw(st.lists(ends, max_size=max_edges, unique=True))
    edges = [(n, s, e, draw(_properties(EDGE_KEYS))) for n, s, e in keys]
    return Model(nodes, edges)


def literal(value):
    """Cypher literal text of a plain Python value."""
    if value is None:
        return "null"
    if value is True:
        return "true"
    if value is False:
        return "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, str):
        return "'" + value.replace("\\", "\\\\").replace("'", "\\'") + "'"
    if isinstance(value, (list, tuple)):
        return "[" + ", ".join(literal(v) for v in value) + "]"
    if isinstance(value, dict):
        return "{" + ", ".join(f"{k}: {literal(v)}" for k, v in value.items()) + "}"
    raise TypeError(value)


# ----- the embedded server -----------------------------------------------------------


class FalkorServer:
    """One embedded FalkorDB server, with one graph reloaded per model."""

    def __init__(self):
        from redislite.falkordb_client import FalkorDB  # needs falkordblite

        self.dir = tempfile.mkdtemp(prefix="velkora-falkordb-")
        self.db = FalkorDB(os.path.join(self.dir, "diff.db"))
        self.graph = None
        self.labels = {}

    def close(self):
        try:
            self.db.close()
        finally:
            shutil.rmtree(self.dir, ignore_errors=True)

    def load(self, model):
        if self.graph is not None:
            try:
                self.graph.delete()
            except Exception:
                pass
        self.graph = self.db.select_graph("diff")
        if model.nodes:
            self.graph.query(model.create_text())
        self.refresh_ids()

    def refresh_ids(self):
        rows = self.graph.query("MATCH (n) RETURN id(n), labels(n)[0]").result_set
        self.labels = {i: label for i, label in rows}

    def run(self, text, params=None):
        """The rows of a query as lists of values (in RETURN order)."""
        return self.graph.query(text, params or None).result_set

    def snapshot(self):
        """The graph as (nodes, relationships), canonical multisets."""
        self.refresh_ids()
        nodes = self.run("MATCH (n) RETURN n")
        rels = self.run("MATCH ()-[r]->() RETURN r")
        return (Counter(self.canon(row[0]) for row in nodes),
                Counter(self.canon(row[0]) for row in rels))

    def canon(self, value, column=None):
        import falkordb

        if isinstance(value, falkordb.Node):
            return ("node", value.labels[0], _canon_map(value.properties, self.canon))
        if isinstance(value, falkordb.Edge):
            return ("rel", value.relation, self.labels[value.src_node],
                    self.labels[value.dest_node], _canon_map(value.properties, self.canon))
        if isinstance(value, falkordb.Path):
            nodes = [self.canon(n) for n in value.nodes()]
            edges = list(value.edges())
            # FalkorDB lists some paths from their end to their start (seen
            # on cycles under an unbounded `*`); openCypher gives a path in
            # the order its pattern walks it. Where the pattern's direction
            # is known, a path whose relationships run against it is read
            # back to front.
            if column is not None and column.direction and edges:
                ids = [n.id for n in value.nodes()]
                forward = all((e.src_node, e.dest_node) == (ids[k], ids[k + 1])
                              for k, e in enumerate(edges))
                if column.direction == "<-":
                    forward = all((e.dest_node, e.src_node) == (ids[k], ids[k + 1])
                                  for k, e in enumerate(edges))
                if not forward:
                    nodes.reverse()
                    edges.reverse()
            rels = tuple(self.canon(e) for e in edges)
            if column is not None and column.path_as_rels:
                # FalkorDB binds a variable-length relationship variable to
                # a path; openCypher binds it to the list of relationships.
                return ("list", rels)
            return ("path", tuple(nodes), rels)
        return _canon_plain(value, lambda v: self.canon(v, None))


def _canon_map(props, canon):
    return ("map", tuple(sorted((k, canon(v)) for k, v in props.items())))


def _canon_plain(value, canon):
    if value is None:
        return None
    if isinstance(value, bool):
        return ("bool", value)
    if isinstance(value, int):
        return ("int", value)
    if isinstance(value, float):
        if math.isnan(value):
            return ("float", "nan")
        if math.isinf(value):
            return ("float", value)
        return ("float", float(f"{value:.9g}"))
    if isinstance(value, str):
        return ("str", value)
    if isinstance(value, (list, tuple)):
        return ("list", tuple(canon(v) for v in value))
    if isinstance(value, dict):
        return _canon_map(value, canon)
    return ("other", repr(value))


def canon_velkora(value):
    """The canonical form of a value in a row of Graph.cypher()."""
    if isinstance(value, vk.Node):
        return ("node", str(value.type), _canon_map(value.properties, canon_velkora))
    if isinstance(value, vk.Edge):
        return ("rel", value.term.name, str(value.start.type), str(value.end.type),
                _canon_map(value.properties, canon_velkora))
    path_class = getattr(vk, "Path", None)
    if path_class is not None and isinstance(value, path_class):
        return ("path", tuple(canon_velkora(n) for n in value.nodes),
                tuple(canon_velkora(e) for e in value.edges))
    return _canon_plain(value, canon_velkora)


def velkora_snapshot(graph):
    nodes = Counter(canon_velkora(n) for n in graph.nodes.values())
    rels = Counter(("rel", e.term.name, str(e.start.type), str(e.end.type),
                    _canon_map(e.properties, canon_velkora)) for e in graph.edges.values())
    return nodes, rels


# ----- queries -------------------------------------------------------------------------


@dataclass
class Column:
    """A result column and how to compare it."""
    key: str                  # the key velkora must give it
    unordered: bool = False   # a list whose order is not defined (collect, keys)
    path_as_rels: bool = False
    direction: str = ""       # "->" or "<-": the one direction a path column walks
    reversible: bool = False  # a path (or its relationships) compared up to reversal


@dataclass
class Query:
    vk: str
    fk: str
    columns: list
    ordered: bool = False
    params: dict = field(default_factory=dict)


def _unorder(value):
    if isinstance(value, tuple) and value and value[0] == "list":
        return ("bag", tuple(sorted(value[1], key=repr)))
    return value


def _reversible(value):
    if isinstance(value, tuple) and value and value[0] == "path":
        back = ("path", tuple(reversed(value[1])), tuple(reversed(value[2])))
        return min(value, back, key=repr)
    if isinstance(value, tuple) and value and value[0] == "list":
        return min(value, ("list", tuple(reversed(value[1]))), key=repr)
    return value


def _finish(value, column):
    if column.unordered:
        value = _unorder(value)
    if column.reversible:
        value = _reversible(value)
    return value


def velkora_rows(rows, query):
    keys = [c.key for c in query.columns]
    out = []
    for row in rows:
        assert isinstance(row, dict), row
        assert list(row) == keys, f"keys {list(row)} != {keys}"
        out.append(tuple(_finish(canon_velkora(row[c.key]), c) for c in query.columns))
    return out


def falkordb_rows(rows, query, server):
    out = []
    for row in rows:
        assert len(row) == len(query.columns), (row, query.columns)
        values = []
        for value, column in zip(row, query.columns):
            values.append(_finish(server.canon(value, column), column))
        out.append(tuple(values))
    return out


def same_rows(mine, theirs, ordered):
    if ordered:
        return mine == theirs
    return Counter(mine) == Counter(theirs)
