// Node and edge patterns: their values, the node test and the two classes.
// Path patterns and the pattern-string parser live in path_pattern.cpp.
#include "patterns.hpp"

#include <cstring>

#include "host/args.hpp"
#include "host/dict_walk.hpp"
#include "host/pytype.hpp"
#include "pickling.hpp"
#include "text.hpp"

namespace vk {

PyTypeObject* NodePatternType = nullptr;
PyTypeObject* EdgePatternType = nullptr;

// ----- values ----------------------------------------------------------------

PropertyMap::PropertyMap(const PropertyMap& o) {
    entries.reserve(o.entries.size());
    for (const Entry& e : o.entries) entries.push_back({e.key.copy(), e.value.copy()});
}

PropertyMap& PropertyMap::operator=(const PropertyMap& o) {
    if (this != &o) {
        PropertyMap tmp(o);
        entries = std::move(tmp.entries);
    }
    return *this;
}

Status PropertyMap::from_dict(PyObject* dict, PropertyMap& out) {
    PropertyMap m;
    if (dict && dict != Py_None) {
        if (!PyDict_Check(dict)) return arg_error("properties", cast_message(dict, "dict"));
        bool subclass_keys = false;
        DictWalk w(dict);
        Ref k, v;
        int r;
        while ((r = w.next(k, v)) > 0) {
            std::string_view name;
            if (!to_str({"properties", k.get()}, name)) return PyErrorSet{};
            Ref key;
            if (PyUnicode_CheckExact(k.get())) {
                key = std::move(k);
            } else {
                // A str subclass: keep its text as a plain str, so that no
                // user __hash__ or __eq__ runs when nodes are tested.
                subclass_keys = true;
                key = Ref::steal(to_py(name));
                if (!key) return PyErrorSet{};
            }
            // Interned: the keys of properties dicts written in Python are,
            // so a node test finds its key by identity, not by its text.
            PyObject* interned = key.release();
            PyUnicode_InternInPlace(&interned);
            m.entries.push_back({Ref::steal(interned), std::move(v)});
        }
        if (r < 0) return PyErrorSet{};
        // Distinct exact-str keys have distinct texts; keys of str subclasses
        // may not, and then the later value replaces the earlier one.
        if (subclass_keys) {
            Ref seen = Ref::steal(PyDict_New());
            if (!seen) return PyErrorSet{};
            std::vector<Entry> unique;
            for (Entry& e : m.entries) {
                PyObject* at = PyDict_GetItemWithError(seen.get(), e.key.get());
                if (at) {
                    unique[PyLong_AsSize_t(at)].value = std::move(e.value);
                    continue;
                }
                Ref index = Ref::steal(PyErr_Occurred() ? nullptr : PyLong_FromSize_t(unique.size()));
                if (!index || PyDict_SetItem(seen.get(), e.key.get(), index.get()) < 0) {
                    return PyErrorSet{};
                }
                unique.push_back(std::move(e));
            }
            m.entries = std::move(unique);
        }
    }
    out = std::move(m);
    return ok_status();
}

namespace {

bool present(PyObject* o) { return o && o != Py_None; }

// A schema argument: a str or a TypeSchema gives its text; anything else is
// ignored. Fails only when a str cannot be read as UTF-8.
Status schema_from(Arg a, std::optional<TypeSchemaValue>& out) {
    out.reset();
    if (!present(a)) return ok_status();
    if (PyUnicode_Check(a.obj)) {
        std::string_view text;
        if (!to_str(a, text)) return PyErrorSet{};
        out = TypeSchemaValue{std::string(text)};
    } else if (Py_TYPE(a.obj) == TypeSchemaType) {
        out = reinterpret_cast<PyTypeSchema*>(a.obj)->value;
    }
    return ok_status();
}

}  // namespace

Status NodePatternValue::create(std::optional<std::string> variable, PyObject* type,
                                PyObject* type_schema, PyObject* properties,
                                NodePatternValue& out) {
    NodePatternValue v;
    if (present(type)) {
        TypeRef t;
        if (!python_to_type(type, t)) return PyErrorSet{};
        v.type_obj = std::move(t);
    }
    if (!schema_from({"type_schema", type_schema}, v.type_schema) ||
        !PropertyMap::from_dict(properties, v.properties)) {
        return PyErrorSet{};
    }
    v.variable = std::move(variable);
    out = std::move(v);
    return ok_status();
}

int PropertyMap::held_by(PyObject* props) const {
    if (entries.empty()) return 1;
    if (!props || !PyDict_Check(props)) return 0;
    // The dict itself is held too: a comparison may replace it in its
    // node or edge, dropping that reference.
    Ref held = Ref::borrow(props);
    for (const Entry& e : entries) {
        // Strong references throughout: a user __eq__ may change the dict.
        Ref expected = e.value.copy();
        Ref key = e.key.copy();
        PyObject* found = PyDict_GetItemWithError(props, key.get());
        if (!found) {
            if (!PyErr_Occurred()) return 0;  // missing
            // A lookup that failed counts as no match; an interrupt, an
            // exit request or a MemoryError is never swallowed.
            return drop_exception() ? 0 : -1;
        }
        Ref actual = Ref::borrow(found);
        Ref eq = Ref::steal(PyObject_RichCompare(actual.get(), expected.get(), Py_EQ));
        if (!eq) return -1;
        int truth = PyObject_IsTrue(eq.get());
        if (truth <= 0) return truth;
    }
    return 1;
}

namespace {

// Classes whose == runs no Python code and cannot fail, and for which an
// object equals itself.
bool plain_class(PyTypeObject* t) {
    return t == &PyLong_Type || t == &PyUnicode_Type || t == &PyBool_Type;
}

// a == b for two distinct objects of one plain class: ints compared by
// value, strs by their characters (kept in the narrowest kind, so equal
// strs have equal kinds); bools are singletons.
bool plain_equal(PyObject* a, PyObject* b) {
    if (PyLong_CheckExact(a)) {
        int over_a, over_b;
        long x = PyLong_AsLongAndOverflow(a, &over_a);
        long y = PyLong_AsLongAndOverflow(b, &over_b);
        if (!over_a && !over_b) return x == y;
        return PyObject_RichCompareBool(a, b, Py_EQ) == 1;
    }
    if (PyUnicode_CheckExact(a)) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(a);
        return n == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
               std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), n * PyUnicode_KIND(a)) == 0;
    }
    return false;
}

