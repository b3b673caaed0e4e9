// Copy and pickle.
//
// Each class reduces to a call that rebuilds an equal object, so pickle,
// copy.copy and copy.deepcopy all go through __reduce__:
// - Variable, Term, TypeSchema, NodePattern and EdgePattern: their own
//   constructor, given the object's fields.
// - Node and Edge: the constructor without the properties dict, which comes
//   back as slot state (None, {"properties": dict}) and is assigned through
//   the `properties` setter. The object exists before its dict is rebuilt,
//   so a dict that refers back to its node or edge pickles, and a shallow
//   copy shares the dict while a deep copy copies it through the memo.
// - Application: Application._restore(data), where data is the type's flat
//   encoding (below), so a type nested any number of levels deep pickles
//   without one level of Python recursion per level of nesting. Classes that
//   hold a type hand it on as a Variable or Application object, which reduces
//   the same way.
// - Graph: Graph._restore(nodes, edges) adopts the two dicts, as a Python
//   object holding two dicts would: a shallow copy shares them, a deep copy
//   and an unpickled graph get their own.
// - PathPattern: PathPattern._restore(nodes, edges) from lists of patterns.
// - Path: its constructor, given tuples of its nodes and edges (new Node and
//   Edge objects, each reducing as above); the directions follow from them.
// - Query: refused with TypeError.
//
// Flat encoding of a type: a tuple read from left to right that builds a
// table of types. A str adds the variable of that name; two ints l and r add
// the application of entry l to entry r, both earlier entries. The last
// entry is the type. Equal variables and equal applications get one entry
// each, so shared and repeated sub-types are written once, and equal types
// have equal encodings.
#include "pickling.hpp"

#include <array>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "graph.hpp"
#include "host/args.hpp"
#include "host/ref.hpp"
#include "path_value.hpp"
#include "patterns.hpp"
#include "term.hpp"
#include "type_schema.hpp"
#include "types.hpp"

namespace vk {

const char kReduceDoc[] = "Returns what pickle and copy rebuild an equal object from.";

namespace {

// A new tuple of the given references (each step of a reduction is built
// only when the ones before it succeeded, so a null here means its error is
// set and nothing after it ran).
template <class... R>
Ref tuple_of(const R&... items) {
    for (PyObject* p : {items.get()...}) {
        if (!p) return Ref();
    }
    return Ref::steal(PyTuple_Pack(sizeof...(items), items.get()...));
}

// cls._restore, bound once per class and kept (like the class, for the
// life of the process): pickle's memo then writes it once per pickle, not
// once per object.
Ref restore_method(PyTypeObject* cls) {
    static PyTypeObject* classes[3];
    static PyObject* methods[3];
    for (int i = 0; i < 3; ++i) {
        if (classes[i] == cls) return Ref::borrow(methods[i]);
        if (classes[i]) continue;
        PyObject* m = PyObject_GetAttrString(reinterpret_cast<PyObject*>(cls), "_restore");
        if (!m) return Ref();
        classes[i] = cls;
        methods[i] = m;
        return Ref::borrow(m);
    }
    return Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(cls), "_restore"));
}

// (cls, args) or (cls, args, state); with `restore`, cls._restore instead of
// cls. Null args or state (when one was expected) pass their error on.
PyObject* reduction(PyTypeObject* cls, bool restore, const Ref& args, const Ref* state = nullptr) {
    if (!args || (state && !*state)) return nullptr;
    Ref callable = restore ? restore_method(cls) : Ref::borrow(reinterpret_cast<PyObject*>(cls));
    if (!callable) return nullptr;
    return (state ? tuple_of(callable, args, *state) : tuple_of(callable, args)).release();
}

Ref text(std::string_view s) { return Ref::steal(to_py(s)); }

Ref optional_text(const std::optional<std::string>& s) {
    return s ? text(*s) : Ref::borrow(Py_None);
}

// The slot state of a node or edge: (None, {"properties": dict}).
Ref properties_state(PyObject* props) {
    Ref slots = Ref::steal(PyDict_New());
    if (!slots || PyDict_SetItemString(slots.get(), "properties", props) < 0) return Ref();
    return tuple_of(Ref::borrow(Py_None), slots);
}

// A new dict of a pattern's required properties, or None when there are none.
Ref property_dict(const PropertyMap& m) {
    return m.entries.empty() ? Ref::borrow(Py_None) : m.to_dict();
}

