#include "cypher/eval.hpp"

#include "cypher/front.hpp"
#include "cypher/functions.hpp"
#include "cypher/paths_ops.hpp"

namespace vk::cypher {

// ----- labels ------------------------------------------------------------------

Result<LabelTable> LabelTable::read(const Query& q) {
    LabelTable t;
    t.labels.resize(q.labels.size());
    for (size_t i = 0; i < q.labels.size(); ++i) {
        const Label& l = q.labels[i];
        LabelInfo& info = t.labels[i];
        info.kind = l.kind;
        info.text = q.name(l.name);
        if (l.kind == LabelKind::Schema) {
            // The schema matcher reads a whole schema between its `$` signs.
            info.schema.pattern = "$" + info.text + "$";
        } else {
            info.type = l.quoted ? schema_exact_type(info.text) : TypeRef::variable(info.text);
        }
    }
    // A backquoted label on a node must be a printed type.
    for (const NodePat& n : q.nodes) {
        for (const Range& g : Query::of(q.groups, n.groups)) {
            for (uint32_t i = g.begin; i < g.begin + g.count; ++i) {
                if (!t.labels[i].type && t.labels[i].kind == LabelKind::Name) {
                    return query_error(q.text, q.labels[i].pos,
                                       "`" + t.labels[i].text + "` is not a printed type");
                }
            }
        }
    }
    return t;
}

bool LabelTests::type_matches(Idx label, const TypeNode* t) {
    const LabelInfo& info = table_.labels[label];
    if (info.kind == LabelKind::Name) return info.type && type_equal(t, info.type.get());
    std::unique_ptr<SchemaTest>& test = tests_[label];
    if (!test) test = std::make_unique<SchemaTest>(&info.schema);
    return test->matches(t);
}

bool node_has_labels(EvalCtx& c, Range groups, const TypeNode* t) {
    for (const Range& g : Query::of(c.q.groups, groups)) {
        bool any = false;
        for (uint32_t i = g.begin; i < g.begin + g.count && !any; ++i) {
            any = c.tests.type_matches(i, t);
        }
        if (!any) return false;
    }
    return true;
}

bool rel_has_type(EvalCtx& c, Range types, const EdgeValue& e) {
    if (types.empty()) return true;
    const TermValue& term = e.term();
    for (uint32_t i = types.begin; i < types.begin + types.count; ++i) {
        const LabelInfo& info = c.labels.labels[i];
        if (info.kind == LabelKind::Name ? term.name == info.text
                                         : c.tests.type_matches(i, term.type.get())) {
            return true;
        }
    }
    return false;
}

bool same_node(PyObject* a, PyObject* b) {
    if (a == b) return true;
    if (Py_TYPE(a) != NodeType || Py_TYPE(b) != NodeType) return false;
    return type_equal(node_value(a).type().get(), node_value(b).type().get());
}

bool same_rel(PyObject* a, PyObject* b) {
    if (a == b) return true;
    if (Py_TYPE(a) != EdgeType || Py_TYPE(b) != EdgeType) return false;
    const EdgeValue& x = edge_value(a);
    const EdgeValue& y = edge_value(b);
    if (x.term_handle().get() == y.term_handle().get()) return true;
    return x.term().name == y.term().name &&
           type_equal(x.term().type.get(), y.term().type.get());
}

namespace {

PyObject* slot_value(EvalCtx& c, int32_t slot) {
    PyObject* v = c.row[slot].get();
    return Py_NewRef(v ? v : Py_None);
}

// The properties dict of a node, relationship or map (borrowed), null for
// null; other kinds set a TypeError naming `what`.
PyObject* properties_of(PyObject* v, const char* what, bool& is_null) {
    is_null = false;
    if (Py_TYPE(v) == NodeType) return node_value(v).properties();
    if (Py_TYPE(v) == EdgeType) return edge_value(v).properties();
    if (v == Py_None) {
        is_null = true;
        return nullptr;
    }
    if (kind_of(v) == Kind::Map) return v;
    PyErr_Format(PyExc_TypeError, "%s expected a Node, Relationship or Map, got %s", what,
                 kind_name(v).c_str());
    return nullptr;
}

// Files a container the expression built (a new reference passes through).
PyObject* built(EvalCtx& c, PyObject* v) {
    if (v && c.built) c.built->add(v);
    return v;
}

// A function's or operator's result is a container it built unless it is
// one of the arguments handed back.
PyObject* built_unless(EvalCtx& c, PyObject* v, PyObject* const* args, size_t n) {
    if (!v || !c.built) return v;
    for (size_t i = 0; i < n; ++i) {
        if (args[i] == v) return v;
    }
    c.built->add(v);
    return v;
}

PyObject* eval_list(EvalCtx& c, const Expr& e) {
    auto kids = c.q.kids(e);
    Ref list = Ref::steal(PyList_New((Py_ssize_t)kids.size()));
    if (!list) return nullptr;
    for (size_t i = 0; i < kids.size(); ++i) {
        PyObject* v = eval(c, kids[i]);
        if (!v) return nullptr;
        PyList_SET_ITEM(list.get(), (Py_ssize_t)i, v);
    }
    return list.release();
}

PyObject* eval_map(EvalCtx& c, const Expr& e) {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return nullptr;
    for (Idx k : c.q.kids(e)) {
        const Expr& entry = c.q.expr(k);
        Ref v = Ref::steal(eval(c, entry.a));
        if (!v || PyDict_SetItem(d.get(), c.q.name_str(entry.name), v.get()) < 0) return nullptr;
    }
    return d.release();
}

// The truth of a value as a condition; the builder's rules make a value
// that is not a boolean null.
Tri condition_truth(EvalCtx& c, PyObject* v, const char* context) {
    if (!c.builder) return truth(v, context);
    return v == Py_True ? kTrue : v == Py_False ? kFalse : kNull;
}

Tri compare_pair(Op op, PyObject* a, PyObject* b) {
    switch (op) {
        case Op::Eq: return equals(a, b);
        case Op::Ne: {
            Tri t = equals(a, b);
            return t == kTrue ? kFalse : t == kFalse ? kTrue : t;
        }
        case Op::Lt: return compare(a, b, Py_LT);
        case Op::Le: return compare(a, b, Py_LE);
        case Op::Gt: return compare(a, b, Py_GT);
        default: return compare(a, b, Py_GE);
    }
}

Tri eval_compare(EvalCtx& c, const Expr& e) {
    auto kids = c.q.kids(e);
    auto ops = c.q.ops_of(e);
    Ref left = Ref::steal(eval(c, kids[0]));
    if (!left) return kError;
    Tri acc = kTrue;
    for (size_t i = 0; i < ops.size(); ++i) {
        Ref right = Ref::steal(eval(c, kids[i + 1]));
        if (!right) return kError;
        Tri t = compare_pair(ops[i], left.get(), right.get());
        if (t == kError) return kError;
        acc = tri_and(acc, t);
        if (acc == kFalse) return kFalse;
        left = std::move(right);
    }
    return acc;
}

// AND, OR, XOR over n operands, left to right; AND stops at false, OR at true.
Tri eval_logic(EvalCtx& c, const Expr& e) {
    const char* ctx = e.kind == ExprKind::And ? "AND" : e.kind == ExprKind::Or ? "OR" : "XOR";
    Tri acc = e.kind == ExprKind::And ? kTrue : kFalse;
    for (Idx k : c.q.kids(e)) {
        Ref v = Ref::steal(eval(c, k));
        if (!v) return kError;
        Tri t = condition_truth(c, v.get(), ctx);
        if (t == kError) return kError;
        switch (e.kind) {
            case ExprKind::And:
                acc = tri_and(acc, t);
                if (acc == kFalse) return kFalse;
                break;
            case ExprKind::Or:
                acc = tri_or(acc, t);
                if (acc == kTrue) return kTrue;
                break;
            default:
                acc = tri_xor(acc, t);
        }
    }
    return acc;
}

PyObject* eval_case(EvalCtx& c, const Expr& e) {
    auto kids = c.q.kids(e);
    Ref subject;
    if (e.a != kNone && !(subject = Ref::steal(eval(c, e.a)))) return nullptr;
    for (size_t i = 0; i + 1 < kids.size(); i += 2) {
        Ref when = Ref::steal(eval(c, kids[i]));
        if (!when) return nullptr;
        Tri t = subject ? equals(subject.get(), when.get()) : condition_truth(c, when.get(), "CASE WHEN");
        if (t == kError) return nullptr;
        if (t == kTrue) return eval(c, kids[i + 1]);
    }
    return e.b != kNone ? eval(c, e.b) : Py_NewRef(Py_None);
}

PyObject* eval_call(EvalCtx& c, const Expr& e) {
    auto kids = c.q.kids(e);
    std::vector<Ref> held(kids.size());
    PyObject* small[8] = {};
    std::vector<PyObject*> big;
    PyObject** args = small;
    if (kids.size() > 8) {
        big.resize(kids.size());
        args = big.data();
    }
    for (size_t i = 0; i < kids.size(); ++i) {
        held[i] = Ref::steal(eval(c, kids[i]));
        if (!held[i]) return nullptr;
        args[i] = held[i].get();
    }
    return built_unless(c, call_function(e.fn, args, kids.size(), c.view), args, kids.size());
}

// A list operand of a comprehension or quantifier: a list or tuple (a new
// reference), None for null, or a TypeError.
PyObject* list_operand(EvalCtx& c, const Expr& e, const char* what) {
    PyObject* v = eval(c, e.a);
    if (!v || v == Py_None || PyList_Check(v) || PyTuple_Check(v)) return v;
    PyErr_Format(PyExc_TypeError, "%s expected a List, got %s", what, kind_name(v).c_str());
    Py_DECREF(v);
    return nullptr;
}

// Binds slot for the walk of a comprehension and restores it afterwards.
class SlotScope {
public:
    SlotScope(EvalCtx& c, int32_t slot) : c_(c), slot_(slot), saved_(std::move(c.row[slot])) {}
    ~SlotScope() { c_.row[slot_] = std::move(saved_); }
    void set(PyObject* v) { c_.row[slot_] = Ref::borrow(v); }

private:
    EvalCtx& c_;
    int32_t slot_;
    Ref saved_;
};

PyObject* eval_list_comp(EvalCtx& c, const Expr& e) {
    Ref list = Ref::steal(list_operand(c, e, "list comprehension"));
    if (!list || list.get() == Py_None) return list.release();
    Ref seq = Ref::steal(PySequence_Fast(list.get(), "list"));
    if (!seq) return nullptr;
    Ref out = Ref::steal(PyList_New(0));
    if (!out) return nullptr;
    SlotScope scope(c, e.slot);
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
        scope.set(item);
        if (e.b != kNone) {
            Tri t = eval_truth(c, e.b, "WHERE");
            if (t == kError) return nullptr;
            if (t != kTrue) continue;
        }
        Ref v = e.c != kNone ? Ref::steal(eval(c, e.c)) : Ref::borrow(item);
        if (!v || PyList_Append(out.get(), v.get()) < 0) return nullptr;
    }
    return out.release();
}

PyObject* eval_quantifier(EvalCtx& c, const Expr& e) {
    Ref list = Ref::steal(list_operand(c, e, "quantifier"));
    if (!list || list.get() == Py_None) return list.release();
    Ref seq = Ref::steal(PySequence_Fast(list.get(), "list"));
    if (!seq) return nullptr;
    SlotScope scope(c, e.slot);
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    Py_ssize_t trues = 0, nulls = 0, falses = 0;
    Quant q = static_cast<Quant>(e.op);
    for (Py_ssize_t i = 0; i < n; ++i) {
        scope.set(PySequence_Fast_GET_ITEM(seq.get(), i));
        Tri t = e.b != kNone ? eval_truth(c, e.b, "WHERE") : kTrue;
        if (t == kError) return nullptr;
        trues += t == kTrue;
        nulls += t == kNull;
        falses += t == kFalse;
        if ((q == Quant::All && falses) || ((q == Quant::Any || q == Quant::None) && trues) ||
            (q == Quant::Single && trues > 1)) {
            break;
        }
    }
    Tri r;
    switch (q) {
        case Quant::All: r = falses ? kFalse : nulls ? kNull : kTrue; break;
        case Quant::Any: r = trues ? kTrue : nulls ? kNull : kFalse; break;
        case Quant::None: r = trues ? kFalse : nulls ? kNull : kTrue; break;
        default: r = trues > 1 ? kFalse : nulls ? kNull : tri(trues == 1);
    }
    return tri_to_python(r);
}

PyObject* eval_map_projection(EvalCtx& c, const Expr& e) {
    Ref subject = Ref::steal(eval(c, e.a));
    if (!subject) return nullptr;
    if (subject.get() == Py_None) return subject.release();
    bool is_null;
    PyObject* props = properties_of(subject.get(), "map projection", is_null);
    if (!props) return nullptr;
    Ref d = Ref::steal(PyDict_New());
    if (!d) return nullptr;
    for (Idx k : c.q.kids(e)) {
        const Expr& entry = c.q.expr(k);
        Ref v;
        switch (entry.kind) {
            case ExprKind::ProjAll: {
                Py_ssize_t pos = 0;
                PyObject *key, *val;
                while (PyDict_Next(props, &pos, &key, &val)) {
                    if (PyUnicode_Check(key) && PyDict_SetItem(d.get(), key, val) < 0) {
                        return nullptr;
                    }
                }
                continue;
            }
            case ExprKind::ProjProperty:
                v = Ref::steal(property(subject.get(), c.q.name_str(entry.name)));
                break;
            default:
                v = Ref::steal(eval(c, entry.a));
        }
        if (!v || PyDict_SetItem(d.get(), c.q.name_str(entry.name), v.get()) < 0) return nullptr;
    }
    return d.release();
}

PyObject* eval_label_test(EvalCtx& c, const Expr& e) {
    Ref subject = Ref::steal(eval(c, e.a));
    if (!subject) return nullptr;
    PyObject* s = subject.get();
    if (s == Py_None) return Py_NewRef(Py_None);
    if (Py_TYPE(s) == NodeType) return Py_NewRef(node_has_labels(c, e.groups, node_value(s).type().get()) ? Py_True : Py_False);
    if (Py_TYPE(s) == EdgeType) {
        // A relationship passes a label test when its term passes every group.
        const EdgeValue& ev = edge_value(s);
        for (const Range& g : Query::of(c.q.groups, e.groups)) {
            if (!rel_has_type(c, g, ev)) return Py_NewRef(Py_False);
        }
        return Py_NewRef(Py_True);
    }
    PyErr_Format(PyExc_TypeError, "label test expected a Node or Relationship, got %s",
                 kind_name(s).c_str());
    return nullptr;
}

}  // namespace