// Above this many entries a properties dict is not scanned.
constexpr Py_ssize_t kScanLimit = 8;

// Finds the value of the exact str `key` in a small dict by a scan, which
// (unlike a lookup, which may compare `key` with a key of another class)
// runs no Python code. False when the dict is larger than kScanLimit or
// holds a key that is not an exact str; otherwise `found` is the value
// (borrowed) or null.
bool scan_for(PyObject* props, PyObject* key, PyObject*& found) {
    if (PyDict_GET_SIZE(props) > kScanLimit) return false;
    found = nullptr;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(props, &pos, &k, &v)) {
        if (!PyUnicode_CheckExact(k)) return false;
        if (!found && (k == key || plain_equal(k, key))) found = v;
    }
    return true;
}

}  // namespace

int PropertyMap::held_by_plainly(PyObject* props) const {
    if (entries.empty()) return 1;
    if (!props || !PyDict_Check(props)) return 0;
    for (const Entry& e : entries) {
        PyObject* expected = e.value.get();
        if (!plain_class(Py_TYPE(expected))) return kNeedsPython;
        PyObject* found;
        if (!scan_for(props, e.key.get(), found)) return kNeedsPython;
        if (!found) return 0;
        if (Py_TYPE(found) != Py_TYPE(expected)) return kNeedsPython;
        if (found != expected && !plain_equal(found, expected)) return 0;
    }
    return 1;
}

Ref PropertyMap::to_dict() const {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return d;
    for (const Entry& e : entries) {
        // Exact str keys: no Python code runs here.
        if (PyDict_SetItem(d.get(), e.key.get(), e.value.get()) < 0) return Ref();
    }
    return d;
}

