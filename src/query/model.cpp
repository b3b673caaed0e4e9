// The Query class: its value (binding table and operation queue), copying,
// the constructor, Graph.query() and the method table.
#include <algorithm>
#include <iterator>
#include <unordered_set>

#include "host/args.hpp"
#include "host/pytype.hpp"
#include "pickling.hpp"
#include "query/condition.hpp"
#include "query/query.hpp"

namespace vk {

PyTypeObject* QueryType = nullptr;

// ----- bindings --------------------------------------------------------------

int BindingTable::Data::traverse(visitproc visit, void* arg) const {
    for (const Entry& e : entries) {
        if (int v = e.list.traverse(visit, arg)) return v;
    }
    return 0;
}

const BindingTable::Entry* BindingTable::entry(const std::string& name) const {
    if (!table_) return nullptr;
    auto it = table_->index.find(name);
    return it == table_->index.end() ? nullptr : &table_->entries[it->second];
}

const BindingList* BindingTable::find(const std::string& name) const {
    const Entry* e = entry(name);
    return e ? &*e->list : nullptr;
}

BindingTable::GroupId BindingTable::group_of(const std::string& name) const {
    return entry(name)->group;
}

Result<BindingTable::Data*> BindingTable::own() {
    if (!table_ || !table_.unique()) {
        // Shared with a copy of the query (or not made yet): continue on a
        // copy, whose lists stay shared until they change.
        Box<Data> fresh;
        if (!(table_ ? Box<Data>::make(fresh, *table_) : Box<Data>::make(fresh))) {
            return PyErrorSet{};
        }
        table_ = std::move(fresh);
    }
    return &table_.own_value();
}

Status BindingTable::assign(Data& d, std::string name, BindingList list, GroupId g) {
    Box<BindingList> boxed;
    if (!Box<BindingList>::make(boxed, std::move(list))) return PyErrorSet{};
    auto [it, fresh] = d.index.try_emplace(name, d.entries.size());
    if (!fresh) {
        Entry& e = d.entries[it->second];
        std::swap(e.list, boxed);  // the old list is released last
        e.group = g;
        return ok_status();
    }
    d.entries.push_back(Entry{std::move(name), std::move(boxed), g});
    return ok_status();
}

Status BindingTable::assign_group(Group lists) {
    Result<Data*> d = own();
    if (!d) return PyErrorSet{};
    const GroupId g = (*d)->next_group++;
    for (auto& [name, list] : lists) {
        if (!assign(**d, std::move(name), std::move(list), g)) return PyErrorSet{};
    }
    return ok_status();
}

Status BindingTable::assign_group(const std::string& name, BindingList list) {
    Result<Data*> d = own();
    if (!d) return PyErrorSet{};
    return assign(**d, name, std::move(list), (*d)->next_group++);
}

Status BindingTable::append(const std::string& name, QueryResult r) {
    Result<Data*> own_table = own();
    if (!own_table) return PyErrorSet{};
    Data& d = **own_table;
    auto it = d.index.find(name);
    if (it == d.index.end()) {
        Box<BindingList> boxed;
        if (!Box<BindingList>::make(boxed)) return PyErrorSet{};
        it = d.index.emplace(name, d.entries.size()).first;
        d.entries.push_back(Entry{name, std::move(boxed), 0});
    }
    Entry& e = d.entries[it->second];
    if (!e.list.unique()) {
        // Shared with another table: continue on a copy.
        Box<BindingList> copy;
        if (!Box<BindingList>::make(copy, *e.list)) return PyErrorSet{};
        e.list = std::move(copy);
    }
    e.list.own_value().push_back(std::move(r));
    e.group = d.next_group++;
    return ok_status();
}

size_t BindingTable::longest() const {
    size_t n = 0;
    if (!table_) return n;
    for (const Entry& e : table_->entries) n = std::max(n, e.list->size());
    return n;
}

namespace {

// Shortens a list to its first n entries. The others are moved out before
// they are released: releasing a binding may run Python code, and with it a
// collection that reads this list (through its box), which must find no
// entry half destroyed.
void truncate(BindingList& list, size_t n) {
    if (n >= list.size()) return;
    BindingList dropped(std::make_move_iterator(list.begin() + (ptrdiff_t)n),
                        std::make_move_iterator(list.end()));
    list.erase(list.begin() + (ptrdiff_t)n, list.end());  // moved-from: releases nothing
}

// The entries of `slot` at `positions`, in that order. A list that no other
// table shares is changed in place (compacted when the positions ascend, its
// entries moved otherwise); a shared one is replaced by a copy. In place,
// entries are only swapped until truncate drops the rest.
Status select_list(Box<BindingList>& slot, const std::vector<size_t>& positions,
                   bool ascending) {
    const bool own = slot.unique();
    if (own && ascending) {
        BindingList& src = slot.own_value();
        size_t w = 0;
        for (size_t p : positions) {
            if (p != w) std::swap(src[w], src[p]);  // src[p] is still its original entry
            ++w;
        }
        truncate(src, w);
        return ok_status();
    }
    BindingList out;
    out.reserve(positions.size());
    for (size_t p : positions) {
        if (own) {
            out.push_back(std::move(slot.own_value()[p]));
        } else {
            out.push_back((*slot)[p]);
        }
    }
    Box<BindingList> boxed;
    if (!Box<BindingList>::make(boxed, std::move(out))) return PyErrorSet{};
    slot = std::move(boxed);
    return ok_status();
}

}  // namespace

Status BindingTable::select(GroupId g, const std::vector<size_t>& positions) {
    Result<Data*> d = own();
    if (!d) return PyErrorSet{};
    const bool ascending = std::is_sorted(positions.begin(), positions.end());
    for (Entry& e : (*d)->entries) {
        if (e.group == g && !select_list(e.list, positions, ascending)) return PyErrorSet{};
    }
    return ok_status();
}

Status BindingTable::slice(size_t begin, size_t end) {
    auto changes = [&](const Entry& e) {
        const size_t n = e.list->size();
        return std::min(begin, n) > 0 || end < n;
    };
    if (!table_ || std::none_of(table_->entries.begin(), table_->entries.end(), changes)) {
        return ok_status();  // a table shared with a copy stays shared
    }
    Result<Data*> d = own();
    if (!d) return PyErrorSet{};
    for (Entry& entry : (*d)->entries) {
        Box<BindingList>& slot = entry.list;
        const size_t n = slot->size();
        const size_t e = std::min(end, n), b = std::min(begin, e);
        if (b == 0 && e == n) continue;
        if (slot.unique()) {
            BindingList& list = slot.own_value();
            std::rotate(list.begin(), list.begin() + (ptrdiff_t)b, list.begin() + (ptrdiff_t)e);
            truncate(list, e - b);
        } else {
            Box<BindingList> part;
            if (!Box<BindingList>::make(part, slot->begin() + (ptrdiff_t)b,
                                        slot->begin() + (ptrdiff_t)e)) {
                return PyErrorSet{};
            }
            slot = std::move(part);
        }
    }
    return ok_status();
}

Status BindingTable::retain(const std::vector<std::string>& keep) {
    if (empty()) return ok_status();
    const std::unordered_set<std::string> named(keep.begin(), keep.end());
    Result<Data*> own_table = own();
    if (!own_table) return PyErrorSet{};
    Data& d = **own_table;
    std::vector<Entry> kept, dropped;
    for (Entry& e : d.entries) (named.count(e.name) ? kept : dropped).push_back(std::move(e));
    d.entries = std::move(kept);
    d.index.clear();
    for (size_t i = 0; i < d.entries.size(); ++i) d.index.emplace(d.entries[i].name, i);
    // `dropped` goes last: releasing a binding may run Python code, and with
    // it a collection that reads this table, which is whole again by then.
    return ok_status();
}

// ----- the queue -------------------------------------------------------------

Status OpQueue::push(QueryOperation op) {
    SharedOperation boxed;
    if (!SharedOperation::make(boxed, std::move(op))) return PyErrorSet{};
    if (!items_ || items_->size() != len_) {
        // None yet, or another copy has appended past our prefix: continue
        // on an array of our own.
        Box<OperationArray> own;
        if (!(items_ ? Box<OperationArray>::make(own, items_->begin(), items_->begin() + len_)
                     : Box<OperationArray>::make(own))) {
            return PyErrorSet{};
        }
        items_ = std::move(own);
    }
    // Appended in place even while other copies share the array: they see
    // their prefixes only.
    items_.own_value().push_back(std::move(boxed));
    ++len_;
    return ok_status();
}

namespace {

// The Python references an operation holds: pattern property values, the
// dict of a set, a where clause's parsed condition. Every kind of operation
// is named, so a new kind must say.
struct OperationTraverse {
    visitproc visit;
    void* arg;

