"""Graph.cypher() query text: what the lexer and parser read (keywords in any
case, comments, literals and their escapes, precedence, names), the errors
found before the run with their line, column and caret, the checks (scopes,
kinds, aggregation, functions, the shape of a query), and text nested or
chained far beyond real use."""
import re
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velkora import Graph, Node, Variable


@pytest.fixture(scope="module")
def g():
    g = Graph()
    for name, n in (("A", 1), ("B", 2)):
        node = Node(Variable(name), {"n": n, "name": name.lower()})
        g.nodes[node.uid()] = node
    return g


def error_text(query, what, line, column):
    shown = query.split("\n")[line - 1]
    return f"Invalid query: {what} at line {line}, column {column}\n{shown}\n{' ' * (column - 1)}^"


# (query, one row of the result)
READS = [
    # keywords in any case, comments anywhere a blank may stand
    ("rEtUrN 1 aS x", {"x": 1}),
    ("// lead\nRETURN /* in */ 1 // trail\nAS x", {"x": 1}),
    ("RETURN 1 AS x;", {"x": 1}),
    ("match (n) where n.n = 1 return n.name as name", {"name": "a"}),
    ("MATCH (n) RETURN DISTINCT n.name ORDER BY n.name DESC LIMIT 1", {"n.name": "b"}),
    # literals
    ("RETURN 0x1F AS h, 0o17 AS o, 017 AS p, 0 AS z, 1e3 AS e, .5 AS f, 1.5e-3 AS g, 0.5 AS k",
     {"h": 31, "o": 15, "p": 15, "z": 0, "e": 1000.0, "f": 0.5, "g": 0.0015, "k": 0.5}),
    ("RETURN 123456789012345678901234567890 AS big, -9223372036854775809 AS low",
     {"big": 123456789012345678901234567890, "low": -9223372036854775809}),
    (r"RETURN 'a\tb\nc\\d\'e\"f' AS s, " + '"\\b\\f\\r" AS t', {"s": "a\tb\nc\\d'e\"f", "t": "\b\f\r"}),
    (r"RETURN '\u00e9\U0001F600\uD83D\uDE00' AS s, 'é' AS t", {"s": "é\U0001F600\U0001F600", "t": "é"}),
    ("RETURN true AS t, FALSE AS f, Null AS n, [] AS l, {} AS m", {"t": True, "f": False, "n": None, "l": [], "m": {}}),
    # names: backquotes with `` inside, Unicode, keywords as keys
    ("WITH 1 AS `a``b` RETURN `a``b` AS `x y`", {"x y": 1}),
    ("WITH 1 AS `end` RETURN `end` AS `match`", {"match": 1}),
    ("WITH 2 AS größe RETURN größe", {"größe": 2}),
    ("RETURN {match: 1, `a b`: 2}.match AS m", {"m": 1}),
    # precedence and chains
    ("RETURN 2 ^ 3 ^ 2 AS p, -2 ^ 2 AS q, 1 + 2 * 3 - 4 / 2 AS r, 7 % 4 * 2 AS s",
     {"p": 64.0, "q": 4.0, "r": 5, "s": 6}),
    ("RETURN 1 < 2 < 3 AS a, 3 > 2 < 1 AS b, 1 = 1 <> 2 AS c", {"a": True, "b": False, "c": True}),
    ("RETURN NOT 1 = 2 AS a, NOT NOT NOT false AS b, - -1 AS c, true OR false AND false AS d",
     {"a": True, "b": True, "c": 1, "d": True}),
    ("RETURN true XOR true OR true AS a, 1 + 2 IN [3] AS b, 'ab' STARTS WITH 'a' = true AS c",
     {"a": True, "b": True, "c": True}),
    ("RETURN [1, 2, 3][1..] AS a, [1, 2, 3][..-1] AS b, [1, 2, 3][-1] AS c, [x IN [1, 2] | x * 10] AS d",
     {"a": [2, 3], "b": [1, 2], "c": 3, "d": [10, 20]}),
    # ORDER BY after an aggregation: items by alias or as written, aggregates of their own
    ("UNWIND [1, 2, 2, 3] AS x RETURN x, count(*) AS c ORDER BY c DESC, x LIMIT 1", {"x": 2, "c": 2}),
    ("UNWIND [1, 2, 2, 3] AS x RETURN x, count(*) ORDER BY count(*) DESC, x LIMIT 1",
     {"x": 2, "count(*)": 2}),
    ("UNWIND [{a: 1, b: 5}, {a: 2, b: 9}] AS m RETURN m.a AS a, count(*) AS c ORDER BY -m.a + count(*)",
     {"a": 2, "c": 1}),
    ("UNWIND [3, 1, 2] AS x RETURN DISTINCT x % 2 AS r ORDER BY x % 2", {"r": 0}),
    # an aggregating item reads grouping keys, as variables or as written
    ("UNWIND [{a: 1}, {a: 1}] AS m RETURN m.a AS a, m.a * 10 + count(*) AS c", {"a": 1, "c": 12}),
    ("UNWIND [1, 1] AS x RETURN x, [x, count(*)] AS c", {"x": 1, "c": [1, 2]}),
    # a column without alias is its text as written
    ("RETURN 1+ 2 , [ 1 ]", {"1+ 2": 3, "[ 1 ]": [1]}),
]


