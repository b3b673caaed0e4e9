"""Generated Cypher queries for the differential tests against FalkorDB.

`QueryGen` draws one query at a time (through hypothesis' `data.draw`) over
the variables in scope, and renders it twice: the text velkora runs, and the
text FalkorDB runs. The two differ only where FalkorDB departs from
openCypher; every such rewrite says so where it is made. Columns carry how
they compare (`falkordb_support.Column`).

Feature switches choose the language: the reading core (always), and
variable-length relationships, named paths, shortest paths and pattern
predicates, which the path tests switch on.
"""
from dataclasses import dataclass, field

from hypothesis import strategies as st

from falkordb_support import (EDGE_KEYS, MISSING_LABEL, NODE_KEYS, STRINGS, TERM_NAMES,
                              TYPE_NAMES, Column, Query, literal)

COMPARISONS = ["=", "<>", "<", "<=", ">", ">="]
# `=~` is run by FalkorDB as the string predicate it is equal to (FalkorDB
# has no `=~`): each regular expression here matches exactly what its
# predicate does, so velkora's `=~` (a full match) is compared with it.
REGEXES = [("a.*", "STARTS WITH 'a'"), (".*b", "ENDS WITH 'b'"), (".*ab.*", "CONTAINS 'ab'"),
           ("ab", "= 'ab'"), ("", "= ''")]
SCALARS = ("int", "str", "bool")
# Words whose case velkora's text may change: keywords and function names
# are case-insensitive, so the same query written otherwise must agree.
KEYWORDS = ["MATCH", "OPTIONAL", "WHERE", "WITH", "RETURN", "UNWIND", "AS", "DISTINCT", "ORDER",
            "BY", "SKIP", "LIMIT", "UNION", "ALL", "AND", "OR", "XOR", "NOT", "IN", "IS", "NULL",
            "STARTS", "ENDS", "CONTAINS", "CASE", "WHEN", "THEN", "ELSE", "END", "ASC", "DESC",
            "true", "false", "null", "count", "collect", "toUpper", "coalesce", "size", "labels"]


@dataclass
class Var:
    kind: str               # int str bool float node rel path list:int list:str list:node ...
    nullable: bool = False
    unordered: bool = False  # a list whose order no query fixes (collect)
    direction: str = ""      # paths and variable-length relationships: the one direction walked
    varlen: bool = False     # a variable-length relationship variable


@dataclass
class Expr:
    vk: str
    fk: str
    kind: str
    unordered: bool = False
    aggregate: bool = False
    var: Var = None


def same(text, kind, **kw):
    return Expr(text, text, kind, **kw)


@dataclass
class Scope:
    vars: dict = field(default_factory=dict)   # user variables, in order of introduction

    def of(self, *kinds, ordered=False):
        return [n for n, v in self.vars.items()
                if v.kind in kinds and not v.varlen and not (ordered and v.unordered)]