Ref schema_text(const std::optional<TypeSchemaValue>& s) {
    return s ? text(s->pattern) : Ref::borrow(Py_None);
}

// ----- flat encoding of types ---------------------------------------------------

struct PairHash {
    size_t operator()(const std::pair<size_t, size_t>& p) const {
        return std::hash<size_t>()(p.first) * 1000003u ^ std::hash<size_t>()(p.second);
    }
};

Ref type_to_flat(const TypeNode* root) {
    // One entry per distinct sub-type, children before parents; a node reached
    // again through sharing is looked up, not walked again.
    struct Entry {
        const TypeNode* node;
        size_t left, right;  // for an application
    };
    std::vector<Entry> entries;
    std::unordered_map<const TypeNode*, size_t> done;
    std::unordered_map<std::string_view, size_t> variables;
    std::unordered_map<std::pair<size_t, size_t>, size_t, PairHash> applications;
    size_t ints = 0;
    std::vector<const TypeNode*> stack{root};
    while (!stack.empty()) {
        const TypeNode* n = stack.back();
        if (done.count(n)) {
            stack.pop_back();
            continue;
        }
        size_t index = entries.size();
        if (!n->is_app()) {
            auto [it, added] = variables.try_emplace(n->name(), index);
            if (added) entries.push_back({n, 0, 0});
            done.emplace(n, it->second);
            stack.pop_back();
            continue;
        }
        auto l = done.find(n->left());
        auto r = done.find(n->right());
        if (l == done.end() || r == done.end()) {
            if (r == done.end()) stack.push_back(n->right());
            if (l == done.end()) stack.push_back(n->left());
            continue;
        }
        auto [it, added] = applications.try_emplace({l->second, r->second}, index);
        if (added) {
            entries.push_back({n, l->second, r->second});
            ints += 2;
        }
        done.emplace(n, it->second);
        stack.pop_back();
    }
    Ref out = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(entries.size() - ints / 2 + ints)));
    if (!out) return Ref();
    Py_ssize_t i = 0;
    for (const Entry& e : entries) {
        if (!e.node->is_app()) {
            PyObject* name = to_py(e.node->name());
            if (!name) return Ref();
            PyTuple_SET_ITEM(out.get(), i++, name);
            continue;
        }
        for (size_t index : {e.left, e.right}) {
            PyObject* v = PyLong_FromSize_t(index);
            if (!v) return Ref();
            PyTuple_SET_ITEM(out.get(), i++, v);
        }
    }
    return out;
}

Status malformed(PyObject* kind, const std::string& reason) {
    PyErr_Format(kind, "malformed type data: %s", reason.c_str());
    return PyErrorSet{};
}

// The index at data[i] if it names an entry of a table of `built` entries.
Status entry_index(PyObject* data, Py_ssize_t i, size_t built, size_t& out) {
    Py_ssize_t v = PyLong_AsSsize_t(PyTuple_GET_ITEM(data, i));
    if (v == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return PyErrorSet{};
        PyErr_Clear();
    }
    if (v < 0 || static_cast<size_t>(v) >= built) {
        return malformed(PyExc_ValueError,
                         "item " + std::to_string(i) + " names no earlier entry");
    }
    out = static_cast<size_t>(v);
    return ok_status();
}

Status type_from_flat(Arg arg, TypeRef& out) {
    PyObject* data = arg.obj;
    if (!PyTuple_Check(data)) return arg_error(arg.name, cast_message(data, "tuple"));
    Py_ssize_t n = PyTuple_GET_SIZE(data);
    if (n == 0) return malformed(PyExc_ValueError, "no entries");
    std::vector<TypeRef> table;
    table.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(data, i);
        if (PyUnicode_Check(item)) {
            std::string_view name;
            if (!to_str({arg.name, item}, name)) return PyErrorSet{};
            table.push_back(TypeRef::variable(name));
        } else if (PyLong_CheckExact(item)) {
            if (i + 1 == n || !PyLong_CheckExact(PyTuple_GET_ITEM(data, i + 1))) {
                return malformed(PyExc_ValueError,
                                 "item " + std::to_string(i) + " is not followed by a second index");
            }
            size_t l, r;
            if (!entry_index(data, i, table.size(), l) ||
                !entry_index(data, i + 1, table.size(), r)) {
                return PyErrorSet{};
            }
            table.push_back(TypeRef::application(table[l], table[r]));
            ++i;
        } else {
            return malformed(PyExc_TypeError, "item " + std::to_string(i) + " is a '" +
                                                  type_name(Py_TYPE(item)) + "', not a str or an int");
        }
    }
    out = std::move(table.back());
    return ok_status();
}