    template <class... Forms>
    int operator()(const std::variant<Forms...>& op) const {
        return std::visit(*this, op);
    }
    int operator()(const NodeForm& f) const { return f.pattern.traverse(visit, arg); }
    int operator()(const PathForm& f) const { return f.path.traverse(visit, arg); }
    int operator()(const MatchEdge& f) const { return f.pattern.traverse(visit, arg); }
    int operator()(const EdgeBetween& f) const { return f.pattern.traverse(visit, arg); }
    int operator()(const SetClause& c) const {
        Py_VISIT(c.properties.get());
        return 0;
    }
    int operator()(const WhereClause& c) const { return c.tree.traverse(visit, arg); }
    int operator()(const DeleteClause&) const { return 0; }
    int operator()(const WithClause&) const { return 0; }
    int operator()(const OrderByClause&) const { return 0; }
    int operator()(const LimitClause&) const { return 0; }
    int operator()(const SkipClause&) const { return 0; }
};

}  // namespace

int BoxOps<QueryOperation>::traverse(const QueryOperation& op, visitproc visit, void* arg) {
    return OperationTraverse{visit, arg}(op);
}

int QueryValue::traverse(visitproc visit, void* arg) const {
    if (int v = graph.traverse(visit, arg)) return v;
    if (int v = matched_vars.traverse(visit, arg)) return v;
    return operations.traverse(visit, arg);
}

// ----- the class ---------------------------------------------------------------

PyObject* query_to_python(const QueryValue& q) {
    return reinterpret_cast<PyObject*>(alloc_instance<PyQuery>(QueryType, q));
}

PyObject* graph_query(PyObject* self, PyObject*) {
    return query_to_python(QueryValue(reinterpret_cast<PyGraph*>(self)->value));
}

namespace {

// tp_clear: the bindings and the queue go, and the graph's dicts are
// replaced by empty ones; the query still runs (on nothing).
int query_clear(PyObject* self) {
    QueryValue& q = query_value(self);
    empty_out(q.matched_vars);
    empty_out(q.operations);
    replace_with_empty_dict(q.graph.nodes);
    replace_with_empty_dict(q.graph.edges);
    return 0;
}

PyObject* query_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    Args<query_sig::construct> a;
    if (!a.bind(args, kwargs) || !to_instance(a["graph"], GraphType)) return nullptr;
    const GraphValue& graph = reinterpret_cast<PyGraph*>(a["graph"].obj)->value;
    return reinterpret_cast<PyObject*>(alloc_instance<PyQuery>(type, QueryValue(graph)));
}

const MethodEntry query_methods[] = {
    method_entry<query_sig::match>(
        query_match,
        "Matches nodes, edges, or paths in the graph.\n\n"
        "Args:\n"
        "    pattern: a pattern string such as \"(n:Person)-[e]->(m:Company)\"\n"
        "    node: variable name for a single node\n"
        "    edge: variable name for a single edge\n"
        "    start: optional start node (variable name)\n"
        "    end: optional end node (variable name)\n"
        "    type: exact node type (node criterion)\n"
        "    type_schema: type schema for the node's type (node criterion)\n"
        "    term: exact term (edge criterion)\n"
        "    term_type_schema: type schema for the edge term's type (edge criterion)\n"
        "    properties: dictionary of required properties\n\n"
        "The first of pattern, node and edge that is given selects the form.\n\n"
        "A path binds each named node and edge once per match. Edge i joins\n"
        "node i and node i + 1: ``-[e]->`` from its start node to its end node,\n"
        "``<-[e]-`` from its end node to its start node, ``-[e]-`` either way\n"
        "(forward first; a self-loop once). A match uses distinct edges, each\n"
        "passing its edge pattern, consecutive edges meeting at nodes of the same\n"
        "uid; matches come in the order of ``graph.edges``, step by step. A node\n"
        "name used twice needs the same node at both places and is bound where\n"
        "it first appears. Property maps such as ``(n {name: 'Alice'})`` must be\n"
        "held by the properties (==).\n\n"
        "The node form binds the matching nodes. The edge form binds ``edge`` to\n"
        "the edges passing ``term``, ``term_type_schema`` and ``properties``, and\n"
        "``start`` and ``end`` to their start and end nodes; a ``start`` or ``end``\n"
        "name already bound keeps only the edges at its nodes, and one name for\n"
        "both keeps only the edges from a node to itself.\n\n"
        "Returns a new Query; nothing runs until return_, return_count or execute.\n\n"
        "Raises:\n"
        "    TypeError: ``pattern``, ``node`` or ``edge`` is not a str or None,\n"
        "        ``properties`` is not a dict or has a key that is not a str,\n"
        "        ``type`` is not a Variable or Application, or ``term`` is not\n"
        "        a Term.\n"
        "    ValueError: the pattern string is malformed, its nodes are not all\n"
        "        joined by edges, an edge's name names anything else (in a\n"
        "        path, or ``start`` or ``end`` in the edge form), or an edge has\n"
        "        a ``*`` length (``-[e*1..3]->``, ``-[*]->``, ``-[:T*2]->``):\n"
        "        variable-length relationships are read by ``Graph.cypher()``.\n"
        "        A ``*`` in a type schema (``-[e:* -> *]->``) is a wildcard."),
    method_entry<query_sig::create>(
        query_create,
        "Queues the creation of nodes or edges and returns a new Query.\n\n"
        "The first of pattern, node and edge that is given selects the form:\n"
        "    node: variable name bound to a new node of ``type`` whose\n"
        "        properties dict holds ``properties``; it is filed under its\n"
        "        uid, replacing the node of that type\n"
        "    pattern: a pattern string of one node such as\n"
        "        \"(p:Person {name: 'Al'})\"; its label must name exactly one\n"
        "        type (\"Person\", \"A -> B\"), and a node of that type holding\n"
        "        the map's properties is created and bound\n"
        "    edge: variable name bound to new edges of ``term`` from the\n"
        "        nodes bound to ``start`` to the nodes bound to ``end`` (both\n"
        "        variable names). Lists of equal length pair by position; a\n"
        "        list of one node pairs it with every node of the other.\n"
        "        Each edge gets a properties dict of its own holding\n"
        "        ``properties`` and is filed under its uid (edges of one term\n"
        "        share a uid, so the last one made stays filed). ``start``,\n"
        "        ``edge`` and ``end`` are then bound to the paired nodes and\n"
        "        the new edges, position by position.\n\n"
        "An operation checks everything before it writes: a create that fails\n"
        "when the query runs changes nothing.\n\n"
        "Raises:\n"
        "    TypeError: ``pattern``, ``node`` or ``edge`` is not a str or None,\n"
        "        ``properties`` is not a dict or has a key that is not a str,\n"
        "        ``type`` is not a Variable or Application, or ``term`` is not\n"
        "        a Term.\n"
        "    ValueError: the pattern string is malformed, has nodes not\n"
        "        joined by edges or an edge with a ``*`` length (as for\n"
        "        ``match``), or in the edge form ``start`` or ``end`` is\n"
        "        missing or not a str.\n"
        "    When the query runs:\n"
        "    ValueError: a node has no type and no label naming one, a label\n"
        "        names no one type (a wildcard), an edge has no term (pattern\n"
        "        strings carry none, so a path with an edge always fails), the\n"
        "        lists cannot be paired, or ``start`` or ``end`` is bound to an\n"
        "        edge.\n"
        "    NameError: ``start`` or ``end`` is not bound.\n\n"
        "Example::\n\n"
        "    >>> g = Graph()\n"
        "    >>> f = Term(\"f\", Application(Variable(\"A\"), Variable(\"B\")))\n"
        "    >>> q = g.query().create(\"(a:A)\").create(\"(b:B)\")\n"
        "    >>> q.create(edge=\"e\", term=f, start=\"a\", end=\"b\").return_(\"e\")\n"
        "    [{'e': Edge(f: A -> B)}]"),
    method_entry<query_sig::merge>(
        query_merge,
        "Queues a merge: binds an existing node or edge, or creates it.\n\n"
        "    node: variable name. Without ``type``, a ``type_schema`` that\n"
        "        names exactly one type stands for it. The graph's nodes of\n"
        "        that type (every node when there is none) are collected, then\n"
        "        tested against ``type``, ``type_schema`` and ``properties``;\n"
        "        the first that passes is appended to the variable's bindings.\n"
        "        When none passes and there is a type, the node filed under\n"
        "        the type's uid takes ``properties`` on top of its own (as\n"
        "        ``set`` does), or, when there is none, the node is created as\n"
        "        by ``create``; the variable's list becomes that one node.\n"
        "        Without a type nothing is created.\n"
        "    edge: variable name. The first edge from the first node bound to\n"
        "        ``start`` to the first node bound to ``end`` (variable names)\n"
        "        is appended to the variable's bindings. With ``term``, only an\n"
        "        edge of that term (whose term matches ``term_type_schema`` and\n"
        "        whose properties hold ``properties``, when given) counts, and\n"
        "        when none does, one is created between those two nodes as by\n"
        "        ``create`` and the variable's list becomes that edge. Nothing\n"
        "        happens when a list is empty, nor without ``term`` when a name\n"
        "        is unbound or bound to an edge first.\n\n"
        "``pattern`` is accepted and ignored: a merge has no path form. Returns\n"
        "a new Query.\n\n"
        "Raises:\n"
        "    TypeError: ``pattern``, ``node`` or ``edge`` is not a str or None,\n"
        "        ``properties`` is not a dict or has a key that is not a str,\n"
        "        ``type`` is not a Variable or Application, or ``term`` is not\n"
        "        a Term.\n"
        "    ValueError: in the edge form ``start`` or ``end`` is missing or\n"
        "        not a str, or ``pattern`` has an edge with a ``*`` length (as\n"
        "        for ``match``).\n"
        "    When the query runs:\n"
        "    TypeError: an entry of ``nodes`` (``edges``) is not a Node (Edge).\n"
        "    NameError: with ``term``, ``start`` or ``end`` is not bound.\n"
        "    ValueError: with ``term``, ``start`` or ``end`` is bound to an\n"
        "        edge first.\n\n"
        "Example::\n\n"
        "    >>> g = Graph()\n"
        "    >>> q = g.query().merge(node=\"c\", type_schema=\"$Company$\",\n"
        "    ...                     properties={\"name\": \"Acme\"})\n"
        "    >>> q.return_(\"c\"), q.return_(\"c\")\n"
        "    ([{'c': Node(Company)}], [{'c': Node(Company)}, {'c': Node(Company)}])"),
    method_entry<query_sig::set>(
        query_set,
        "Queues setting properties on the nodes and edges bound to a variable.\n\n"
        "When the query runs, every entry of ``properties`` is stored into the\n"
        "properties dict of each node and edge bound to ``variable`` (merged,\n"
        "not replaced): the dicts the graph's objects hold. Unbound names are\n"
        "passed over. The dict is read when the query runs, not now. Returns a\n"
        "new Query.\n\n"
        "Raises:\n"
        "    TypeError: ``variable`` is not a str or ``properties`` is not a dict."),
    method_entry<query_sig::delete_>(
        query_delete,
        "Queues deleting the nodes and edges bound to the given variables.\n\n"
        "When the query runs, each bound node or edge is removed from the graph\n"
        "by its uid; the bindings stay, so return_ still shows them. With\n"
        "detach=True, edges attached to a deleted node are deleted too. Names\n"
        "are separate arguments: ``delete(\"a\", \"b\")``. Returns a new Query.\n\n"
        "Raises:\n"
        "    TypeError: a name is not a str, or ``detach`` is not a bool."),
    method_entry<query_sig::where>(
        query_where,
        "Adds a WHERE clause to filter results.\n"
        "\n"
        "Args:\n"
        "    condition: a condition over bound variables, such as\n"
        "        \"n.age >= 18 AND n:Person\"\n"
        "\n"
        "The condition is parsed now. When the query runs, every variable it\n"
        "names must be bound, all by the same match, create or merge; it is\n"
        "evaluated at each position of their lists, and the positions where it\n"
        "is not true are removed from every list bound with them. A condition\n"
        "naming no variable is evaluated once and, unless true, empties every\n"
        "list. Returns a new Query.\n"
        "\n"
        "The language is the expressions of Graph.cypher() (keywords and\n"
        "function names in any case): literals, v.key and v.`any key` (null\n"
        "when missing), a variable itself (a Node or Edge object, equal to\n"
        "another of the same uid), operators, functions, CASE, comprehensions\n"
        "and list predicates; != is read as <>. Comparisons are openCypher's:\n"
        "1 = 1.0 is true, 1 = true false, values of different kinds ('a' < 1)\n"
        "or of no Cypher kind (a Decimal) are never ordered (null), null IN []\n"
        "is false and 1 IN [null] null. Three rules are the builder's own:\n"
        "v:Label and v:$schema$ are type tests, as in pattern strings (an edge\n"
        "tests its term's type); a value that is not a boolean is null as a\n"
        "condition (Graph.cypher() raises TypeError); and x IN y with y no list\n"
        "is null. Property maps and order_by keep Python's == and ordering.\n"
        "AND, OR, XOR and NOT are three-valued, operands evaluated left to\n"
        "right; AND stops at the first false, OR at the first true.\n"
        "\n"
        "Raises:\n"
        "    TypeError: ``condition`` is not a str.\n"
        "    ValueError: the condition is malformed, nests more than 500 levels,\n"
        "        or holds a parameter, a pattern or an aggregate (nothing is\n"
        "        queued).\n"
        "    When the query runs: NameError for a variable that is not bound,\n"
        "    ValueError for variables bound by separate clauses, TypeError for\n"
        "    operands of the wrong kinds (``n.name - 1``), and any error raised\n"
        "    by a property value's ==."),
    method_entry<query_sig::with_>(
        query_with,
        "Queues a WITH clause naming the variables to carry on.\n\n"
        "When the query runs, every bound variable not named is unbound; named\n"
        "variables that are not bound are passed over, and \"*\" keeps every\n"
        "variable. Names are separate arguments. Returns a new Query.\n\n"
        "Raises:\n"
        "    TypeError: a name is not a str."),
    method_entry<query_sig::order_by>(
        query_order_by,
        "Queues an ORDER BY clause on the property ``key`` of a variable.\n\n"
        "When the query runs, the positions of the variable's list, and of the\n"
        "lists bound with it, are reordered by ``variable.key`` with Python's <.\n"
        "The sort is stable; missing values and None come last ascending and\n"
        "first descending. Consecutive order_by clauses form one order, the\n"
        "first deciding first. Returns a new Query.\n\n"
        "Raises:\n"
        "    TypeError: ``variable`` or ``key`` is not a str, or ``ascending`` is\n"
        "        not a bool; when the query runs, values that Python cannot\n"
        "        order against each other.\n"
        "    When the query runs: NameError for a variable that is not bound,\n"
        "    ValueError when consecutive order_by clauses name variables bound\n"
        "    by separate clauses."),
    method_entry<query_sig::skip>(
        query_skip,
        "Queues a SKIP clause of ``count`` rows.\n\n"
        "When the query runs, the first ``count`` bindings of every variable are\n"
        "dropped, so the rows start ``count`` later. Returns a new Query.\n\n"
        "Raises:\n"
        "    TypeError: ``count`` is not an int.\n"
        "    OverflowError: ``count`` is negative or too large."),
    method_entry<query_sig::limit>(
        query_limit,
        "Queues a LIMIT clause of ``count`` rows.\n\n"
        "When the query runs, every variable keeps its first ``count`` bindings\n"
        "only, so at most ``count`` rows remain. Returns a new Query.\n\n"
        "Raises:\n"
        "    TypeError: ``count`` is not an int.\n"
        "    OverflowError: ``count`` is negative or too large."),
    method_entry<query_sig::return_>(
        query_return,
        "Returns the specified variables from the query results.\n\n"
        "Executes all operations and returns the matched variables as a list of\n"
        "dictionaries mapping variable names to their values.\n\n"
        "Names are separate arguments. Row i holds, under each requested name\n"
        "with at least i + 1 bindings, a new Node or Edge object for its i-th\n"
        "binding; rows with none of the names are left out. The whole queue runs\n"
        "on every call.\n\n"
        "Raises:\n"
        "    TypeError: a name is not a str (nothing runs).\n"
        "    Otherwise the error of the first queued operation that fails;\n"
        "    what the operations before it did stays done."),
    method_entry<query_sig::return_distinct>(
        query_return_distinct,
        "The rows of return_ without repetitions: a row holding the same nodes and\n"
        "edges (by uid) under the same names as an earlier row is dropped.\n\n"
        "Takes the same names, runs the queue and raises as return_ does."),
    method_entry<query_sig::return_count>(
        query_return_count,
        "Runs the query and returns the length of its longest binding list.\n\n"
        "That is the number of rows return_ gives when asked for every bound\n"
        "variable; 0 when nothing is bound.\n\n"
        "Raises:\n"
        "    the error of the first queued operation that fails (TypeError,\n"
        "    ValueError, ...); what the operations before it did stays done."),
    method_entry<query_sig::execute>(
        query_execute,
        "Runs the query and returns a new Query holding the resulting bindings.\n\n"
        "The queue is kept, so either query can run it again or queue more.\n\n"
        "Raises:\n"
        "    the error of the first queued operation that fails (TypeError,\n"
        "    ValueError, ...); what the operations before it did stays done."),
    reduce_entry(query_reduce),
};

const char kQueryDoc[] =
    "Cypher-like query builder for the graph.\n\n"
    "Fields:\n"
    "    graph: the graph's nodes and edges dicts (shared, never copied)\n"
    "    matched_vars: variable bindings filled when the query runs\n"
    "    operations: the queued clauses, in call order\n\n"
    "Clause methods queue one operation and return a new query copied from\n"
    "this one; return_, return_distinct, return_count and execute run the\n"
    "whole queue against the graph.\n\n"
    "Args:\n"
    "    graph: a Graph; ``graph.query()`` makes the same query.\n\n"
    "Raises:\n"
    "    TypeError: ``graph`` is not a Graph.\n\n"
    "Example::\n\n"
    "    >>> g = Graph()\n"
    "    >>> Query(g).create(node=\"p\", type=Variable(\"Person\")).return_(\"p\")\n"
    "    [{'p': Node(Person)}]";

}  // namespace

PyTypeObject* create_query_type() {
    // The boxes of the shared pieces come first: every query holds them.
    if (!make_box_type<BindingList>("velkora._Bindings") ||
        !make_box_type<BindingTable::Data>("velkora._BindingTable") ||
        !make_box_type<QueryOperation>("velkora._Operation") ||
        !make_box_type<OperationArray>("velkora._Operations") ||
        !make_box_type<ConditionTree>("velkora._Condition")) {
        return nullptr;
    }
    static PyType_Slot slots[] = {
        {Py_tp_new, (void*)query_new},
        {Py_tp_dealloc, (void*)dealloc_instance<PyQuery>},
        {Py_tp_traverse, (void*)traverse_instance<PyQuery>},
        {Py_tp_clear, (void*)query_clear},
        {0, nullptr},
    };
    QueryType = make_type("velkora.Query", sizeof(PyQuery), slots,
                          class_doc<query_sig::construct>(kQueryDoc).c_str(),
                          method_table(query_methods));
    return QueryType;
}

}  // namespace vk