@pytest.mark.parametrize("query, row", READS)
def test_reads(g, query, row):
    assert g.cypher(query)[0] == row


# (query, what is wrong, line, column)
ERRORS = [
    # lexical
    ("RETURN 'abc", "unterminated string", 1, 8),
    ('RETURN "a\\qb"', "invalid escape sequence '\\q'", 1, 10),
    ("RETURN '\\u12'", "invalid escape sequence: \\u needs 4 hexadecimal digits", 1, 9),
    ("RETURN 'a\\ud800'", "invalid escape sequence: no character U+D800", 1, 10),
    ("RETURN 1 /* no end", "unterminated comment", 1, 10),
    ("RETURN `a", "unterminated backquoted name", 1, 8),
    ("RETURN 12abc", "invalid number", 1, 8),
    ("RETURN 0x", "invalid hexadecimal integer", 1, 8),
    ("RETURN 1e400", "float literal out of range", 1, 8),
    ("RETURN 1, 09", "invalid octal integer", 1, 11),
    ("RETURN 1 ! 2", "unexpected character '!'", 1, 10),
    ("RETURN $ x", "expected a parameter name after '$'", 1, 8),
    ("MATCH (n:$A -> B) RETURN n", "unterminated type schema (a label written between '$' signs)", 1, 10),
    # syntax
    ("MATCH (n) RETRUN n", "expected a clause, found 'RETRUN'", 1, 11),
    ("MATCH (n)\nWHERE n.x =\nRETURN n", "expected an expression, found 'RETURN'", 3, 1),
    ("RETURN 1 +", "expected an expression, found end of query", 1, 11),
    ("RETURN 1 = NOT 2", "expected an expression, found 'NOT'", 1, 12),
    ("MATCH (a) WHERE exists(a.x) RETURN a", "unknown function exists()", 1, 17),
    ("MATCH (n RETURN n", "expected ')', found 'RETURN'", 1, 10),
    ("MATCH (a)-[r]-(b)-[s]>(c) RETURN a", "expected '-', found '>'", 1, 22),
    ("RETURN 1 AS x; RETURN 2", "expected end of query, found 'RETURN'", 1, 16),
    ("RETURN 1 AS a UNION ALL RETURN 2 AS a UNION RETURN 3 AS a",
     "UNION and UNION ALL cannot be mixed in one query", 1, 39),
    ("RETURN CASE WHEN true THEN 1 AS x", "expected END, found 'AS'", 1, 30),
    ("RETURN all(x IN [1] | x) AS a", "expected WHERE, found '|'", 1, 21),
    ("MATCH (a)-[:r:s]->(b) RETURN a", "a relationship has one type: write alternatives as :a|b", 1, 15),
    ("MATCH (a)-[*1..x]->(b) RETURN a", "expected ']', found 'x'", 1, 16),
    ("WITH 1 AS end RETURN 1", "expected an alias, found 'end', a reserved word "
     "(write it in backquotes to use it as a name)", 1, 11),
    # scopes and kinds
    ("MATCH (n) RETURN m", "variable `m` is not defined", 1, 18),
    ("MATCH (n) WITH n AS m RETURN n", "variable `n` is not defined", 1, 30),
    ("MATCH (n)-[n]->(m) RETURN n", "variable `n` is already a node, it cannot be a relationship", 1, 10),
    ("MATCH (a)-[r]->(b), (b)-[r]->(c) RETURN a",
     "relationship variable `r` stands for two relationships of one pattern", 1, 24),
    ("MATCH p = (a) MATCH p = (b) RETURN p", "variable `p` is already defined", 1, 21),
    ("WITH true AS n MATCH (n) RETURN n", "variable `n` holds a value that is not a node, it cannot be a node", 1, 22),
    ("MATCH ()-[r*]->() MATCH ()-[r]->() RETURN r",
     "variable `r` holds a value that is not a relationship, it cannot be a relationship", 1, 27),
    ("WITH [1] AS l WITH l AS r MATCH ()-[r]->() RETURN r",
     "variable `r` holds a value that is not a relationship, it cannot be a relationship", 1, 35),
    ("UNWIND [1] AS x UNWIND [2] AS x RETURN x", "variable `x` is already defined", 1, 17),
    ("MATCH (a {n: b.n})-->(b) RETURN a",
     "variable `b` is not defined before this pattern (compare elements of one pattern in WHERE)", 1, 14),
    ("MATCH (a) WHERE (a)-->(c) RETURN a",
     "a pattern used as a condition cannot introduce variable `c` (use exists { MATCH ... })", 1, 23),
    ("RETURN [x IN [1] | x] AS l, x", "variable `x` is not defined", 1, 29),
    ("MATCH (n) RETURN n LIMIT n.n", "SKIP and LIMIT take an expression without variables, found `n`", 1, 26),
    ("RETURN 1 SKIP -1", "SKIP needs a non-negative integer, found -1", 1, 15),
    ("RETURN 1 LIMIT 1.5", "LIMIT needs a non-negative integer, found 1.5", 1, 16),
    ("RETURN $a + $b AS x", "missing parameter $a", 1, 8),
    # projections
    ("WITH 1 + 1 RETURN 1", "an expression in WITH needs a name: add AS and a variable", 1, 6),
    ("RETURN 1 AS a, 2 AS a", "column `a` is projected twice", 1, 16),
    ("RETURN *", "RETURN * needs variables in scope", 1, 1),
    ("MATCH (n) RETURN DISTINCT n.name ORDER BY n.n",
     "variable `n` is not defined (after RETURN with DISTINCT or an aggregate, "
     "ORDER BY sees only the projected names)", 1, 43),
    ("MATCH (n) RETURN n.n + count(*)",
     "variable `n` is read beside an aggregate: project it as an item of its own (a grouping key) "
     "to use it here", 1, 18),
    ("UNWIND [1] AS x UNWIND [2] AS z WITH x AS y, count(*) AS c ORDER BY z + count(*) RETURN y",
     "variable `z` is not defined (after WITH with DISTINCT or an aggregate, "
     "ORDER BY sees only the projected names)", 1, 69),
    ("UNWIND [1] AS x RETURN DISTINCT x ORDER BY count(*)",
     "aggregate function count() is not allowed in ORDER BY after DISTINCT without aggregates", 1, 44),
    ("MATCH (n) RETURN n.n ORDER BY count(*)",
     "aggregate function count() is not allowed in ORDER BY after a projection without aggregates", 1, 31),
    # aggregates and functions
    ("MATCH (n) RETURN count(count(n))", "aggregate function count() cannot stand inside another aggregate", 1, 24),
    ("MATCH (n) WHERE count(n) > 1 RETURN n", "aggregate function count() is not allowed in WHERE", 1, 17),
    ("MATCH (n) RETURN [x IN [1] | sum(x)] AS l", "aggregate function sum() is not allowed in a list comprehension", 1, 30),
    ("UNWIND [1] AS x WITH x WHERE max(x) > 0 RETURN x", "aggregate function max() is not allowed in WHERE", 1, 30),
    ("RETURN nosuch(1)", "unknown function nosuch()", 1, 8),
    ("RETURN 1 AS x, apoc.coll.sum([1])", "unknown function apoc.coll.sum()", 1, 16),
    ("RETURN toLower('A', 1)", "function toLower() takes 1 argument, 2 given", 1, 8),
    ("RETURN substring()", "function substring() takes 2 to 3 arguments, 0 given", 1, 8),
    ("RETURN toUpper(DISTINCT 'a')", "DISTINCT is allowed only in an aggregate function, not in toUpper()", 1, 8),
    # the shape of a query
    ("MATCH (n)", "a reading query must end with RETURN, not MATCH", 1, 1),
    ("MATCH (n) RETURN n MATCH (m) RETURN m", "no clause can follow RETURN, found MATCH", 1, 20),
    ("MATCH (n) RETURN n UNION MATCH (m) RETURN m",
     "every part of a UNION must return the same columns in the same order", 1, 36),
    ("MATCH (n) RETURN n UNION MATCH (n) SET n.x = 1", "each part of a UNION must end with RETURN", 1, 36),
    ("MATCH (n) WHERE exists { CREATE (m:M) } RETURN n", "CREATE cannot stand in a subquery", 1, 26),
    ("MATCH p = shortestPath((a)-[*2..5]-(b)) RETURN p", "shortestPath takes a lower bound of 0 or 1, not 2", 1, 27),
    ("MATCH p = allShortestPaths((a)-->()-->(b)) RETURN p",
     "allShortestPaths needs a pattern of one relationship", 1, 11),
    ("CREATE p = shortestPath((a:A)-[:r]->(b:B))", "CREATE cannot make a shortest path", 1, 12),
    # writes under one node per type, one edge per term
    ("MATCH (n) SET n:Person", "SET cannot change a label: a node's type is its identity", 1, 15),
    ("MATCH (n) REMOVE n.x, n:Person", "REMOVE cannot change a label: a node's type is its identity", 1, 23),
    ("CREATE (a)", "a node to create needs exactly one label (its type)", 1, 8),
    ("CREATE (a:A:B)", "a node to create needs exactly one label (its type)", 1, 8),
    ("MERGE (a:A|B)", "a node to merge needs exactly one label (its type)", 1, 7),
    ("MATCH (a) CREATE (a:A)", "node `a` is already bound: CREATE cannot give it labels or properties", 1, 18),
    ("CREATE (a:A)-[:r]-(b:B)", "a relationship to create needs a direction", 1, 13),
    ("CREATE (a:A)-[:r|s]->(b:B)", "a relationship to create needs exactly one type (a term name)", 1, 13),
    ("CREATE (a:A)-[:$A -> B$]->(b:B)", "a relationship to create needs a term name, not a type schema", 1, 16),
    ("CREATE (a:A)-[:r*2]->(b:B)", "a variable-length relationship cannot be created", 1, 13),
    ("MATCH ()-[r]->() CREATE (a:A)-[r:s]->(b:B)",
     "relationship `r` is already bound: CREATE makes new relationships", 1, 30),
]