// ----- _restore ---------------------------------------------------------------

// Copies the values of a list or tuple of pattern objects of one class.
template <class PyP, class V>
Status pattern_values(Arg seq, PyTypeObject* type, std::vector<V>& out) {
    if (!PyList_Check(seq.obj) && !PyTuple_Check(seq.obj)) {
        return arg_error(seq.name, cast_message(seq, "list"));
    }
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.obj);
    out.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        // Copying a pattern runs no Python code, so the list cannot change here.
        PyObject* item = PySequence_Fast_GET_ITEM(seq.obj, i);
        if (!to_instance({seq.name, item}, type)) return PyErrorSet{};
        out.push_back(reinterpret_cast<PyP*>(item)->value);
    }
    return ok_status();
}

}  // namespace

const char kApplicationRestoreDoc[] =
    "Builds an Application from its flat encoding (used by pickle and copy).\n\n"
    "``data`` is a tuple read left to right: a str adds a variable, two ints\n"
    "add the application of those two earlier entries; the last entry is the\n"
    "result. Malformed data raises TypeError or ValueError.";

const char kGraphRestoreDoc[] =
    "Builds a Graph around the two given dicts (used by pickle and copy).\n\n"
    "The dicts are adopted, not copied. Raises TypeError when either is not a\n"
    "dict and ValueError when both are the same dict.";

const char kPathPatternRestoreDoc[] =
    "Builds a PathPattern from a list of NodePatterns and a list of\n"
    "EdgePatterns (used by pickle and copy); TypeError for anything else.";

PyObject* application_restore(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    Args<application_sig::restore> a;
    TypeRef t;
    if (!a.bind(args, n, kw) || !type_from_flat(a["data"], t)) return nullptr;
    if (!t->is_app()) {
        (void)malformed(PyExc_ValueError, "it describes a variable, not an application");
        return nullptr;
    }
    return type_to_python(t);
}