int has_properties(EvalCtx& c, Idx props, PyObject* subject) {
    const Expr& m = c.q.expr(props);
    if (m.kind == ExprKind::Map) {
        PyTypeObject* st = Py_TYPE(subject);
        PyObject* dict = st == NodeType   ? node_value(subject).properties()
                         : st == EdgeType ? edge_value(subject).properties()
                                          : nullptr;
        for (Idx k : c.q.kids(m)) {
            const Expr& entry = c.q.expr(k);
            const Expr& value = c.q.expr(entry.a);
            // A literal is compared where it is kept.
            Ref want = value.kind == ExprKind::Int || value.kind == ExprKind::Str ||
                               value.kind == ExprKind::Float
                           ? Ref::borrow(c.q.consts[value.value].get())
                           : Ref::steal(eval(c, entry.a));
            if (!want) return -1;
            Ref have;
            if (dict && PyDict_CheckExact(dict) &&
                (PyLong_CheckExact(want.get()) || PyUnicode_CheckExact(want.get()))) {
                // An exact int or str against a value of its own class: the
                // comparison runs no Python code, so nothing needs holding.
                PyObject* v = PyDict_GetItemWithError(dict, c.q.name_str(entry.name));
                if (!v) return PyErr_Occurred() ? -1 : 0;
                if (Py_TYPE(v) == Py_TYPE(want.get())) {
                    int r = PyObject_RichCompareBool(v, want.get(), Py_EQ);
                    if (r <= 0) return r;
                    continue;
                }
                have = Ref::borrow(v);
            } else if (dict && PyDict_CheckExact(dict)) {
                // The stored value, held: == may run code that changes the dict.
                have = Ref::borrow(PyDict_GetItemWithError(dict, c.q.name_str(entry.name)));
                if (!have) {
                    if (PyErr_Occurred()) return -1;
                    return 0;  // missing: null, which equals nothing
                }
            } else {
                have = Ref::steal(property(subject, c.q.name_str(entry.name)));
            }
            if (!have) return -1;
            Tri t = equals(have.get(), want.get());
            if (t == kError) return -1;
            if (t != kTrue) return 0;
        }
        return 1;
    }
    Ref map = Ref::steal(eval(c, props));
    if (!map) return -1;
    if (map.get() == Py_None) return 0;
    if (kind_of(map.get()) != Kind::Map) {
        PyErr_Format(PyExc_TypeError, "a pattern's properties expected a Map, got %s",
                     kind_name(map.get()).c_str());
        return -1;
    }
    Py_ssize_t pos = 0;
    PyObject *key, *want;
    Ref hold = map.copy();  // the dict may lose its other references while == runs
    while (PyDict_Next(map.get(), &pos, &key, &want)) {
        Ref k = Ref::borrow(key), w = Ref::borrow(want);
        Ref have = Ref::steal(property(subject, k.get()));
        if (!have) return -1;
        Tri t = equals(have.get(), w.get());
        if (t == kError) return -1;
        if (t != kTrue) return 0;
    }
    return 1;
}