@pytest.mark.parametrize("query, what, line, column", ERRORS)
def test_errors_point_at_the_offending_token(g, query, what, line, column):
    with pytest.raises(ValueError) as info:
        g.cypher(query)
    assert str(info.value) == error_text(query, what, line, column)


def test_caret_counts_code_points_and_repeats_tabs(g):
    with pytest.raises(ValueError) as info:
        g.cypher("MATCH (n)\n\tWHERE n.é = 'ü' AND nope\n\tRETURN n")
    assert str(info.value) == (
        "Invalid query: variable `nope` is not defined at line 2, column 22\n"
        "\tWHERE n.é = 'ü' AND nope\n"
        "\t" + " " * 20 + "^"
    )


def test_parameters_are_checked_per_call(g):
    q = "RETURN $a AS a LIMIT $n"
    assert g.cypher(q, a=1, n=1) == [{"a": 1}]
    with pytest.raises(ValueError, match=r"missing parameter \$n at line 1, column 22"):
        g.cypher(q, a=1)  # the same text again, now from the cache
    assert g.cypher(q, {"a": 2, "n": 0}) == []


@settings(max_examples=300, deadline=None)
@given(st.lists(st.sampled_from([
    "MATCH", "RETURN", "WITH", "WHERE", "UNWIND", "AS", "ORDER BY", "CREATE", "exists", "{", "}",
    "(", ")", "[", "]", "-", "->", "<-", ":", "|", ",", ".", "..", "*", "=", "+", "$p", "$A$",
    "n", "m", "`q`", "1", "'s'", "NOT", "AND", "count(*)", "[x IN [1] | x]", "\n", "\t", "/*", "*/",
    "//", "é", "CASE", "WHEN", "THEN", "END", "0x", "1e", "\\", "'", "UNION",
]), max_size=16))
def test_any_text_parses_or_fails_with_a_well_formed_error(tokens):
    query = " ".join(tokens)
    g = Graph()
    try:
        g.cypher(query, p=1)
    except ValueError as e:
        text = str(e)
        m = re.match(r"Invalid query: .* at line (\d+), column (\d+)\n", text)
        if m is None:  # a refusal of the run, not of the text
            return
        line, column = int(m[1]), int(m[2])
        shown, caret = text[m.end():].rsplit("\n", 1)
        assert shown == query.split("\n")[line - 1]
        assert caret.endswith("^") and len(caret) == column
    except TypeError:
        pass  # operands of the wrong kind, found before or during the run


