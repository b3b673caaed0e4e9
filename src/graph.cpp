#include "graph.hpp"

#include "cypher/cypher_api.hpp"
#include "host/args.hpp"
#include "host/pytype.hpp"
#include "pickling.hpp"
#include "query/query.hpp"

namespace vk {

PyTypeObject* NodeType = nullptr;
PyTypeObject* EdgeType = nullptr;
PyTypeObject* GraphType = nullptr;
PyTypeObject* NodeRecordType = nullptr;
PyTypeObject* EdgeRecordType = nullptr;

// ----- values ----------------------------------------------------------------

Status make_node(PyObject* type_obj, PyObject* props, NodeValue& out) {
    TypeRef t;
    if (!python_to_type(type_obj, t)) return PyErrorSet{};
    Ref d = (props && props != Py_None) ? Ref::borrow(props) : Ref::steal(PyDict_New());
    if (!d) return PyErrorSet{};
    return NodeValue::make(std::move(t), std::move(d), out);
}

int GraphValue::traverse(visitproc visit, void* arg) const {
    Py_VISIT(nodes.get());
    Py_VISIT(edges.get());
    return 0;
}

PyObject* node_to_python(const NodeValue& v) {
    return reinterpret_cast<PyObject*>(alloc_instance<PyNode>(NodeType, v));
}

PyObject* edge_to_python(const EdgeValue& v) {
    return reinterpret_cast<PyObject*>(alloc_instance<PyEdge>(EdgeType, v));
}

Status GraphValue::nodes_of_type(const TypeNode* type, std::vector<NodeValue>& out) const {
    // Only our own code runs during this walk (no comparison of user objects),
    // so the dict cannot change under it.
    out.clear();
    std::vector<PyObject*> found;
    int indexed = index_nodes_of_type(*this, type, found);
    if (indexed < 0) return PyErrorSet{};
    if (indexed > 0) {
        out.reserve(found.size());
        for (PyObject* n : found) out.push_back(node_value(n));
        return ok_status();
    }
    PyObject* d = nodes.get();
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    const TypeNode* last_hit = type;  // nodes often share one type value
    while (PyDict_Next(d, &pos, &k, &v)) {
        if (!PyUnicode_Check(k) || Py_TYPE(v) != NodeType) {
            out.clear();
            return PyUnicode_Check(k) ? cast_error(v, "Node") : cast_error(k, "str");
        }
        const NodeValue& nv = node_value(v);
        const TypeNode* t = nv.type().get();
        if (t == last_hit || type_equal(t, type)) {
            last_hit = t;
            out.push_back(nv);
        }
    }
    return ok_status();
}

namespace {

// ----- Node --------------------------------------------------------------------

PyObject* node_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    Args<node_sig::construct> a;
    PyObject* props;
    // properties is checked before the type.
    if (!a.bind(args, kwargs) || !to_dict(a["properties"], props, true)) return nullptr;
    NodeValue v;
    if (!make_node(a["type"], props, v)) return nullptr;
    return reinterpret_cast<PyObject*>(alloc_instance<PyNode>(type, std::move(v)));
}

PyObject* node_str(PyObject* self) {
    SharedBorrow b(self);
    if (!b) return nullptr;
    return to_py("Node(" + type_text(node_value(self).type().get()) + ")");
}

PyObject* node_uid_method(PyObject* self, PyObject*) {
    SharedBorrow b(self);
    if (!b) return nullptr;
    return Py_XNewRef(node_key_of_type(node_value(self).type().get()));
}

PyObject* node_get_type(PyObject* self, void*) {
    SharedBorrow b(self);
    if (!b) return nullptr;
    return type_to_python(node_value(self).type());
}

PyObject* node_get_properties(PyObject* self, void*) {
    SharedBorrow b(self);
    if (!b) return nullptr;
    return Py_NewRef(node_value(self).properties());
}

// A Node object takes a new record for its new dict; copies made before
// keep the old record. Making the record happens before the borrow is
// taken, since an allocation may start a collection that runs Python code.
int node_set_properties(PyObject* self, PyObject* value, void*) {
    if (!assigning(value)) return -1;
    PyObject* d;
    if (!to_dict({"properties", value}, d, false)) return -1;
    // Declared before the borrow so that it is released after the borrow
    // ends: releasing the old dict may run Python code (a value's __del__)
    // that uses this object.
    NodeValue fresh;
    if (!NodeValue::make(node_value(self).type(), Ref::borrow(d), fresh)) return -1;
    ExclusiveBorrow b(self);
    if (!b) return -1;
    std::swap(reinterpret_cast<PyNode*>(self)->value, fresh);
    return 0;
}

// tp_clear of Node: a new record with an empty dict. When none can be made
// the record stays; the collector then breaks the cycle through the
// record's own clear.
int node_clear(PyObject* self) {
    NodeValue& v = reinterpret_cast<PyNode*>(self)->value;
    Ref empty = Ref::steal(PyDict_New());
    NodeValue fresh;
    if (!empty || !NodeValue::make(v.type(), std::move(empty), fresh)) {
        PyErr_Clear();
        return 0;
    }
    std::swap(v, fresh);  // `fresh` now holds the old record, released last
    return 0;
}

PyObject* edge_get_properties(PyObject* self, void*) {
    SharedBorrow b(self);
    if (!b) return nullptr;
    return Py_NewRef(edge_value(self).properties());
}

// The same record with another dict.
Status with_properties(const EdgeValue& v, Ref properties, EdgeValue& out) {
    return EdgeValue::make(v.term_handle(), v.start(), v.end(), std::move(properties), out);
}

// tp_clear of Edge: a new record with an empty dict and the same end
// snapshots (their records are cleared by the collector themselves). When
// none can be made the record stays, as for Node.
int edge_clear(PyObject* self) {
    EdgeValue& v = reinterpret_cast<PyEdge*>(self)->value;
    Ref empty = Ref::steal(PyDict_New());
    EdgeValue fresh;
    if (!empty || !with_properties(v, std::move(empty), fresh)) {
        PyErr_Clear();
        return 0;
    }
    std::swap(v, fresh);  // `fresh` now holds the old record, released last
    return 0;
}

// As for Node: a new record, made before the borrow is taken.
int edge_set_properties(PyObject* self, PyObject* value, void*) {
    if (!assigning(value)) return -1;
    PyObject* d;
    if (!to_dict({"properties", value}, d, false)) return -1;
    EdgeValue fresh;  // released after the borrow ends, as for Node
    if (!with_properties(edge_value(self), Ref::borrow(d), fresh)) return -1;
    ExclusiveBorrow b(self);
    if (!b) return -1;
    std::swap(reinterpret_cast<PyEdge*>(self)->value, fresh);
    return 0;
}

// tp_clear of the records: the dict becomes an empty one (an edge record
// keeps its end snapshots).
template <class R>
int record_clear(PyObject* self) {
    replace_with_empty_dict(reinterpret_cast<R*>(self)->value.properties);
    return 0;
}

// The internal class of the records R: collected, and not to be made from
// Python code.
template <class R>
PyTypeObject* make_record_type(const char* qualified_name) {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, (void*)dealloc_instance<R>},
        {Py_tp_traverse, (void*)traverse_instance<R>},
        {Py_tp_clear, (void*)record_clear<R>},
        {0, nullptr},
    };
    return make_type(qualified_name, sizeof(R), slots, nullptr, nullptr,
                     Py_TPFLAGS_DISALLOW_INSTANTIATION);
}