PyObject* graph_restore(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    Args<graph_sig::restore> a;
    PyObject *nodes, *edges;
    if (!a.bind(args, n, kw) || !to_dict(a["nodes"], nodes, false) ||
        !to_dict(a["edges"], edges, false)) {
        return nullptr;
    }
    if (nodes == edges) {
        PyErr_SetString(PyExc_ValueError, "a graph's nodes and edges must be two different dicts");
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(
        alloc_instance<PyGraph>(GraphType, GraphValue(Ref::borrow(nodes), Ref::borrow(edges))));
}

PyObject* path_pattern_restore(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    Args<path_pattern_sig::restore> a;
    PathPatternValue v;
    if (!a.bind(args, n, kw) ||
        !pattern_values<PyNodePattern>(a["nodes"], NodePatternType, v.nodes) ||
        !pattern_values<PyEdgePattern>(a["edges"], EdgePatternType, v.edges)) {
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(alloc_instance<PyPathPattern>(PathPatternType, std::move(v)));
}

// ----- __reduce__ -------------------------------------------------------------

PyObject* variable_reduce(PyObject* self, PyObject*) {
    SharedBorrow b(self);
    if (!b) return nullptr;
    Ref name = text(reinterpret_cast<PyType_*>(self)->value->name());
    return reduction(VariableType, false, tuple_of(name));
}

PyObject* application_reduce(PyObject* self, PyObject*) {
    Ref data = type_to_flat(reinterpret_cast<PyType_*>(self)->value.get());
    return reduction(ApplicationType, true, tuple_of(data));
}

PyObject* term_reduce(PyObject* self, PyObject*) {
    SharedBorrow b(self);
    if (!b) return nullptr;
    const TermValue& v = *reinterpret_cast<PyTerm*>(self)->value;
    Ref name = text(v.name);
    Ref type = name ? Ref::steal(type_to_python(v.type)) : Ref();
    return reduction(TermType, false, tuple_of(name, type));
}

PyObject* node_reduce(PyObject* self, PyObject*) {
    SharedBorrow b(self);
    if (!b) return nullptr;
    const NodeValue& v = node_value(self);
    Ref type = Ref::steal(type_to_python(v.type()));
    Ref args = tuple_of(type);
    Ref state = args ? properties_state(v.properties()) : Ref();
    return reduction(NodeType, false, args, &state);
}

PyObject* edge_reduce(PyObject* self, PyObject*) {
    SharedBorrow b(self);
    if (!b) return nullptr;
    const EdgeValue& v = edge_value(self);
    Ref term = Ref::steal(term_to_python(v.term_handle()));
    Ref start = term ? Ref::steal(node_to_python(v.start())) : Ref();
    Ref end = start ? Ref::steal(node_to_python(v.end())) : Ref();
    Ref args = tuple_of(term, start, end);
    Ref state = args ? properties_state(v.properties()) : Ref();
    return reduction(EdgeType, false, args, &state);
}

PyObject* graph_reduce(PyObject* self, PyObject*) {
    const GraphValue& g = reinterpret_cast<PyGraph*>(self)->value;
    return reduction(GraphType, true, tuple_of(g.nodes, g.edges));
}

PyObject* type_schema_reduce(PyObject* self, PyObject*) {
    Ref pattern = text(reinterpret_cast<PyTypeSchema*>(self)->value.pattern);
    return reduction(TypeSchemaType, false, tuple_of(pattern));
}

namespace {

// The arguments both pattern constructors start with: variable, the exact
// type or term (None when absent), schema text, properties. `exact` is an
// optional type or a term handle, empty when absent.
template <class Exact, class ToPython>
std::array<Ref, 4> pattern_args(const std::optional<std::string>& variable,
                                const Exact& exact, ToPython to_python,
                                const std::optional<TypeSchemaValue>& schema,
                                const PropertyMap& properties) {
    std::array<Ref, 4> a;
    a[0] = optional_text(variable);
    if (!a[0]) return a;
    a[1] = exact ? Ref::steal(to_python(exact)) : Ref::borrow(Py_None);
    if (a[1]) a[2] = schema_text(schema);
    if (a[2]) a[3] = property_dict(properties);
    return a;
}

}  // namespace

PyObject* node_pattern_reduce(PyObject* self, PyObject*) {
    const NodePatternValue& v = reinterpret_cast<PyNodePattern*>(self)->value;
    auto type = [](const std::optional<TypeRef>& t) { return type_to_python(*t); };
    auto a = pattern_args(v.variable, v.type_obj, type, v.type_schema, v.properties);
    return reduction(NodePatternType, false, tuple_of(a[0], a[1], a[2], a[3]));
}

PyObject* edge_pattern_reduce(PyObject* self, PyObject*) {
    const EdgePatternValue& v = reinterpret_cast<PyEdgePattern*>(self)->value;
    auto a = pattern_args(v.variable, v.term, term_to_python, v.term_type_schema, v.properties);
    Ref direction = a[3] ? text(v.direction) : Ref();
    return reduction(EdgePatternType, false, tuple_of(a[0], a[1], a[2], a[3], direction));
}

namespace {

// A new list of new pattern objects copied from the values.
template <class PyP, class V>
Ref pattern_list(const std::vector<V>& items, PyTypeObject* type) {
    Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!out) return Ref();
    for (size_t i = 0; i < items.size(); ++i) {
        PyObject* o = reinterpret_cast<PyObject*>(alloc_instance<PyP>(type, items[i]));
        if (!o) return Ref();
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), o);
    }
    return out;
}

}  // namespace

PyObject* path_pattern_reduce(PyObject* self, PyObject*) {
    SharedBorrow b(self);
    if (!b) return nullptr;
    const PathPatternValue& p = reinterpret_cast<PyPathPattern*>(self)->value;
    Ref nodes = pattern_list<PyNodePattern>(p.nodes, NodePatternType);
    Ref edges = nodes ? pattern_list<PyEdgePattern>(p.edges, EdgePatternType) : Ref();
    return reduction(PathPatternType, true, tuple_of(nodes, edges));
}

PyObject* path_reduce(PyObject* self, PyObject*) {
    const PathValue& p = path_value(self);
    Ref nodes = Ref::steal(path_node_list(p, true));
    Ref edges = nodes ? Ref::steal(path_edge_list(p, true)) : Ref();
    return reduction(PathType, false, tuple_of(nodes, edges));
}

PyObject* query_reduce(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError,
                    "cannot pickle or copy a Query: it is bound to its graph's dicts and its "
                    "bindings; pickle or copy the Graph and build the query again");
    return nullptr;
}

}  // namespace vk