# Expressions built from integers and booleans with the operators whose
# meaning Python shares (chained comparisons included), written with as few
# parentheses as each operator's precedence allows, so a fault in precedence
# or associativity changes the answer.
PREC = {"OR": 1, "XOR": 2, "AND": 3, "NOT": 4, "<": 5, "<=": 5, "=": 5, "<>": 5, "+": 7, "-": 7, "*": 8}
PYTHON = {"OR": "or", "XOR": "!=", "AND": "and", "<": "<", "<=": "<=", "=": "==", "<>": "!=",
          "+": "+", "-": "-", "*": "*"}


def expressions():
    """(Cypher text, the same in Python fully parenthesized, precedence of its top operator)."""

    def binary(op, left, right):
        def build(pair):
            (ca, pa, la), (cb, pb, lb) = pair
            ca = ca if la >= PREC[op] else f"({ca})"  # left-associative
            cb = cb if lb > PREC[op] else f"({cb})"
            return f"{ca} {op} {cb}", f"({pa} {PYTHON[op]} {pb})", PREC[op]
        return st.tuples(left, right).map(build)

    def chain(parts):  # a < b <= c: every adjacent pair, as in Python
        (first, *rest), ops = parts
        text, py = first[0], first[1]
        for op, (c, p, _) in zip(ops, rest):
            text, py = f"{text} {op} {c}", f"{py} {PYTHON[op]} {p}"
        return text, f"({py})", PREC["<"]

    ints = st.recursive(st.integers(-5, 5).map(lambda i: (str(i), f"({i})", 9)),
                        lambda c: st.one_of(*[binary(op, c, c) for op in "+-*"]), max_leaves=6)
    comparisons = st.tuples(st.lists(ints, min_size=2, max_size=4),
                            st.lists(st.sampled_from(["<", "<=", "=", "<>"]), min_size=3, max_size=3))
    bools = st.recursive(
        st.one_of(st.sampled_from([("true", "True", 9), ("false", "False", 9)]), comparisons.map(chain)),
        lambda c: st.one_of(
            *[binary(op, c, c) for op in ("AND", "OR", "XOR")],
            c.map(lambda b: (f"NOT {b[0] if b[2] >= PREC['NOT'] else f'({b[0]})'}", f"(not {b[1]})",
                             PREC["NOT"]))),
        max_leaves=8)
    return st.one_of(ints, bools)