const MethodEntry node_methods[] = {
    method_entry<node_sig::uid>(
        node_uid_method,
        "Returns a unique identifier for this node.\n\n"
        "The UID is based on the node's type UID using SHA256. Returns a str of\n"
        "64 lowercase hex digits; nodes of equal type have the same uid, whatever\n"
        "their properties."),
    reduce_entry(node_reduce),
};

PyGetSetDef node_getset[] = {
    {"type", node_get_type, nullptr,
     "Gets the type of this node.\n\n"
     "Returns a new Variable or Application object on every read. Read-only.",
     nullptr},
    {"properties", node_get_properties, node_set_properties,
     "The properties dict of this node: the very dict object, never a copy.\n\n"
     "Assign a dict (or dict subclass) to replace it; assigning anything else,\n"
     "None included, raises TypeError, and deleting raises AttributeError.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kNodeDoc[] =
    "Represents a node in the graph (a type in the model).\n\n"
    "Fields:\n"
    "    type: the node's type (a Variable or Application)\n"
    "    properties: a dict held by reference (a new empty dict when omitted)\n\n"
    "The node's uid depends on its type alone, so a graph files at most one\n"
    "node per type. Nodes compare by identity.\n\n"
    "Args:\n"
    "    type: a Variable or Application; the node keeps its own copy.\n"
    "    properties: a dict (or dict subclass), or None for a new empty dict.\n"
    "        The very dict is kept, never copied.\n\n"
    "Raises:\n"
    "    TypeError: ``properties`` is not a dict or None (checked first), or\n"
    "        ``type`` is not a Variable or Application.\n\n"
    "Example::\n\n"
    "    >>> Node(Variable(\"Person\"), {\"name\": \"Alice\"})\n"
    "    Node(Person)";

// ----- Edge --------------------------------------------------------------------

// An end of a new edge: a Node (the cast TypeError names no argument).
Status end_node(PyObject* obj) {
    return Py_TYPE(obj) == NodeType ? ok_status() : cast_error(obj, "Node");
}

PyObject* edge_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    Args<edge_sig::construct> a;
    PyObject* props;
    TermHandle term;
    if (!a.bind(args, kwargs) || !to_dict(a["properties"], props, true) ||
        !term_from_python(a["term"], term) || !end_node(a["start"]) || !end_node(a["end"])) {
        return nullptr;
    }
    Ref d = props ? Ref::borrow(props) : Ref::steal(PyDict_New());
    if (!d) return nullptr;
    // The end nodes' records are shared: they never change.
    EdgeValue v;
    if (!EdgeValue::make(std::move(term), node_value(a["start"]), node_value(a["end"]),
                         std::move(d), v)) {
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(alloc_instance<PyEdge>(type, std::move(v)));
}

PyObject* edge_str(PyObject* self) {
    SharedBorrow b(self);
    if (!b) return nullptr;
    const EdgeValue& v = edge_value(self);
    return to_py("Edge(" + v.term().name + ": " + type_text(v.start().type().get()) + " -> " +
                 type_text(v.end().type().get()) + ")");
}

PyObject* edge_uid_method(PyObject* self, PyObject*) {
    SharedBorrow b(self);
    if (!b) return nullptr;
    return Py_XNewRef(edge_key_of_term(edge_value(self).term()));
}

PyObject* edge_get_term(PyObject* self, void*) {
    SharedBorrow b(self);
    if (!b) return nullptr;
    return term_to_python(edge_value(self).term_handle());
}

PyObject* edge_get_start(PyObject* self, void*) {
    SharedBorrow b(self);
    if (!b) return nullptr;
    return node_to_python(edge_value(self).start());
}

PyObject* edge_get_end(PyObject* self, void*) {
    SharedBorrow b(self);
    if (!b) return nullptr;
    return node_to_python(edge_value(self).end());
}

const MethodEntry edge_methods[] = {
    method_entry<edge_sig::uid>(
        edge_uid_method,
        "Returns a unique identifier for this edge.\n\n"
        "The UID is based on the edge's term UID using SHA256. Returns a str of\n"
        "64 lowercase hex digits; edges with equal terms have the same uid, whatever\n"
        "their end points and properties."),
    reduce_entry(edge_reduce),
};

PyGetSetDef edge_getset[] = {
    {"term", edge_get_term, nullptr,
     "Gets the term of this edge.\n\nReturns a new Term object on every read. Read-only.",
     nullptr},
    {"start", edge_get_start, nullptr,
     "Gets the starting node of this edge.\n\n"
     "Returns a new Node on every read, sharing the properties dict the node\n"
     "had when the edge was built. Read-only.",
     nullptr},
    {"end", edge_get_end, nullptr,
     "Gets the ending node of this edge.\n\n"
     "Returns a new Node on every read, sharing the properties dict the node\n"
     "had when the edge was built. Read-only.",
     nullptr},
    {"properties", edge_get_properties, edge_set_properties,
     "The properties dict of this edge: the very dict object, never a copy.\n\n"
     "Assign a dict (or dict subclass) to replace it; assigning anything else,\n"
     "None included, raises TypeError, and deleting raises AttributeError.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kEdgeDoc[] =
    "Represents an edge in the graph (a typed term in the model).\n\n"
    "Fields:\n"
    "    term: the edge's term; its type should be the function type from the\n"
    "        start node's type to the end node's type (not checked)\n"
    "    start: the start node (a snapshot taken at construction)\n"
    "    end: the end node (a snapshot taken at construction)\n"
    "    properties: a dict held by reference (a new empty dict when omitted)\n\n"
    "The edge's uid depends on its term alone. Edges compare by identity.\n\n"
    "Args:\n"
    "    term: a Term; the edge keeps its own copy.\n"
    "    start: the start Node; the edge keeps a snapshot of it.\n"
    "    end: the end Node, kept the same way.\n"
    "    properties: a dict (or dict subclass), or None for a new empty dict.\n\n"
    "Raises:\n"
    "    TypeError: ``properties`` is not a dict or None (checked first),\n"
    "        ``term`` is not a Term, or ``start`` or ``end`` is not a Node.\n\n"
    "Example::\n\n"
    "    >>> A, B = Variable(\"A\"), Variable(\"B\")\n"
    "    >>> Edge(Term(\"f\", Application(A, B)), Node(A), Node(B))\n"
    "    Edge(f: A -> B)";

// ----- Graph -------------------------------------------------------------------

PyObject* graph_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    Args<graph_sig::construct> a;
    if (!a.bind(args, kwargs)) return nullptr;
    Ref nodes = Ref::steal(PyDict_New());
    if (!nodes) return nullptr;
    Ref edges = Ref::steal(PyDict_New());
    if (!edges) return nullptr;
    return reinterpret_cast<PyObject*>(
        alloc_instance<PyGraph>(type, GraphValue(std::move(nodes), std::move(edges))));
}

PyObject* graph_str(PyObject* self) {
    const GraphValue& g = reinterpret_cast<PyGraph*>(self)->value;
    return PyUnicode_FromFormat("Graph(%zd nodes, %zd edges)", PyDict_GET_SIZE(g.nodes.get()),
                                PyDict_GET_SIZE(g.edges.get()));
}

int graph_clear(PyObject* self) {
    GraphValue& g = reinterpret_cast<PyGraph*>(self)->value;
    replace_with_empty_dict(g.nodes);
    replace_with_empty_dict(g.edges);
    return 0;
}

PyObject* graph_get_nodes(PyObject* self, void*) {
    return reinterpret_cast<PyGraph*>(self)->value.nodes.copy().release();
}

PyObject* graph_get_edges(PyObject* self, void*) {
    return reinterpret_cast<PyGraph*>(self)->value.edges.copy().release();
}

PyGetSetDef graph_getset[] = {
    {"nodes", graph_get_nodes, nullptr,
     "Dictionary mapping node UIDs to Node objects (the very dict, shared with every query).\n\n"
     "The attribute is read-only; the dict itself may be changed freely.",
     nullptr},
    {"edges", graph_get_edges, nullptr,
     "Dictionary mapping edge UIDs to Edge objects (the very dict, shared with every query).\n\n"
     "The attribute is read-only; the dict itself may be changed freely.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kGraphDoc[] =
    "Represents a type theoretical theory model as a graph.\n\n"
    "Fields:\n"
    "    nodes: Dictionary mapping node UIDs to Node objects\n"
    "    edges: Dictionary mapping edge UIDs to Edge objects\n\n"
    "Both are plain dicts that Python code reads and writes directly: file a\n"
    "node under ``node.uid()`` and an edge under ``edge.uid()``. Queries made\n"
    "with ``query()`` share the two dicts, so what a query creates or deletes\n"
    "shows here at once. Takes no arguments (TypeError otherwise).\n\n"
    "``copy.copy`` gives a second Graph over the same two dicts, as for any\n"
    "object holding two dicts; ``copy.deepcopy`` and pickle copy the dicts\n"
    "and everything in them.\n\n"
    "Example::\n\n"
    "    >>> Graph()\n"
    "    Graph(0 nodes, 0 edges)\n\n"
    "In general the text form is ``Graph(X nodes, Y edges)``.";

const MethodEntry graph_methods[] = {
    method_entry<graph_sig::query>(
        graph_query,
        "Creates a new query builder for this graph.\n\n"
        "Returns a new, empty Query that shares this graph's nodes and edges\n"
        "dicts; every call gives an independent query."),
    method_entry<graph_sig::cypher>(graph_cypher, kGraphCypherDoc),
    method_entry<graph_sig::to_networkx>(
        graph_to_networkx,
        "Returns the graph as a networkx.MultiDiGraph.\n\n"
        "One node per entry of ``nodes``, keyed by its key, with the node's\n"
        "properties and the attributes ``type`` (the node's type) and ``label``\n"
        "(its text form); one edge per entry of ``edges``, from its start node's\n"
        "uid to its end node's uid, keyed by its key, with the edge's properties\n"
        "and ``term`` (the edge's Term) and ``label`` (the term's name). These\n"
        "attributes win over properties of the same names; property values are\n"
        "shared, not copied. An end point that is not filed in ``nodes`` under its\n"
        "uid is added from the edge's copy of it.\n\n"
        "Raises:\n"
        "    ImportError: NetworkX is not installed (``pip install\n"
        "        'velkora[networkx]'``); it is imported on the first call.\n"
        "    TypeError: a value of ``nodes`` is not a Node, or one of ``edges``\n"
        "        is not an Edge."),
    method_entry<graph_sig::to_dot>(
        graph_to_dot,
        "Returns the graph as Graphviz DOT text.\n\n"
        "A ``digraph`` with one node per entry of ``nodes`` (its key as the node\n"
        "id, labelled with its type) and one edge per entry of ``edges`` (from its\n"
        "start node's uid to its end node's uid, labelled with the term's name);\n"
        "an end point not filed in ``nodes`` under its uid gets a node of its own.\n"
        "Every id and label is quoted and escaped. Render it with Graphviz, for\n"
        "instance ``dot -Tpng graph.dot -o graph.png``.\n\n"
        "Raises:\n"
        "    TypeError: a key of ``nodes`` is not a str, a value of ``nodes`` is\n"
        "        not a Node, or one of ``edges`` is not an Edge."),
    method_entry<graph_sig::to_cypher>(graph_to_cypher, kGraphToCypherDoc),
    method_entry<graph_sig::repr_svg>(
        graph_repr_svg,
        "Returns the picture of ``to_dot()`` as SVG text, for notebooks.\n\n"
        "Jupyter shows a Graph by this picture when it is not None. It is None\n"
        "when Graphviz's ``dot`` is not on the PATH, when the graph holds more\n"
        "than 200 nodes and edges together (a larger picture is seldom\n"
        "readable), or when ``dot`` fails or takes longer than 10 seconds; the\n"
        "notebook then shows the text form.\n\n"
        "Raises:\n"
        "    TypeError: as ``to_dot()`` does."),
    reduce_entry(graph_reduce),
    method_entry<graph_sig::restore>(graph_restore, kGraphRestoreDoc),
};

}  // namespace

PyTypeObject* create_node_type() {
    // The records come first: every Node holds one.
    NodeRecordType = make_record_type<NodeRecord>("velkora._NodeRecord");
    if (!NodeRecordType) return nullptr;
    static PyType_Slot slots[] = {
        {Py_tp_new, (void*)node_new},
        {Py_tp_dealloc, (void*)dealloc_instance<PyNode>},
        {Py_tp_traverse, (void*)traverse_instance<PyNode>},
        {Py_tp_clear, (void*)node_clear},
        {Py_tp_str, (void*)node_str},
        {Py_tp_repr, (void*)node_str},
        {Py_tp_getset, node_getset},
        {0, nullptr},
    };
    NodeType = make_type("velkora.Node", sizeof(PyNode), slots,
                         class_doc<node_sig::construct>(kNodeDoc).c_str(),
                         method_table(node_methods));
    return NodeType;
}

PyTypeObject* create_edge_type() {
    EdgeRecordType = make_record_type<EdgeRecord>("velkora._EdgeRecord");
    if (!EdgeRecordType) return nullptr;
    static PyType_Slot slots[] = {
        {Py_tp_new, (void*)edge_new},
        {Py_tp_dealloc, (void*)dealloc_instance<PyEdge>},
        {Py_tp_traverse, (void*)traverse_instance<PyEdge>},
        {Py_tp_clear, (void*)edge_clear},
        {Py_tp_str, (void*)edge_str},
        {Py_tp_repr, (void*)edge_str},
        {Py_tp_getset, edge_getset},
        {0, nullptr},
    };
    EdgeType = make_type("velkora.Edge", sizeof(PyEdge), slots,
                         class_doc<edge_sig::construct>(kEdgeDoc).c_str(),
                         method_table(edge_methods));
    return EdgeType;
}

PyTypeObject* create_graph_type() {
    if (!create_cypher_export_type()) return nullptr;
    static PyType_Slot slots[] = {
        {Py_tp_new, (void*)graph_new},
        {Py_tp_dealloc, (void*)dealloc_instance<PyGraph>},
        {Py_tp_traverse, (void*)traverse_instance<PyGraph>},
        {Py_tp_clear, (void*)graph_clear},
        {Py_tp_str, (void*)graph_str},
        {Py_tp_repr, (void*)graph_str},
        {Py_tp_getset, graph_getset},
        {0, nullptr},
    };
    GraphType = make_type("velkora.Graph", sizeof(PyGraph), slots,
                          class_doc<graph_sig::construct>(kGraphDoc).c_str(),
                          method_table(graph_methods));
    return GraphType;
}

}  // namespace vk
