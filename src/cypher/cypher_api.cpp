#include "cypher/cypher_api.hpp"

#include <memory>

#include "cypher/front.hpp"
#include "cypher/paths_ops.hpp"
#include "cypher/plan.hpp"
#include "cypher/run.hpp"
#include "graph.hpp"
#include "host/args.hpp"

namespace vk {
namespace {

using cypher::Plan;

// ----- the cache of plans ------------------------------------------------------

// Planned queries by their text, the most recently used last: a dict from
// the str to a capsule holding the plan. It lives for the process (its
// plans hold only immutable scalars, so it takes no part in collection).
constexpr Py_ssize_t kCacheSize = 256;
PyObject* g_cache = nullptr;
const char kCapsuleName[] = "velkora._cypher_plan";

void capsule_release(PyObject* capsule) {
    delete static_cast<std::shared_ptr<const Plan>*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

// The plan of `text` (an exact str), from the cache or made and kept.
Result<std::shared_ptr<const Plan>> plan_of(PyObject* text) {
    if (!g_cache && !(g_cache = PyDict_New())) return PyErrorSet{};
    PyObject* hit = PyDict_GetItemWithError(g_cache, text);
    if (hit) {
        auto plan = *static_cast<std::shared_ptr<const Plan>*>(PyCapsule_GetPointer(hit, kCapsuleName));
        // Most recently used last: the first entry is the one to drop.
        if (PyDict_GET_SIZE(g_cache) > 16) {
            Ref keep = Ref::borrow(hit);
            if (PyDict_DelItem(g_cache, text) < 0 || PyDict_SetItem(g_cache, text, keep.get()) < 0) {
                return PyErrorSet{};
            }
        }
        return plan;
    }
    if (PyErr_Occurred()) return PyErrorSet{};
    Py_ssize_t n;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &n);
    if (!utf8) return PyErrorSet{};
    auto tree = cypher::parse_and_check(std::string_view(utf8, (size_t)n));
    if (!tree) return PyErrorSet{};
    auto plan = cypher::make_plan(std::move(*tree));
    if (!plan) return PyErrorSet{};
    auto* held = new std::shared_ptr<const Plan>(*plan);
    Ref capsule = Ref::steal(PyCapsule_New(held, kCapsuleName, capsule_release));
    if (!capsule) {
        delete held;
        return PyErrorSet{};
    }
    if (PyDict_GET_SIZE(g_cache) >= kCacheSize) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        if (PyDict_Next(g_cache, &pos, &k, &v)) {
            Ref oldest = Ref::borrow(k);
            if (PyDict_DelItem(g_cache, oldest.get()) < 0) return PyErrorSet{};
        }
    }
    if (PyDict_SetItem(g_cache, text, capsule.get()) < 0) return PyErrorSet{};
    return std::move(*plan);
}

// ----- parameters ----------------------------------------------------------------

// The call's parameter values as one dict (null: none): the mapping, then
// the keyword arguments, which win.
Status parameter_dict(Arg mapping, const std::vector<std::pair<PyObject*, PyObject*>>& kw,
                      Ref& out) {
    bool given = mapping.obj && mapping.obj != Py_None;
    if (given && !PyDict_Check(mapping.obj) && !PyMapping_Check(mapping.obj)) {
        return arg_error(mapping.name, cast_message(mapping.obj, "Mapping"));
    }
    if (!given && kw.empty()) return ok_status();
    if (given && kw.empty() && PyDict_CheckExact(mapping.obj)) {
        out = Ref::borrow(mapping.obj);
        return ok_status();
    }
    out = Ref::steal(PyDict_New());
    if (!out) return PyErrorSet{};
    if (given && PyDict_Update(out.get(), mapping.obj) < 0) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return arg_error(mapping.name, cast_message(mapping.obj, "Mapping"));
        }
        return PyErrorSet{};
    }
    for (auto& [k, v] : kw) {
        if (PyDict_SetItem(out.get(), k, v) < 0) return PyErrorSet{};
    }
    return ok_status();
}

}  // namespace