class QueryGen:
    def __init__(self, draw, model, *, varlen=False, named_paths=False, shortest=False,
                 pattern_predicates=False):
        self.draw = draw
        self.model = model
        self.varlen = varlen
        self.named_paths = named_paths
        self.shortest = shortest
        self.pattern_predicates = pattern_predicates
        self.undirected_varlen = not model.has_self_loop()
        self.counter = 0
        self.params = {}

    # ----- drawing helpers

    def pick(self, seq):
        return self.draw(st.sampled_from(list(seq)))

    def chance(self, percent):
        return self.draw(st.integers(0, 99)) < percent

    def upto(self, n, low=0):
        return self.draw(st.integers(low, n))

    def fresh(self, prefix):
        self.counter += 1
        return f"{prefix}{self.counter}"

    def hidden(self):
        # Names only the FalkorDB text uses; no user variable starts with `_`.
        self.counter += 1
        return f"_h{self.counter}"

    def int_lit(self):
        if self.chance(10):
            name = f"p{len(self.params)}"
            self.params[name] = self.upto(4)
            return f"${name}"
        return str(self.draw(st.integers(-3, 5)))

    def count_lit(self):
        if self.chance(25):
            name = f"p{len(self.params)}"
            self.params[name] = self.upto(3)
            return f"${name}"
        return str(self.upto(3))

    def int_expr_lit(self):
        text = self.int_lit()
        # FalkorDB reads `-2 IN [1]` as `-(2 IN [1])`; Neo4j 5's grammar reads
        # a minus before a number as part of the literal, so the FalkorDB
        # text puts negative literals in parentheses.
        return Expr(text, f"({text})" if text.startswith("-") else text, "int")

    def str_lit(self):
        return literal(self.pick(STRINGS))

    # ----- expressions

    def expr(self, kind, sc, d):
        return getattr(self, "e_" + kind.replace(":", "_"))(sc, d)

    def e_int(self, sc, d):
        nodes, rels = sc.of("node"), sc.of("rel")
        opts = ["lit"]
        if nodes:
            opts += ["nprop"] * 4
        if rels:
            opts += ["rprop"] * 2
        if sc.of("int"):
            opts += ["var"] * 3
        if d > 0:
            opts += ["arith", "arith", "div", "neg", "size_s", "size_l", "coalesce", "case",
                     "abs", "index", "map", "fn"]
        o = self.pick(opts)
        if o == "lit":
            return self.int_expr_lit()
        if o == "nprop":
            return same(f"{self.pick(nodes)}.{self.pick(['i', 'j'])}", "int")
        if o == "rprop":
            return same(f"{self.pick(rels)}.i", "int")
        if o == "var":
            return same(self.pick(sc.of("int")), "int")
        if o == "arith":
            a, b = self.e_int(sc, d - 1), self.e_int(sc, d - 1)
            op = self.pick(["+", "-", "*"])
            return Expr(f"({a.vk} {op} {b.vk})", f"({a.fk} {op} {b.fk})", "int")
        if o == "div":
            a = self.e_int(sc, d - 1)
            op, k = self.pick(["/", "%"]), self.pick(["2", "3", "-2"])
            return Expr(f"({a.vk} {op} {k})", f"({a.fk} {op} {k})", "int")
        if o == "neg":
            a = self.e_int(sc, d - 1)
            return Expr(f"(-{a.vk})", f"(-{a.fk})", "int")
        if o == "size_s":
            a = self.e_str(sc, d - 1)
            return Expr(f"size({a.vk})", f"size({a.fk})", "int")
        if o == "size_l":
            a = self.e_list_int(sc, d - 1)
            return Expr(f"size({a.vk})", f"size({a.fk})", "int")
        if o == "coalesce":
            a, b = self.e_int(sc, d - 1), self.e_int(sc, d - 1)
            return Expr(f"coalesce({a.vk}, {b.vk})", f"coalesce({a.fk}, {b.fk})", "int")
        if o == "case":
            return self.case("int", sc, d)
        if o == "abs":
            a = self.e_int(sc, d - 1)
            return Expr(f"abs({a.vk})", f"abs({a.fk})", "int")
        if o == "map":
            a = self.e_int(sc, d - 1)
            key = self.pick(["k", "m"])
            return Expr(f"{{k: {a.vk}, n: 1}}.{key}", f"{{k: {a.fk}, n: 1}}.{key}", "int")
        if o == "fn":
            a = self.e_int(sc, d - 1)
            f = self.pick(["sign({})", "toInteger(toString({}))", "toInteger({} / 2.0)",
                           "toInteger(toFloat({}) * 1.5)"])
            fk = f
            if f.startswith("toInteger(") and "toString" not in f:
                # FalkorDB's toInteger of a negative float rounds down
                # (toInteger(-4.5) is -5); openCypher truncates towards zero.
                fk = "[_t IN [" + f[len("toInteger("):-1] + "] | sign(_t) * toInteger(abs(_t))][0]"
            return Expr(f.format(a.vk), fk.format(a.fk), "int")
        a = self.e_list_int(sc, d - 1, ordered=True)
        f = self.pick(["head({})", "last({})", "{}[0]", "{}[-1]", "{}[1]"])
        return Expr(f.format(a.vk), f.format(a.fk), "int")

    def e_float(self, sc, d):
        a = self.e_int(sc, max(d - 1, 0))
        f = self.pick(["toFloat({})", "({} / 2.0)", "({} * 0.5)", "({} + 0.25)", "round({} / 4.0)",
                       "ceil({} / 3.0)", "floor({} / 3.0)", "abs({} - 0.5)", "sqrt(abs({}))",
                       "({} ^ 2)"])
        fk = f
        if f.startswith("round"):
            # FalkorDB rounds ties away from zero (round(-0.5) is -1.0); Cypher
            # rounds them towards positive infinity, as floor(x + 0.5) does.
            fk = "floor(({} / 4.0) + 0.5)"
        return Expr(f.format(a.vk), fk.format(a.fk), "float")

    def e_str(self, sc, d):
        nodes, rels = sc.of("node"), sc.of("rel")
        opts = ["lit"]
        if nodes:
            opts += ["nprop"] * 4 + ["label"]
        if rels:
            opts += ["rprop", "type"]
        if sc.of("str"):
            opts += ["var"] * 3
        if d > 0:
            opts += ["concat", "fn", "fn", "tostring", "case", "coalesce"]
        o = self.pick(opts)
        if o == "lit":
            return same(self.str_lit(), "str")
        if o == "nprop":
            return same(f"{self.pick(nodes)}.s", "str")
        if o == "label":
            return same(f"labels({self.pick(nodes)})[0]", "str")
        if o == "rprop":
            return same(f"{self.pick(rels)}.s", "str")
        if o == "type":
            return same(f"type({self.pick(rels)})", "str")
        if o == "var":
            return same(self.pick(sc.of("str")), "str")
        if o == "concat":
            a, b = self.e_str(sc, d - 1), self.e_str(sc, d - 1)
            return Expr(f"({a.vk} + {b.vk})", f"({a.fk} + {b.fk})", "str")
        if o == "fn":
            a = self.e_str(sc, d - 1)
            f = self.pick(["toUpper({})", "toLower({})", "trim({})", "reverse({})",
                           "substring({}, 1)", "substring({}, 0, 2)", "left({}, 1)",
                           "right({}, 2)", "replace({}, 'a', 'xy')", "ltrim({})", "rtrim({})",
                           "({} + ' ')", "toString(size({}))", "head(split({}, 'b'))"])
            return Expr(f.format(a.vk), f.format(a.fk), "str")
        if o == "tostring":
            a = self.e_int(sc, d - 1)
            return Expr(f"toString({a.vk})", f"toString({a.fk})", "str")
        if o == "coalesce":
            a, b = self.e_str(sc, d - 1), self.e_str(sc, d - 1)
            return Expr(f"coalesce({a.vk}, {b.vk})", f"coalesce({a.fk}, {b.fk})", "str")
        return self.case("str", sc, d)

    def e_list_int(self, sc, d, ordered=False):
        nodes = sc.of("node")
        lists = sc.of("list:int", ordered=ordered)
        opts = ["lit", "range"]
        if nodes:
            opts += ["nprop"] * 3
        if lists:
            opts += ["var"] * 2
        if d > 0:
            opts += ["comp", "tail", "concat", "slice"]
        o = self.pick(opts)
        if o == "lit":
            items = [self.int_lit() if self.chance(85) else "null" for _ in range(self.upto(3))]
            return same("[" + ", ".join(items) + "]", "list:int")
        if o == "range":
            return same(f"range({self.upto(2)}, {self.upto(3)})", "list:int")
        if o == "nprop":
            return same(f"{self.pick(nodes)}.l", "list:int")
        if o == "var":
            name = self.pick(lists)
            return same(name, "list:int", unordered=sc.vars[name].unordered)
        if o == "comp":
            a = self.e_list_int(sc, d - 1, ordered)
            k = self.int_lit()
            x = self.fresh("z")
            return Expr(f"[{x} IN {a.vk} WHERE {x} > {k} | {x} * 2]",
                        f"[{x} IN {a.fk} WHERE {x} > {k} | {x} * 2]", "list:int",
                        unordered=a.unordered)
        if o == "tail":
            a = self.e_list_int(sc, d - 1, ordered=True)
            f = self.pick(["tail({})", "reverse({})"])
            return Expr(f.format(a.vk), f.format(a.fk), "list:int")
        if o == "slice":
            a = self.e_list_int(sc, d - 1, ordered=True)
            f = self.pick(["{}[0..2]", "{}[1..]", "{}[..1]", "{}[-2..]", "{}[1..-1]"])
            return Expr(f.format(a.vk), f.format(a.fk), "list:int")
        a, b = self.e_list_int(sc, d - 1, ordered), self.e_list_int(sc, d - 1, ordered)
        return Expr(f"({a.vk} + {b.vk})", f"({a.fk} + {b.fk})", "list:int",
                    unordered=a.unordered or b.unordered)

    def e_bool(self, sc, d):
        nodes, rels = sc.of("node"), sc.of("rel")
        opts = ["lit", "cmp_int", "cmp_int", "cmp_str", "isnull", "in", "strpred", "regex"]
        if nodes:
            opts += ["bprop", "label", "node_eq"]
        if rels:
            opts += ["rlabel", "rel_eq"]
        if sc.of("bool"):
            opts += ["var"]
        if d > 0:
            opts += ["and", "or", "xor", "not"] * 2 + ["cmp_bool", "list_eq", "quant"]
        o = self.pick(opts)
        if o == "lit":
            return same(self.pick(["true", "false", "null"]), "bool")
        if o in ("cmp_int", "cmp_str"):
            kind = o[4:]
            a, b = self.expr(kind, sc, d - 1), self.expr(kind, sc, d - 1)
            op = self.pick(COMPARISONS)
            return Expr(f"({a.vk} {op} {b.vk})", f"({a.fk} {op} {b.fk})", "bool")
        if o == "isnull":
            a = self.expr(self.pick(["int", "str", "list_int"]).replace("_", ":"), sc, d - 1)
            neg = self.pick(["", "NOT "])
            return Expr(f"({a.vk} IS {neg}NULL)", f"({a.fk} IS {neg}NULL)", "bool")
        if o == "in":
            a = self.e_int(sc, d - 1)
            b = self.e_list_int(sc, d - 1)
            return Expr(f"({a.vk} IN {b.vk})", f"({a.fk} IN {b.fk})", "bool")
        if o == "strpred":
            a = self.e_str(sc, d - 1)
            op = self.pick(["STARTS WITH", "ENDS WITH", "CONTAINS"])
            lit = self.str_lit()
            return Expr(f"({a.vk} {op} {lit})", f"({a.fk} {op} {lit})", "bool")
        if o == "regex":
            a = self.e_str(sc, d - 1)
            rx, pred = self.pick(REGEXES)
            return Expr(f"({a.vk} =~ '{rx}')", f"({a.fk} {pred})", "bool")
        if o == "cmp_bool":
            a, b = self.e_bool(sc, d - 1), self.e_bool(sc, d - 1)
            op = self.pick(["=", "<>"])
            return Expr(f"({a.vk} {op} {b.vk})", f"({a.fk} {op} {b.fk})", "bool")
        if o == "list_eq":
            a, b = self.e_list_int(sc, d - 1, True), self.e_list_int(sc, d - 1, True)
            return Expr(f"({a.vk} = {b.vk})", f"({a.fk} = {b.fk})", "bool")
        if o == "quant":
            a = self.e_list_int(sc, d - 1)
            x, k = self.fresh("z"), self.int_expr_lit()
            q = self.pick(["all", "any", "none", "single"])
            return Expr(f"{q}({x} IN {a.vk} WHERE {x} > {k.vk})",
                        f"{q}({x} IN {a.fk} WHERE {x} > {k.fk})", "bool")
        if o == "bprop":
            return same(f"{self.pick(nodes)}.b", "bool")
        if o == "label":
            n = self.pick(nodes)
            label = self.pick(TYPE_NAMES[:3] + [MISSING_LABEL])
            return same(f"({n}:{label})", "bool")
        if o == "node_eq":
            a, b = self.pick(nodes), self.pick(nodes)
            op = self.pick(["=", "<>"])
            return same(f"({a} {op} {b})", "bool")
        if o == "rlabel":
            r, t = self.pick(rels), self.pick(TERM_NAMES)
            # FalkorDB refuses a label test on a relationship ("expected
            # Node"); a relationship's label is its type, so it runs the
            # type comparison, null for a null relationship as the test is.
            return Expr(f"({r}:{t})", f"(type({r}) = '{t}')", "bool")
        if o == "rel_eq":
            a, b = self.pick(rels), self.pick(rels)
            return same(f"({a} = {b})", "bool")
        if o == "var":
            return same(self.pick(sc.of("bool")), "bool")
        if o == "not":
            a = self.e_bool(sc, d - 1)
            return Expr(f"(NOT {a.vk})", f"(NOT {a.fk})", "bool")
        a, b = self.e_bool(sc, d - 1), self.e_bool(sc, d - 1)
        if o == "xor":
            # FalkorDB gives null XOR false (and null XOR true) wrong; openCypher
            # makes XOR null when an operand is null, as this form is.
            return Expr(f"({a.vk} XOR {b.vk})",
                        f"((({a.fk}) AND NOT ({b.fk})) OR (NOT ({a.fk}) AND ({b.fk})))", "bool")
        op = o.upper()
        return Expr(f"({a.vk} {op} {b.vk})", f"({a.fk} {op} {b.fk})", "bool")

    def where_cond(self, sc):
        c = self.e_bool(sc, 2)
        if not (self.pattern_predicates and sc.of("node")):
            return c
        # Patterns as predicates stand at the top of WHERE, alone or joined by
        # AND / OR: FalkorDB reads a pattern elsewhere (in CASE, in RETURN)
        # as a list or refuses it.
        p = self.pattern_predicate(sc)
        o = self.pick(["alone", "and", "or"])
        if o == "alone":
            return p
        op = o.upper()
        return Expr(f"({p.vk} {op} {c.vk})", f"({p.fk} {op} {c.fk})", "bool")

    def pattern_predicate(self, sc):
        a = self.pick(sc.of("node"))
        types = self.rel_types()
        left, right = self.pick([("-", "->"), ("<-", "-"), ("-", "-")])
        other = self.pick(sc.of("node")) if self.chance(30) else "(" + self.pick(
            ["", ":" + self.pick(TYPE_NAMES[:3])]) + ")"
        if not other.startswith("("):
            other = f"({other})"
        text = f"({a}){left}[{types}]{right}{other}"
        neg = self.pick(["", "NOT "])
        return same(f"({neg}{text})", "bool")

    def case(self, kind, sc, d):
        if self.chance(50):
            c = self.e_bool(sc, d - 1)
            a, b = self.expr(kind, sc, d - 1), self.expr(kind, sc, d - 1)
            return Expr(f"CASE WHEN {c.vk} THEN {a.vk} ELSE {b.vk} END",
                        f"CASE WHEN {c.fk} THEN {a.fk} ELSE {b.fk} END", kind)
        x = self.e_int(sc, d - 1)
        a, b = self.expr(kind, sc, d - 1), self.expr(kind, sc, d - 1)
        k = self.int_lit()
        return Expr(f"CASE {x.vk} WHEN {k} THEN {a.vk} ELSE {b.vk} END",
                    f"CASE {x.fk} WHEN {k} THEN {a.fk} ELSE {b.fk} END", kind)

    def returnable(self, sc, d):
        """An expression to project: a variable or a value of some kind."""
        opts = ["int", "int", "str", "bool", "list:int", "float"]
        names = [n for n in sc.vars]
        if names:
            opts += ["var"] * 4
        nodes, rels = sc.of("node"), sc.of("rel")
        if nodes:
            opts += ["node_fn"]
        if rels:
            opts += ["rel_fn"]
        o = self.pick(opts)
        if o == "var":
            name = self.pick(names)
            v = sc.vars[name]
            return Expr(name, name, v.kind, unordered=v.unordered, var=v)
        if o == "node_fn":
            n = self.pick(nodes)
            f = self.pick(["labels({})", "keys({})", "properties({})", "{} {{.i, .s}}",
                           "{} {{.b, k: 1}}"])
            return Expr(f.format(n), f.format(n), "other", unordered=f.startswith("keys"))
        if o == "rel_fn":
            r = self.pick(rels)
            f = self.pick(["startNode({})", "endNode({})", "properties({})", "type({})"])
            kind = {"s": "node", "e": "node", "p": "other", "t": "str"}[f[0]]
            return Expr(f.format(r), f.format(r), kind)
        return self.expr(o, sc, d)

    def aggregate(self, sc, d):
        opts = ["count_star", "count", "count_distinct", "min", "max", "collect",
                "collect_distinct"]
        opts += ["sum", "sum", "avg", "stat"]
        o = self.pick(opts)
        if o == "count_star":
            return Expr("count(*)", "count(*)", "int", aggregate=True)
        if o in ("sum", "avg"):
            a = self.e_int(sc, d)
            dist = self.pick(["", "DISTINCT "])
            if o == "avg":
                return Expr(f"avg({dist}{a.vk})", f"avg({dist}{a.fk})", "float",
                            aggregate=True)
            # FalkorDB returns the sum of integers as a float; openCypher
            # gives an integer, so FalkorDB's text converts it back.
            return Expr(f"sum({dist}{a.vk})", f"toInteger(sum({dist}{a.fk}))", "int",
                        aggregate=True)
        if o == "stat":
            a = self.e_int(sc, d)
            f = self.pick(["stDev({})", "stDevP({})", "percentileCont({}, 0.5)",
                           "percentileDisc({}, 0.5)", "percentileCont({}, 0.25)",
                           "percentileDisc({}, 1.0)"])
            if f.startswith("percentileDisc"):
                # FalkorDB returns percentileDisc of integers as a float. Neo4j
                # describes it as the group's nearest INTEGER or FLOAT value but
                # signs it FLOAT, so the kind is left open here: both texts
                # compare its value as an integer.
                f = "toInteger(" + f + ")"
                return Expr(f.format(a.vk), f.format(a.fk), "int", aggregate=True)
            return Expr(f.format(a.vk), f.format(a.fk), "float", aggregate=True)
        if o in ("min", "max"):
            a = self.expr(self.pick(["int", "str"]), sc, d)
            return Expr(f"{o}({a.vk})", f"{o}({a.fk})", a.kind, aggregate=True)
        a = self.returnable(sc, d)
        dist = "DISTINCT " if o.endswith("distinct") else ""
        if a.kind == "path" or (a.var and a.var.varlen):
            # A collected path keeps no direction to read FalkorDB's reversed
            # listings by (see falkordb_support): paths are counted instead.
            o = "count"
        if o.startswith("count"):
            return Expr(f"count({dist}{a.vk})", f"count({dist}{a.fk})", "int", aggregate=True)
        kind = "list:" + a.kind if a.kind in ("int", "str", "node", "rel") else "list:other"
        return Expr(f"collect({dist}{a.vk})", f"collect({dist}{a.fk})", kind,
                    aggregate=True, unordered=True)

    # ----- patterns

    def rel_types(self):
        k = self.pick([0, 0, 1, 1, 1, 2])
        if k == 0:
            return ""
        names = self.draw(st.lists(st.sampled_from(TERM_NAMES + ["w"]), min_size=k,
                                   max_size=k, unique=True))
        return ":" + "|".join(names)

    def node_pattern(self, sc, clause_vars, conds, optional):
        """A node pattern: (vk text, fk text, variable or None)."""
        known = [n for n, v in list(sc.vars.items()) + list(clause_vars.items())
                 if v.kind == "node"]
        if known and self.chance(35):
            name = self.pick(known)
        elif self.chance(20):
            name = None
        else:
            name = self.fresh("n")
            clause_vars[name] = Var("node", nullable=optional)
        label_vk = label_fk = ""
        o = self.pick(["none", "none", "one", "one", "one", "missing", "quoted", "alt", "both"])
        fk_name = name
        if o == "one":
            label_vk = label_fk = ":" + self.pick(TYPE_NAMES[:3])
        elif o == "missing":
            label_vk = label_fk = ":" + MISSING_LABEL
        elif o == "quoted":
            label = self.pick(TYPE_NAMES[:3])
            label_vk = label_fk = f":`{label}`"
        elif o == "both":
            a, b = self.pick(TYPE_NAMES[:2]), self.pick(TYPE_NAMES[:2])
            label_vk = label_fk = f":{a}:{b}"
        elif o == "alt":
            labels = self.draw(st.lists(st.sampled_from(TYPE_NAMES[:3] + [MISSING_LABEL]),
                                        min_size=2, max_size=2, unique=True))
            label_vk = ":" + "|".join(labels)
            # FalkorDB has no label alternatives: the FalkorDB text tests
            # the node's labels in the clause's WHERE instead.
            fk_name = fk_name or self.hidden()
            conds.append("(" + " OR ".join(f"{fk_name}:{l}" for l in labels) + ")")
        props_vk = ""
        if self.chance(20):
            key = self.pick(["i", "s", "b"])
            value = {"i": self.int_lit, "s": self.str_lit,
                     "b": lambda: self.pick(["true", "false", "null"])}[key]()
            props_vk = f" {{{key}: {value}}}"
            # A property map tests equality as `=` does; the FalkorDB text
            # says it in WHERE (FalkorDB's server has crashed on maps in
            # patterns next to variable-length relationships).
            fk_name = fk_name or self.hidden()
            conds.append(f"{fk_name}.{key} = {value}")
        return f"({name or ''}{label_vk}{props_vk})", f"({fk_name or ''}{label_fk})", name

    def rel_pattern(self, sc, clause_vars, conds, optional, varlen_ok):
        """(vk text, fk text, variable, direction, variable length?)."""
        name = self.fresh("r") if self.chance(60) else None
        types = self.rel_types()
        direction = self.pick(["->", "->", "<-", "-"])
        length = ""
        if varlen_ok and self.chance(50) and (direction != "-" or self.undirected_varlen):
            # An undirected variable-length pattern walks a self-loop twice
            # in FalkorDB (once each way); openCypher walks a relationship
            # once, so those run only on graphs without self-loops.
            length = self.pick(["*", "*1", "*2", "*1..2", "*..2", "*0..1", "*2..", "*0..2"])
        fk_name = name
        props = ""
        if not length and self.chance(20):
            key = self.pick(["i", "s"])
            value = self.int_lit() if key == "i" else self.str_lit()
            props = f" {{{key}: {value}}}"
            fk_name = fk_name or self.hidden()
            conds.append(f"{fk_name}.{key} = {value}")
        if name:
            if length:
                clause_vars[name] = Var("list:rel", nullable=optional, varlen=True,
                                        direction=direction if direction != "-" else "")
            else:
                clause_vars[name] = Var("rel", nullable=optional)
        left, right = {"->": ("-", "->"), "<-": ("<-", "-"), "-": ("-", "-")}[direction]
        vk_text = f"{left}[{name or ''}{types}{length}{props}]{right}"
        fk_length, exact = length, None
        if length == "*2":
            # FalkorDB's server crashes on a named path over an exact length
            # of two or more that WHERE reads; its text asks for *2..3 and
            # then for the length (the pattern's path is named, see below).
            fk_length, exact = "*2..3", 2
        fk_text = f"{left}[{fk_name or ''}{types}{fk_length}]{right}"
        return vk_text, fk_text, direction, bool(length), exact

    def path_pattern(self, sc, clause_vars, conds, optional):
        """One comma-separated pattern of a MATCH: (vk, fk, number of relationships,
        path name used by the FalkorDB text or None)."""
        hops = self.pick([0, 1, 1, 1, 2, 2])
        vk_parts, fk_parts, directions = [], [], []
        v, f, _ = self.node_pattern(sc, clause_vars, conds, optional)
        vk_parts.append(v)
        fk_parts.append(f)
        varlens = 0
        exact = None
        for _ in range(hops):
            v, f, direction, is_var, exact_hops = self.rel_pattern(
                sc, clause_vars, conds, optional, self.varlen and varlens == 0)
            varlens += is_var
            exact = exact or exact_hops
            vk_parts.append(v)
            fk_parts.append(f)
            directions.append(direction)
            v, f, _ = self.node_pattern(sc, clause_vars, conds, optional)
            vk_parts.append(v)
            fk_parts.append(f)
        path = None
        if self.named_paths and hops and self.chance(50):
            path = self.fresh("p")
            dirs = set(directions)
            clause_vars[path] = Var("path", nullable=optional,
                                    direction=dirs.pop() if dirs in ({"->"}, {"<-"}) else "")
        vk = "".join(vk_parts)
        fk = "".join(fk_parts)
        fk_path = path
        if hops and not fk_path:
            fk_path = self.hidden()
        if path:
            vk = f"{path} = {vk}"
        if fk_path:
            fk = f"{fk_path} = {fk}"
        if exact:
            conds.append(f"length({fk_path}) = {exact + hops - 1}")
        return vk, fk, hops, fk_path if hops else None

    def match_clause(self, sc, optional):
        clause_vars = {}
        conds = []
        vk_pats, fk_pats, paths = [], [], []
        for _ in range(self.pick([1, 1, 1, 2, 2, 3])):
            v, f, hops, path = self.path_pattern(sc, clause_vars, conds, optional)
            vk_pats.append(v)
            fk_pats.append(f)
            if path:
                paths.append(path)
        if paths:
            # FalkorDB lets one relationship stand for two relationship
            # patterns of one MATCH; openCypher never binds a relationship
            # twice within a clause. The FalkorDB text names each pattern as a
            # path and asks for distinct relationship ids across them. Naming
            # the relationships in WHERE also stops FalkorDB from folding
            # parallel relationships into one row when no returned column
            # names them.
            rels = " + ".join(f"relationships({p})" for p in paths)
            conds.append(f"all(_i IN range(0, size({rels}) - 2) WHERE all(_j IN "
                         f"range(_i + 1, size({rels}) - 1) WHERE id(({rels})[_i]) <> "
                         f"id(({rels})[_j])))")
        inner = Scope(dict(sc.vars, **clause_vars))
        where = self.where_cond(inner) if self.chance(45) else None
        head = "OPTIONAL MATCH " if optional else "MATCH "
        vk = head + ", ".join(vk_pats)
        fk = head + ", ".join(fk_pats)
        if where:
            vk += f" WHERE {where.vk}"
        fk_conds = ([f"({where.fk})"] if where else []) + conds
        if fk_conds:
            fk += " WHERE " + " AND ".join(fk_conds)
        sc.vars.update(clause_vars)
        return vk, fk

    def shortest_clause(self, sc):
        """MATCH (a...), (b...) WHERE a <> b  then a shortest path between them."""
        a, b = self.fresh("n"), self.fresh("n")
        la = self.pick(["", ":" + self.pick(TYPE_NAMES[:3])])
        lb = self.pick(["", ":" + self.pick(TYPE_NAMES[:3])])
        first = f"MATCH ({a}{la}), ({b}{lb}) WHERE {a} <> {b}"
        sc.vars[a] = Var("node")
        sc.vars[b] = Var("node")
        types = self.rel_types()
        bound = self.pick(["*", "*..2", "*1..3", "*..1"])
        p = self.fresh("p")
        every = self.chance(40)
        if every:
            # allShortestPaths is compared only directed: FalkorDB's
            # undirected allShortestPaths walks one relationship twice.
            direction = ("-", "->")
        else:
            # FalkorDB refuses undirected shortestPath.
            direction = self.pick([("-", "->"), ("<-", "-")])
        pattern = f"({a}){direction[0]}[{types}{bound}]{direction[1]}({b})"
        fn = "allShortestPaths" if every else "shortestPath"
        vk = f"{first} MATCH {p} = {fn}({pattern})"
        if "|" in types:
            # FalkorDB's shortest paths over type alternatives of which one is
            # in no relationship miss paths of the others ([:u|t*] without a
            # `u` finds fewer than [:t*]); a type of no relationship matches
            # nothing, so the FalkorDB text leaves such types out.
            names = types[1:].split("|")
            present = [n for n in names if any(n == e[0] for e in self.model.edges)]
            types = ":" + "|".join(present or names[:1])
            pattern = f"({a}){direction[0]}[{types}{bound}]{direction[1]}({b})"
        if every:
            # FalkorDB asks for the ends of allShortestPaths to be bound
            # before the MATCH, through a WITH.
            fk = f"{first} WITH {a}, {b} MATCH {p} = {fn}({pattern})"
        else:
            # FalkorDB runs shortestPath only as an expression of WITH or
            # RETURN; MATCH keeps the rows that have one, as the WHERE does.
            fk = f"{first} WITH {a}, {b}, {fn}({pattern}) AS {p} WHERE {p} IS NOT NULL"
        sc.vars[p] = Var("path", direction="->" if direction[1] == "->" else "<-")
        # Of several shortest paths shortestPath returns any one: only the
        # length and the ends are compared for it.
        return vk, fk, every, p

    def unwind_clause(self, sc):
        opts = ["lit"]
        lists = [n for n, v in sc.vars.items() if v.kind.startswith("list:") and not v.varlen
                 and v.kind != "list:other"]
        if lists:
            opts += ["var"] * 3
        if sc.of("node"):
            opts += ["prop"]
        o = self.pick(opts)
        x = self.fresh("x")
        if o == "var":
            name = self.pick(lists)
            kind = sc.vars[name].kind[5:]
            text = name
        elif o == "prop":
            text = f"{self.pick(sc.of('node'))}.l"
            kind = "int"
        else:
            text = self.e_list_int(sc, 1).vk
            kind = "int"
            if self.chance(20):
                items = [literal(self.pick(STRINGS)) for _ in range(self.upto(3))]
                text, kind = "[" + ", ".join(items) + "]", "str"
        sc.vars[x] = Var(kind, nullable=True)
        return f"UNWIND {text} AS {x}", f"UNWIND {text} AS {x}"

    # ----- projections

    def projection(self, sc, final, union_aliases=None):
        """RETURN or WITH items: (vk, fk, columns, new scope)."""
        items = []
        aggregating = self.chance(35)
        count = len(union_aliases) if union_aliases else self.pick([1, 1, 2, 2, 3])
        keys_count = count
        if aggregating:
            keys_count = self.upto(count - 1)
        for k in range(count):
            if k < keys_count:
                items.append(self.returnable(sc, 2))
            else:
                items.append(self.aggregate(sc, 1))
        distinct = self.chance(20)
        # ORDER BY with LIMIT / SKIP only where the order is total: every
        # item ordered, each of one scalar kind.
        orderable = all(e.kind in SCALARS for e in items)
        order = orderable and self.chance(40) and not union_aliases
        aliases, seen = [], set()
        for k, e in enumerate(items):
            if union_aliases:
                alias = union_aliases[k]
            elif e.var is not None and e.vk not in seen and (final or self.chance(70)):
                alias = None if self.chance(70) else self.fresh("c")
            elif final and not order and e.vk not in seen and self.chance(50):
                alias = None
            else:
                alias = self.fresh("c")
            seen.add(e.vk if alias is None else alias)
            aliases.append(alias)
        vk_items = [e.vk if a is None else f"{e.vk} AS {a}" for e, a in zip(items, aliases)]
        fk_items = [e.fk if a is None else f"{e.fk} AS {a}" for e, a in zip(items, aliases)]
        if final and not aggregating and not union_aliases and self.chance(8) and sc.vars \
                and self.star_ok:
            # RETURN *: the variables in the order the query introduced them
            # (FalkorDB's text lists them: it would also list its own names).
            names = list(sc.vars)
            vk = "RETURN " + ("DISTINCT " if distinct else "") + "*"
            fk = "RETURN " + ("DISTINCT " if distinct else "") + ", ".join(names)
            cols = [self.column(n, sc.vars[n]) for n in names]
            return vk, fk, cols, None, False
        head = ("RETURN " if final else "WITH ") + ("DISTINCT " if distinct else "")
        vk = head + ", ".join(vk_items)
        fk = head + ", ".join(fk_items)
        keys = [e.vk if a is None else a for e, a in zip(items, aliases)]
        if order:
            ordering = self.draw(st.permutations(keys))
            dirs = [self.pick(["", " DESC", " ASC"]) for _ in ordering]
            tail = " ORDER BY " + ", ".join(k + d for k, d in zip(ordering, dirs))
            if self.chance(40):
                tail += f" SKIP {self.count_lit()}"
            if self.chance(70):
                tail += f" LIMIT {self.count_lit()}"
            vk += tail
            fk += tail
        cols = []
        new = Scope()
        for e, key in zip(items, keys):
            v = e.var or Var(e.kind, nullable=True, unordered=e.unordered)
            column = self.column(key, v)
            column.unordered |= e.unordered
            cols.append(column)
            new.vars[key] = Var(v.kind, v.nullable, v.unordered or e.unordered, v.direction,
                                v.varlen)
        if not final and self.chance(30):
            where = self.where_cond(new)
            vk += f" WHERE {where.vk}"
            # FalkorDB runs a WITH's WHERE that names no variable before the
            # aggregation (`WITH count(*) AS c WHERE false` gives a row);
            # openCypher filters the WITH's rows, as a second WITH makes it.
            # FalkorDB also folds the WHERE of a WITH that passes an OPTIONAL
            # MATCH's variables on into that OPTIONAL MATCH, so a false
            # condition leaves its row of nulls (`OPTIONAL MATCH (n:E) WITH n
            # WHERE n.j > 7 RETURN count(*)` gives 1, not 0): the second WITH
            # is there for every WITH.
            fk += f" WITH * WHERE {where.fk}"
        return vk, fk, cols, new, order and not final

    def column(self, name, v):
        return Column(name, unordered=v.unordered, path_as_rels=v.varlen, direction=v.direction,
                      reversible=(v.kind == "path" and not v.direction)
                      or (v.varlen and not v.direction))

    # ----- whole queries

    def single(self, union_aliases=None):
        sc = Scope()
        vk, fk = [], []
        self.star_ok = True
        if self.shortest:
            v, f, every, p = self.shortest_clause(sc)
            vk.append(v)
            fk.append(f)
            if not every:
                # Only the length and ends of a shortestPath are compared.
                a, b = list(sc.vars)[:2]
                del sc.vars[p]
                ret = f"RETURN {a}, {b}, length({p}) AS len"
                return (" ".join(vk) + " " + ret, " ".join(fk) + " " + ret,
                        [Column(a), Column(b), Column("len")], False)
        else:
            first = self.pick(["match"] * 8 + ["unwind", "optional"])
            if first == "unwind":
                v, f = self.unwind_clause(sc)
            else:
                v, f = self.match_clause(sc, first == "optional")
            vk.append(v)
            fk.append(f)
        optional_before = vk[0].startswith("OPTIONAL")
        for _ in range(self.pick([0, 0, 1, 1, 2])):
            o = self.pick(["match", "optional", "optional", "unwind"])
            v, f = self.unwind_clause(sc) if o == "unwind" else self.match_clause(
                sc, o == "optional")
            if o == "match" and optional_before:
                # FalkorDB asks for a WITH between OPTIONAL MATCH and MATCH;
                # openCypher reads them in sequence, as `WITH *` does.
                f = "WITH * " + f
            optional_before |= o == "optional"
            vk.append(v)
            fk.append(f)
        if self.chance(35):
            v, f, _, new, _ = self.projection(sc, final=False)
            vk.append(v)
            fk.append(f)
            sc = new
            self.star_ok = False
            if self.chance(40):
                o = self.pick(["match", "optional", "unwind"])
                v, f = self.unwind_clause(sc) if o == "unwind" else self.match_clause(
                    sc, o == "optional")
                vk.append(v)
                fk.append(f)
        if any(v.kind == "path" for v in sc.vars.values()):
            self.star_ok = False
        v, f, cols, _, _ = self.projection(sc, final=True, union_aliases=union_aliases)
        ordered = " ORDER BY " in v.rsplit("RETURN", 1)[-1]
        vk.append(v)
        fk.append(f)
        return " ".join(vk), " ".join(fk), cols, ordered

    def restyle(self, vk, cols):
        """Keywords and some function names in other cases, comments between
        clauses: in velkora's text and in the keys it must give."""
        import re
        style = {w: self.pick([w.lower(), w.upper(), w.capitalize()]) for w in KEYWORDS}
        pattern = re.compile(r"\b(" + "|".join(KEYWORDS) + r")\b(?![.'])", re.IGNORECASE)
        styled = {w.lower(): v for w, v in style.items()}

        def apply(text):
            return pattern.sub(lambda m: styled[m.group(1).lower()], text)

        for c in cols:
            c.key = apply(c.key)
        vk = apply(vk)
        for head in (" MATCH ", " WITH ", " RETURN ", " UNWIND "):
            styled_head = apply(head)
            comment = self.pick([" /* a comment */ ", " // a comment\n", "\n  "])
            vk = vk.replace(styled_head, comment + styled_head.lstrip(), 1)
        return vk

    def query(self):
        vk, fk, cols, ordered = self.single()
        if not self.shortest and not ordered and self.chance(15):
            aliases = [f"u{k}" for k in range(self.pick([1, 2]))]
            vk, fk, cols, _ = self.single(aliases)
            vk2, fk2, cols2, _ = self.single(aliases)
            glue = self.pick([" UNION ", " UNION ALL "])
            for c, c2 in zip(cols, cols2):
                c.unordered |= c2.unordered
                c.reversible |= c2.reversible
            vk, fk = vk + glue + vk2, fk + glue + fk2
        if self.chance(25):
            vk = self.restyle(vk, cols)
        return Query(vk, fk, cols, ordered, dict(self.params))