Tri eval_truth(EvalCtx& c, Idx i, const char* context) {
    const Expr& e = c.q.expr(i);
    switch (e.kind) {
        case ExprKind::Compare: return eval_compare(c, e);
        case ExprKind::And:
        case ExprKind::Or:
        case ExprKind::Xor: return eval_logic(c, e);
        default: break;
    }
    Ref v = Ref::steal(eval(c, i));
    if (!v) return kError;
    return condition_truth(c, v.get(), context);
}

PyObject* eval(EvalCtx& c, Idx i) {
    const Expr& e = c.q.expr(i);
    switch (e.kind) {
        case ExprKind::Null: return Py_NewRef(Py_None);
        case ExprKind::True: return Py_NewRef(Py_True);
        case ExprKind::False: return Py_NewRef(Py_False);
        case ExprKind::Int:
        case ExprKind::Float:
        case ExprKind::Str: return Py_NewRef(c.q.consts[e.value].get());
        case ExprKind::List: return built(c, eval_list(c, e));
        case ExprKind::Map: return built(c, eval_map(c, e));
        case ExprKind::Param: return Py_NewRef(c.params[e.slot].get());
        case ExprKind::Var: return slot_value(c, e.slot);
        case ExprKind::Property: {
            Ref obj = Ref::steal(eval(c, e.a));
            if (!obj) return nullptr;
            return property(obj.get(), c.q.name_str(e.name));
        }
        case ExprKind::Subscript: {
            Ref obj = Ref::steal(eval(c, e.a));
            if (!obj) return nullptr;
            Ref index = Ref::steal(eval(c, e.b));
            if (!index) return nullptr;
            return subscript(obj.get(), index.get());
        }
        case ExprKind::Slice: {
            Ref obj = Ref::steal(eval(c, e.a));
            if (!obj) return nullptr;
            Ref from, to;
            if (e.b != kNone && !(from = Ref::steal(eval(c, e.b)))) return nullptr;
            if (e.c != kNone && !(to = Ref::steal(eval(c, e.c)))) return nullptr;
            PyObject* v = slice(obj.get(), from.get(), to.get());
            PyObject* arg = obj.get();
            return built_unless(c, v, &arg, 1);
        }
        case ExprKind::Arith: {
            auto kids = c.q.kids(e);
            auto ops = c.q.ops_of(e);
            Ref acc = Ref::steal(eval(c, kids[0]));
            for (size_t k = 0; acc && k < ops.size(); ++k) {
                Ref right = Ref::steal(eval(c, kids[k + 1]));
                if (!right) return nullptr;
                PyObject* args[2] = {acc.get(), right.get()};
                acc = Ref::steal(
                    built_unless(c, binary(static_cast<BinOp>(ops[k]), args[0], args[1]), args, 2));
            }
            return acc.release();
        }
        case ExprKind::Compare: return tri_to_python(eval_compare(c, e));
        case ExprKind::Binary: {
            Ref a = Ref::steal(eval(c, e.a));
            if (!a) return nullptr;
            Ref b = Ref::steal(eval(c, e.b));
            if (!b) return nullptr;
            if (c.builder && static_cast<Op>(e.op) == Op::In && b.get() != Py_None &&
                !PyList_Check(b.get()) && !PyTuple_Check(b.get())) {
                return Py_NewRef(Py_None);
            }
            return binary(static_cast<BinOp>(e.op), a.get(), b.get());
        }
        case ExprKind::And:
        case ExprKind::Or:
        case ExprKind::Xor: return tri_to_python(eval_logic(c, e));
        case ExprKind::Not:
        case ExprKind::Neg: {
            Ref v = Ref::steal(eval(c, e.a));
            if (v && c.builder && e.kind == ExprKind::Not) {
                Tri t = condition_truth(c, v.get(), "NOT");
                if (e.count % 2) t = t == kTrue ? kFalse : t == kFalse ? kTrue : t;
                return tri_to_python(t);
            }
            for (uint32_t k = 0; v && k < e.count; ++k) {
                v = Ref::steal(e.kind == ExprKind::Not ? logical_not(v.get()) : negate(v.get()));
            }
            return v.release();
        }
        case ExprKind::IsNull:
        case ExprKind::IsNotNull: {
            Ref v = Ref::steal(eval(c, e.a));
            if (!v) return nullptr;
            bool null = v.get() == Py_None;
            return Py_NewRef((null == (e.kind == ExprKind::IsNull)) ? Py_True : Py_False);
        }
        case ExprKind::LabelTest: return eval_label_test(c, e);
        case ExprKind::Case: return eval_case(c, e);
        case ExprKind::Call: return eval_call(c, e);
        case ExprKind::Aggregate: return slot_value(c, e.slot);
        case ExprKind::ListComp: return built(c, eval_list_comp(c, e));
        case ExprKind::Quantifier: return eval_quantifier(c, e);
        case ExprKind::MapProj: return built(c, eval_map_projection(c, e));
        case ExprKind::PatternPredicate:
        case ExprKind::Exists: return tri_to_python(eval_exists(c, e));
        case ExprKind::PatternComp: return built(c, eval_pattern_comprehension(c, e));
        default: break;
    }
    PyErr_SetString(PyExc_SystemError, "cypher: expression of an unknown kind");
    return nullptr;
}

}  // namespace vk::cypher