PyObject* graph_cypher(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) {
    Args<graph_sig::cypher> a;
    if (!a.bind(args, nargsf, kwnames)) return nullptr;
    std::string_view text;
    if (!to_str(a["query"], text)) return nullptr;
    Ref key = PyUnicode_CheckExact(a["query"].obj) ? Ref::borrow(a["query"].obj)
                                                   : Ref::steal(PyUnicode_FromObject(a["query"].obj));
    if (!key) return nullptr;
    Ref params;
    if (!parameter_dict(a["parameters"], a.keyword_rest(), params)) return nullptr;
    auto plan = plan_of(key.get());
    if (!plan) return nullptr;
    std::vector<Ref> values;
    if (!cypher::bind_parameters(*(*plan)->query, params.get(), values)) return nullptr;
    // The run holds the two dicts (and shares their indexes): Python code it
    // calls may replace the graph's.
    const GraphValue g = reinterpret_cast<PyGraph*>(self)->value;
    // Its path searches read the graph's edge index while it answers for these dicts.
    cypher::IndexedGraphScope scope(g);
    return cypher::run_plan(**plan, g, std::move(values));
}

const char kGraphCypherDoc[] =
    "Runs a Cypher query over this graph and returns its rows.\n\n"
    "``query`` is openCypher text (keywords in any case, ``//`` and ``/* */``\n"
    "comments); the result is a list with one dict per row, its keys the\n"
    "RETURN items' aliases (else the items' text as written), in order; for\n"
    "``RETURN *`` the variables in the order the query introduced them.\n"
    "Parameters ``$name`` are read from the ``parameters`` mapping and the\n"
    "keyword arguments (a keyword wins). Parsed and planned queries are kept\n"
    "by their text (the 256 used last), so a repeated query costs no parse.\n\n"
    "The graph as Cypher sees it:\n\n"
    "- Nodes are the values of ``nodes``, relationships those of ``edges``. A\n"
    "  relationship runs from the node filed under its start's uid to the node\n"
    "  filed under its end's uid (the edge's own copy of the node where none\n"
    "  is filed). Identity is the uid: ``a = b``, joins and DISTINCT compare\n"
    "  uids.\n"
    "- A node label is a type: ``(n:Person)`` is the node of type\n"
    "  ``Person``, ``(n:`(A -> B)`)`` the node of that printed type, and\n"
    "  ``(n:$* -> bool$)`` the nodes whose type the TypeSchema matches;\n"
    "  ``:A|B`` either, ``:A:B`` both.\n"
    "- A relationship type is a term name: ``-[r:works_for]->`` is an edge\n"
    "  whose term is named ``works_for``; ``-[r:$Person -> Company$]->`` one\n"
    "  whose term's type the schema matches (the builder's pattern strings\n"
    "  read ``[e:T]`` as a schema instead).\n"
    "- Property maps in patterns compare with ``=``, so ``{k: null}``\n"
    "  matches nothing. Python values of Cypher's kinds are Cypher values\n"
    "  (``tuple`` reads as a list, a ``dict`` of str keys as a map); any other\n"
    "  value is equal to another when ``==`` says so, never less or greater,\n"
    "  and sorts after every Cypher value but null.\n\n"
    "Supported: MATCH (comma-separated patterns; several MATCH clauses join\n"
    "on their shared variables), OPTIONAL MATCH, WHERE, WITH, UNWIND, RETURN\n"
    "[DISTINCT] with aliases and ``*``, ORDER BY, SKIP, LIMIT, UNION [ALL],\n"
    "openCypher's expressions, scalar functions and aggregates (``count``,\n"
    "``sum``, ``avg``, ``min``, ``max``, ``collect``, ``stDev``, ``stDevP``,\n"
    "``percentileCont``, ``percentileDisc``), and velkora's ``uid(x)``,\n"
    "``term(r)`` and ``typeof(x)``. Relationships are unique within one MATCH\n"
    "clause.\n\n"
    "Writing: CREATE, MERGE, SET, REMOVE, DELETE and DETACH DELETE, under the\n"
    "model (a node is its type, one per type; an edge is a term, one per\n"
    "term). A node to create or merge names exactly one type (one label: a\n"
    "name, a backquoted printed type or a ``$...$`` schema naming one type);\n"
    "a relationship to create names one term and has a direction, and its\n"
    "term is of the function type from its start's type to its end's type:\n"
    "``CREATE (p:Person)-[:works_for]->(c:Company)`` files the term\n"
    "``works_for : (Person -> Company)``. CREATE refuses a node or an edge\n"
    "whose uid is filed (or created twice by the query). MERGE finds a node\n"
    "by its type's uid and a relationship by its term's uid (either way\n"
    "round when the pattern has no direction), whatever their properties,\n"
    "and then sets the pattern's properties on what it found; otherwise it\n"
    "creates. A MERGE path is merged element by element (openCypher creates\n"
    "a whole path unless it matches whole, which under one node per type\n"
    "would refuse every node already filed): ON CREATE SET runs when some\n"
    "element was created, ON MATCH SET when all were found. ``SET x.k = v``,\n"
    "``SET x += map`` and ``SET x = map`` (the same dict object, emptied and\n"
    "refilled) work on nodes and relationships; a null value removes the key,\n"
    "a null in a CREATE or MERGE map stores nothing; a node or relationship\n"
    "is no property value. Labels cannot be set or removed. DELETE refuses a\n"
    "node that an edge still joins (an edge whose start or end uid is the\n"
    "node's) when the query ends, so ``DELETE n, r`` works in either order;\n"
    "DETACH DELETE deletes those edges too; deleting twice is no error; a\n"
    "path is deleted as its relationships and its nodes.\n"
    "Each writing clause takes every row of the clause before it, makes its\n"
    "writes row by row (a MERGE finds what an earlier row created), and only\n"
    "then passes the rows on, so later clauses see all its writes. A query\n"
    "ending in a write returns ``[]``. All or nothing: when a query fails (a\n"
    "refusal, a TypeError, an error raised by user code, an interrupt) it\n"
    "raises that error and ``nodes``, ``edges`` and every properties dict it\n"
    "wrote are as before, the same objects in the same order (an undo log;\n"
    "a query that only reads keeps none).\n\n"
    "Paths: ``-[r*]->``, ``-[r*3]->``, ``-[r*1..3]->``, ``-[r*..3]->`` and\n"
    "``-[r*2..]->`` in any direction, with types and property maps that every\n"
    "relationship of the walk must pass, bind ``r`` to the list of the\n"
    "relationships in pattern order (``*0..`` allows a walk of none: both\n"
    "node patterns are then one node); walks are depth first, each before its\n"
    "extensions, with no recursion on the C stack, and relationship uniqueness\n"
    "keeps every one finite. ``p = (a)-[*1..3]->(b)`` binds a path, read by\n"
    "``nodes(p)``, ``relationships(p)`` and ``length(p)``, equal to another by\n"
    "the uids of its elements, and returned as a ``velkora.Path``.\n"
    "``shortestPath((a)-[*]-(b))`` and ``allShortestPaths(...)`` search breadth\n"
    "first between their two nodes (bound before, or matched from ``nodes``),\n"
    "with a lower bound of 0 or 1 (another is refused) and one node at both\n"
    "ends only with a lower bound of 0 (ValueError otherwise, as in Neo4j).\n"
    "A pattern in WHERE, ``(a)-[:knows]->(b)`` or ``NOT (a)-->(b)``, and\n"
    "``exists { MATCH ... WHERE ... }`` are true when a match exists for the\n"
    "row; ``[(a)-->(b) WHERE ... | b.name]`` lists one value per match.\n\n"
    "Results: a node comes back as a new Node object and a relationship as a\n"
    "new Edge object, sharing the stored properties dicts; a property's value\n"
    "is the stored object itself; lists and maps the query builds are new\n"
    "lists and dicts. Without ORDER BY the rows come in the engine's own\n"
    "order, deterministic but not promised: today, nodes in ``nodes`` order,\n"
    "edges in ``edges`` order (both directions of an undirected relationship\n"
    "start to end first), groups in the order first met.\n\n"
    "Raises:\n"
    "    ValueError: \"Invalid query: <what> at line L, column C\" followed by\n"
    "        the line and a caret, for a syntax error, an undefined variable,\n"
    "        a misplaced aggregate, a missing parameter, or a form not\n"
    "        supported yet, checked before anything runs; a node or edge\n"
    "        CREATE finds filed, a deleted node still joined by an edge.\n"
    "    TypeError: an operator or function given values of the wrong kinds,\n"
    "        ``query`` not a str or ``parameters`` not a mapping.\n"
    "    ZeroDivisionError: integer ``/`` or ``%`` by zero.\n\n"
    "Example::\n\n"
    "    >>> g = Graph()\n"
    "    >>> g.cypher(\"RETURN 1 + 2 AS x\")\n"
    "    [{'x': 3}]";

}  // namespace vk