int PropertyMap::traverse(visitproc visit, void* arg) const {
    for (const Entry& e : entries) {
        Py_VISIT(e.key.get());
        Py_VISIT(e.value.get());
    }
    return 0;
}

int PathPatternValue::traverse(visitproc visit, void* arg) const {
    for (const NodePatternValue& n : nodes) {
        if (int r = n.traverse(visit, arg)) return r;
    }
    for (const EdgePatternValue& e : edges) {
        if (int r = e.traverse(visit, arg)) return r;
    }
    return 0;
}

Status EdgePatternValue::create(std::optional<std::string> variable, PyObject* term,
                                PyObject* term_type_schema, PyObject* properties,
                                std::string direction, EdgePatternValue& out) {
    EdgePatternValue v;
    if ((present(term) && !term_from_python(term, v.term)) ||
        !schema_from({"term_type_schema", term_type_schema}, v.term_type_schema) ||
        !PropertyMap::from_dict(properties, v.properties)) {
        return PyErrorSet{};
    }
    v.variable = std::move(variable);
    v.direction = std::move(direction);
    out = std::move(v);
    return ok_status();
}

// ----- Python classes ------------------------------------------------------------
//
// Pattern objects are never changed after construction, so their reads need
// no in-use mark: nothing can hold them exclusively.