# ----- writes ---------------------------------------------------------------------


class WriteGen:
    """Write queries whose meaning is the same under velkora's model (one node
    per type, one edge per term name between two types) and openCypher's:
    no CREATE of a type or an edge that is already there, MERGE without
    property maps on nodes (velkora finds a node by its type alone), DELETE of
    nodes only with DETACH."""

    def __init__(self, draw, model):
        self.draw = draw
        self.types = set(model.nodes)
        self.edges = {(n, s, e) for n, s, e, _ in model.edges}
        self.counter = 0

    def pick(self, seq):
        return self.draw(st.sampled_from(list(seq)))

    def chance(self, percent):
        return self.draw(st.integers(0, 99)) < percent

    def value(self, key):
        kind = (NODE_KEYS | EDGE_KEYS)[key]
        if kind == "int":
            return str(self.draw(st.integers(-3, 5)))
        if kind == "str":
            return literal(self.pick(STRINGS))
        if kind == "bool":
            return self.pick(["true", "false"])
        return literal(self.draw(st.lists(st.integers(0, 3), max_size=2)))

    def set_items(self, var, keys, other=None):
        items = []
        for _ in range(self.pick([1, 1, 2])):
            o = self.pick(["prop", "prop", "prop", "null", "add", "replace", "remove", "copy"])
            key = self.pick(keys)
            if o == "copy" and not other:
                o = "prop"
            if o == "prop":
                items.append(("SET", f"{var}.{key} = {self.value(key)}"))
            elif o == "null":
                items.append(("SET", f"{var}.{key} = null"))
            elif o in ("add", "replace"):
                m = {k: self.value(k) for k in set(self.draw(st.lists(st.sampled_from(keys),
                                                                       max_size=2)))}
                text = "{" + ", ".join(f"{k}: {v}" for k, v in sorted(m.items())) + "}"
                items.append(("SET", f"{var} {'+=' if o == 'add' else '='} {text}"))
            elif o == "remove":
                items.append(("REMOVE", f"{var}.{key}"))
            elif other:
                items.append(("SET", f"{var}.{key} = {other}.{key}"))
        vk = " ".join(f"{verb} {text}" for verb, text in items)
        # FalkorDB's REMOVE of a property an earlier SET or REMOVE clause of
        # the query removed takes another property of the entity instead
        # (`REMOVE n.i REMOVE n.i` on {i: 3, l: [3]} leaves {}); openCypher
        # removes nothing more. A WITH before each later REMOVE avoids it.
        fk = " ".join(("WITH * " if verb == "REMOVE" and k else "") + f"{verb} {text}"
                      for k, (verb, text) in enumerate(items))
        return vk if vk == fk else (vk, fk)

    @staticmethod
    def prefixed(head, texts):
        return tuple(head + t for t in texts) if isinstance(texts, tuple) else head + texts

    def clause(self):
        types = sorted(self.types)
        o = self.pick(["set_node", "set_node", "set_rel", "delete_rel", "detach", "create_node",
                       "create_rel", "merge_node", "merge_rel", "unwind_merge"])
        if o == "set_node" and types:
            t = self.pick(types + ["E"])
            return self.prefixed(f"MATCH (n:{t}) ", self.set_items("n", list(NODE_KEYS)))
        if o == "set_rel" and self.edges:
            name = self.pick(TERM_NAMES)
            return self.prefixed(f"MATCH (a)-[r:{name}]->(b) ",
                                 self.set_items("r", list(EDGE_KEYS), "a"))
        if o == "delete_rel" and self.edges:
            name = self.pick(TERM_NAMES)
            self.edges = {e for e in self.edges if e[0] != name}
            return f"MATCH ()-[r:{name}]->() DELETE r"
        if o == "detach" and types:
            t = self.pick(types)
            self.types.discard(t)
            self.edges = {e for e in self.edges if t not in e[1:]}
            return f"MATCH (n:{t}) DETACH DELETE n"
        if o == "create_node":
            free = [t for t in TYPE_NAMES + ["E", "F"] if t not in self.types]
            if free:
                t = self.pick(free)
                self.types.add(t)
                props = {k: self.value(k) for k in set(self.draw(st.lists(
                    st.sampled_from(list(NODE_KEYS)), max_size=2)))}
                text = "{" + ", ".join(f"{k}: {v}" for k, v in sorted(props.items())) + "}"
                return f"CREATE (n:{t} {text})"
        if o in ("create_rel", "merge_rel") and types:
            s, e = self.pick(types), self.pick(types)
            name = self.pick(TERM_NAMES + ["w"])
            if o == "create_rel" and (name, s, e) in self.edges:
                o = "merge_rel"
            self.edges.add((name, s, e))
            if o == "create_rel":
                return (f"MATCH (a:{s}), (b:{e}) CREATE (a)-[r:{name} {{i: "
                        f"{self.value('i')}}}]->(b)")
            text = (f"MATCH (a:{s}), (b:{e}) MERGE (a)-[r:{name}]->(b) ON CREATE SET "
                    f"r.i = {self.value('i')} ON MATCH SET r.s = {self.value('s')}")
            return text
        if o == "merge_node":
            t = self.pick(types + ["E", "F"])
            self.types.add(t)
            return (f"MERGE (n:{t}) ON CREATE SET n.s = {self.value('s')} "
                    f"ON MATCH SET n.i = {self.value('i')}")
        t = self.pick(types + ["E"]) if types else "E"
        self.types.add(t)
        # FalkorDB applies a SET after a MERGE that several rows reach for one
        # node once only (the first row's or the second's value stays); in
        # openCypher every row's SET runs in turn and the last row's value
        # stays. The FalkorDB text merges once and sets per row after it,
        # which openCypher gives the same meaning.
        return (f"UNWIND [1, 2, 3] AS x MERGE (n:{t}) SET n.i = x, n.l = [x]",
                f"MERGE (n:{t}) WITH n UNWIND [1, 2, 3] AS x SET n.i = x, n.l = [x]")

    def query(self):
        """(velkora's text, FalkorDB's text)."""
        # Parts are joined by a WITH of one row, so each runs exactly once and
        # the types and edges tracked above stay true.
        parts = [self.clause() for _ in range(self.pick([1, 1, 2]))]
        parts = [p if isinstance(p, tuple) else (p, p) for p in parts]
        return tuple(" WITH count(*) AS done ".join(texts) for texts in zip(*parts))