@settings(max_examples=300, deadline=None)
@given(expressions())
def test_precedence_and_associativity_against_python(expr):
    text, python, _ = expr
    # a comparison chain like `1 < 2 < 3` means what it means in Python
    assert Graph().cypher(f"RETURN {text} AS v") == [{"v": eval(python)}]


def cypher_string(text, quote):
    """`text` as a Cypher string literal, escaping what must be and, at random
    by character, writing others as escapes too."""
    named = {"\t": "\\t", "\b": "\\b", "\n": "\\n", "\r": "\\r", "\f": "\\f", "\\": "\\\\", quote: "\\" + quote}
    out = []
    for i, ch in enumerate(text):
        if ch in named:
            out.append(named[ch])
        elif i % 3 == 1:
            out.append(f"\\u{ord(ch):04x}" if ord(ch) < 0x10000 else f"\\U{ord(ch):08X}")
        else:
            out.append(ch)
    return quote + "".join(out) + quote


@settings(max_examples=200, deadline=None)
@given(st.text(st.characters(blacklist_categories=["Cs"]), max_size=20), st.sampled_from("'\""))
def test_string_literals_decode_to_their_text(text, quote):
    assert Graph().cypher(f"RETURN {cypher_string(text, quote)} AS s") == [{"s": text}]


@settings(max_examples=200, deadline=None)
@given(st.text(st.characters(blacklist_categories=["Cs"]), min_size=1, max_size=12))
def test_backquoted_names_round_trip(name):
    q = "`" + name.replace("`", "``") + "`"
    assert Graph().cypher(f"WITH 1 AS {q} RETURN {q}") == [{name: 1}]


@settings(max_examples=200, deadline=None)
@given(st.integers(0, 10**30), st.sampled_from(["{:d}", "0x{:x}", "0X{:X}", "0o{:o}", "0{:o}"]))
def test_integer_literals_in_every_base(value, form):
    text = form.format(value)
    if form == "0{:o}" and value == 0:
        text = "0"
    assert Graph().cypher(f"RETURN {text} AS v, -{text} AS w") == [{"v": value, "w": -value}]