namespace {

// tp_clear of NodePattern and EdgePattern: the required property values go
// (a cleared pattern requires none).
template <class T>
int clear_pattern(PyObject* self) {
    empty_out(reinterpret_cast<T*>(self)->value.properties);
    return 0;
}

PyObject* optional_str(const std::optional<std::string>& s) {
    if (!s) Py_RETURN_NONE;
    return to_py(*s);
}

// None, or Some("name") with the name's special characters escaped.
std::string variable_text(const std::optional<std::string>& v) {
    return v ? "Some(" + quoted_text(*v) + ")" : "None";
}

// --- NodePattern

const NodePatternValue& node_of(PyObject* self) {
    return reinterpret_cast<PyNodePattern*>(self)->value;
}

PyObject* node_pattern_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    Args<node_pattern_sig::construct> a;
    std::optional<std::string> variable;
    PyObject* props;
    NodePatternValue v;
    if (!a.bind(args, kwargs) || !to_opt_string(a["variable"], variable) ||
        !to_dict(a["properties"], props, true) ||
        !NodePatternValue::create(std::move(variable), a["type"], a["type_schema"], props, v)) {
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(alloc_instance<PyNodePattern>(type, std::move(v)));
}

PyObject* node_pattern_repr(PyObject* self) {
    return to_py("NodePattern(variable=" + variable_text(node_of(self).variable) + ")");
}

PyObject* node_pattern_get_variable(PyObject* self, void*) {
    return optional_str(node_of(self).variable);
}

const MethodEntry node_pattern_methods[] = {
    reduce_entry(node_pattern_reduce),
};

PyGetSetDef node_pattern_getset[] = {
    {"variable", node_pattern_get_variable, nullptr,
     "The variable name matched nodes are bound to (a str), or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kNodeDoc[] =
    "Represents a node pattern in a Cypher-like query.\n\n"
    "Fields:\n\n"
    "- variable: the name matched nodes are bound to, or None;\n"
    "- type: a Variable or Application the node's type must equal;\n"
    "- type_schema: a schema (str or TypeSchema) the node's type must match;\n"
    "  any other object is ignored;\n"
    "- properties: a dict of values the node's properties must equal (==).\n\n"
    "Raises:\n"
    "    TypeError: ``variable`` is not a str or None, ``type`` is not a\n"
    "        Variable or Application, or ``properties`` is not a dict or has a\n"
    "        key that is not a str.\n\n"
    "Example::\n\n"
    "    >>> NodePattern(\"n\", type_schema=\"$Person$\", properties={\"age\": 30})\n"
    "    NodePattern(variable=Some(\"n\"))";

// --- EdgePattern

const EdgePatternValue& edge_of(PyObject* self) {
    return reinterpret_cast<PyEdgePattern*>(self)->value;
}

PyObject* edge_pattern_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    Args<edge_pattern_sig::construct> a;
    std::optional<std::string> variable;
    PyObject* props;
    std::string direction = "forward";
    EdgePatternValue v;
    if (!a.bind(args, kwargs) || !to_opt_string(a["variable"], variable) ||
        !to_dict(a["properties"], props, true) ||
        (a["direction"] && !to_string(a["direction"], direction)) ||
        !EdgePatternValue::create(std::move(variable), a["term"], a["term_type_schema"], props,
                                  std::move(direction), v)) {
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(alloc_instance<PyEdgePattern>(type, std::move(v)));
}

PyObject* edge_pattern_repr(PyObject* self) {
    const EdgePatternValue& v = edge_of(self);
    return to_py("EdgePattern(variable=" + variable_text(v.variable) + ", direction=" +
                 v.direction + ")");
}

PyObject* edge_pattern_get_variable(PyObject* self, void*) {
    return optional_str(edge_of(self).variable);
}

PyObject* edge_pattern_get_direction(PyObject* self, void*) {
    return to_py(edge_of(self).direction);
}

const MethodEntry edge_pattern_methods[] = {
    reduce_entry(edge_pattern_reduce),
};

PyGetSetDef edge_pattern_getset[] = {
    {"variable", edge_pattern_get_variable, nullptr,
     "The variable name matched edges are bound to (a str), or None.", nullptr},
    {"direction", edge_pattern_get_direction, nullptr,
     "The direction: \"forward\", \"backward\" or \"any\".", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kEdgeDoc[] =
    "Represents an edge pattern in a Cypher-like query.\n\n"
    "Fields:\n\n"
    "- variable: the name matched edges are bound to, or None;\n"
    "- term: a Term the edge's term must equal;\n"
    "- term_type_schema: a schema (str or TypeSchema) for the type of the\n"
    "  edge's term; any other object is ignored;\n"
    "- properties: a dict of values the edge's properties must equal;\n"
    "- direction: \"forward\" (the default), \"backward\", or \"any\".\n\n"
    "Raises:\n"
    "    TypeError: ``variable`` is not a str or None, ``term`` is not a Term,\n"
    "        ``properties`` is not a dict or has a key that is not a str, or\n"
    "        ``direction`` is not a str.\n\n"
    "Example::\n\n"
    "    >>> EdgePattern(\"e\", direction=\"any\")\n"
    "    EdgePattern(variable=Some(\"e\"), direction=any)";

}  // namespace

PyTypeObject* create_node_pattern_type() {
    static PyType_Slot slots[] = {
        {Py_tp_new, (void*)node_pattern_new},
        {Py_tp_dealloc, (void*)dealloc_instance<PyNodePattern>},
        {Py_tp_traverse, (void*)traverse_instance<PyNodePattern>},
        {Py_tp_clear, (void*)clear_pattern<PyNodePattern>},
        {Py_tp_repr, (void*)node_pattern_repr},
        {Py_tp_getset, node_pattern_getset},
        {0, nullptr},
    };
    NodePatternType = make_type("velkora.NodePattern", sizeof(PyNodePattern), slots,
                                class_doc<node_pattern_sig::construct>(kNodeDoc).c_str(),
                                method_table(node_pattern_methods));
    return NodePatternType;
}

PyTypeObject* create_edge_pattern_type() {
    static PyType_Slot slots[] = {
        {Py_tp_new, (void*)edge_pattern_new},
        {Py_tp_dealloc, (void*)dealloc_instance<PyEdgePattern>},
        {Py_tp_traverse, (void*)traverse_instance<PyEdgePattern>},
        {Py_tp_clear, (void*)clear_pattern<PyEdgePattern>},
        {Py_tp_repr, (void*)edge_pattern_repr},
        {Py_tp_getset, edge_pattern_getset},
        {0, nullptr},
    };
    EdgePatternType = make_type("velkora.EdgePattern", sizeof(PyEdgePattern), slots,
                                class_doc<edge_pattern_sig::construct>(kEdgeDoc).c_str(),
                                method_table(edge_pattern_methods));
    return EdgePatternType;
}

}  // namespace vk