@settings(max_examples=200, deadline=None)
@given(st.floats(min_value=0, max_value=1e300, allow_nan=False), st.sampled_from(["{!r}", "{:e}", "{:.3E}"]))
def test_float_literals(value, form):
    text = form.format(value)
    if "e" not in text.lower() and "." not in text:
        text += ".0"
    assert Graph().cypher(f"RETURN {text} AS v") == [{"v": float(text)}]


# Blanks a query may hold between tokens; the position of what follows is
# counted in code points from the start of its line.
BLANKS = st.lists(st.sampled_from([" ", "\t", "\n", "\r\n", "\u3000", "/* é\n */", "// ü\n", "\u00a0"]),
                  max_size=6).map("".join)


@settings(max_examples=200, deadline=None)
@given(BLANKS, BLANKS, BLANKS, st.sampled_from(["x", "größe", "`a b`", "名前"]))
def test_error_positions_across_lines_comments_and_unicode(b1, b2, b3, name):
    query = f"WITH{b1 or ' '}'ü' AS s{b2 or ' '}RETURN{b3 or ' '}s + {name}"
    before = query[: query.rindex(name)]
    line = before.count("\n") + 1
    column = len(before) - (before.rindex("\n") + 1 if "\n" in before else 0) + 1
    shown = name.strip("`")
    with pytest.raises(ValueError) as info:
        Graph().cypher(query)
    head, text, caret = str(info.value).rsplit("\n", 2)
    assert head == f"Invalid query: variable `{shown}` is not defined at line {line}, column {column}"
    assert text == query.split("\n")[line - 1].rstrip("\r") and len(caret) == column


DEEP = {
    # nested text: refused past the limit, never a crash
    "parens": ("RETURN " + "(" * 499 + "1" + ")" * 499 + " AS x", "[{'x': 1}]"),
    "parens_too_deep": ("RETURN " + "(" * 100_000 + "1" + ")" * 100_000, "nesting too deep"),
    "lists_too_deep": ("RETURN " + "[" * 100_000 + "]" * 100_000, "nesting too deep"),
    "maps_too_deep": ("RETURN " + "{a: " * 100_000 + "1" + "}" * 100_000, "nesting too deep"),
    "calls_too_deep": ("RETURN " + "abs(" * 100_000 + "1" + ")" * 100_000, "nesting too deep"),
    "exists_too_deep": ("MATCH (n) WHERE " + "exists { MATCH (n) WHERE " * 20_000 + "true"
                        + " }" * 20_000 + " RETURN n", "nesting too deep"),
    "properties_too_deep": ("WITH {} AS m RETURN m" + ".a" * 100_000, "nesting too deep"),
    # flat chains: read by loops, answered
    "not_chain": ("RETURN " + "NOT " * 100_000 + "true AS x", "[{'x': True}]"),
    "minus_chain": ("RETURN " + "- " * 100_001 + "1 AS x", "[{'x': -1}]"),
    "sum_chain": ("RETURN " + "1 + " * 100_000 + "1 AS x", "[{'x': 100001}]"),
    "and_chain": ("RETURN " + "true AND " * 100_000 + "true AS x", "[{'x': True}]"),
    "compare_chain": ("RETURN " + "1 < " * 100_000 + "2 AS x", "[{'x': False}]"),
    "long_list": ("RETURN size([" + "1, " * 100_000 + "1]) AS x", "[{'x': 100001}]"),
    "many_items": ("RETURN " + ", ".join(f"{i} AS a{i}" for i in range(100_000)), "'a99999': 99999}]"),
    "many_clauses": (" ".join(f"UNWIND [{i}] AS u{i}" for i in range(20_000)) + " RETURN u19999",
                     "[{'u19999': 19999}]"),
    "many_unions": (" UNION ".join(["RETURN 1 AS x"] * 20_000), "[{'x': 1}]"),
}


@pytest.mark.parametrize("case", sorted(DEEP))
def test_deep_and_long_text(case):
    query, expected = DEEP[case]
    code = textwrap.dedent(f"""
        import sys, velkora
        query = sys.stdin.read()
        try:
            print(velkora.Graph().cypher(query))
        except ValueError as e:
            print(str(e).split(" at line")[0])
    """)
    out = subprocess.run([sys.executable, "-c", code], input=query, capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr[-2000:]
    assert expected in out.stdout
