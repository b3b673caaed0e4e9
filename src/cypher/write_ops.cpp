#include <string>
#include <unordered_set>

#include "cypher/front.hpp"
#include "cypher/run.hpp"
#include "cypher/writes.hpp"
#include "path_value.hpp"
#include "graph.hpp"
#include "host/args.hpp"
#include "term.hpp"
#include "type_schema.hpp"

namespace vk::cypher {
namespace {

const char* clause_word(ClauseKind k) {
    switch (k) {
        case ClauseKind::Create: return "CREATE";
        case ClauseKind::Merge: return "MERGE";
        case ClauseKind::Set: return "SET";
        case ClauseKind::Remove: return "REMOVE";
        case ClauseKind::Delete: return "DELETE";
        default: return "?";
    }
}

Status type_error(const std::string& msg) {
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    return PyErrorSet{};
}

// One writing clause, read once from the tree.
struct WriteOp : Operator {
    WriteOp() : Operator(OpKind::Write) {}
    std::unique_ptr<Exec> start(Run& run, Exec* next) const override;
    Idx clause = kNone;
    uint32_t nslots = 0;
    // CREATE / MERGE, by index into Query::nodes and Query::rels: the type
    // of each node the clause introduces, the term name of each relationship.
    std::vector<TypeRef> types;
    std::vector<std::string> names;
};

class WriteExec : public Exec {
public:
    WriteExec(Run& r, Exec* n, const WriteOp& op)
        : Exec(r, n), op_(op), c_(r.q.clauses[op.clause]), word_(clause_word(c_.kind)) {}

    int push() override {
        for (uint32_t s = 0; s < op_.nslots; ++s) rows_.push_back(run.row[s].copy());
        return 1;
    }

    int finish() override {
        const size_t w = op_.nslots;
        const size_t count = w ? rows_.size() / w : 0;
        for (size_t i = 0; i < count; ++i) {
            if (run.tick() < 0) return -1;
            for (size_t s = 0; s < w; ++s) run.row[s] = std::move(rows_[i * w + s]);
            if (!apply()) return -1;
            for (size_t s = 0; s < w; ++s) rows_[i * w + s] = std::move(run.row[s]);
        }
        // Every later clause reads the graph as this one left it.
        run.graph.invalidate();
        if (run.path_run) run.path_run->invalidate();
        int r = 1;
        for (size_t i = 0; next && i < count; ++i) {
            for (size_t s = 0; s < w; ++s) run.row[s] = std::move(rows_[i * w + s]);
            r = next->push();
            if (r < 0) return -1;
            if (r == 0) break;
        }
        rows_.clear();
        return next ? next->finish() : 1;
    }

private:
    UndoLog& log() { return run.writes->log; }
    Status fail(Pos pos, const std::string& what) { return query_error(run.q.text, pos, what); }

    Status apply() {
        switch (c_.kind) {
            case ClauseKind::Create:
                for (const PathPat& p : Query::of(run.q.paths, c_.pattern)) {
                    bool created = false;
                    if (!path(p, false, created)) return PyErrorSet{};
                }
                return ok_status();
            case ClauseKind::Merge: {
                bool created = false;
                for (const PathPat& p : Query::of(run.q.paths, c_.pattern)) {
                    if (!path(p, true, created)) return PyErrorSet{};
                }
                return sets(created ? c_.sets : c_.on_match, created ? "ON CREATE SET" : "ON MATCH SET");
            }
            case ClauseKind::Set:
            case ClauseKind::Remove:
                return sets(c_.sets, word_);
            case ClauseKind::Delete:
                for (Idx e : run.q.list(c_.exprs)) {
                    Ref v = Ref::steal(eval(run.ctx, e));
                    if (!v || !remove(v.get())) return PyErrorSet{};
                }
                return ok_status();
            default:
                return ok_status();
        }
    }

    // ----- CREATE and MERGE -----

    // The properties of a pattern's map as a new dict, nulls left out. The
    // dict is new, so filling it is not logged: undoing the creation of
    // its node or edge drops it whole.
    Status new_properties(Idx props, Ref& out) {
        out = Ref::steal(PyDict_New());
        if (!out) return PyErrorSet{};
        if (props == kNone) return ok_status();
        Ref m = Ref::steal(eval(run.ctx, props));
        if (!m) return PyErrorSet{};
        if (kind_of(m.get()) != Kind::Map) {
            return type_error(std::string(word_) + " expects a map of properties, got " + kind_name(m.get()));
        }
        // Only this code runs during the walk (storable calls no Python code).
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(m.get(), &pos, &k, &v)) {
            if (v == Py_None) continue;
            if (!storable(v) || PyDict_SetItem(out.get(), k, v) < 0) return PyErrorSet{};
        }
        return ok_status();
    }

    // Stores the non-null entries of map expression `props` into `dict`.
    Status copy_map(Idx props, PyObject* dict) {
        Ref m = Ref::steal(eval(run.ctx, props));
        if (!m) return PyErrorSet{};
        if (kind_of(m.get()) != Kind::Map) {
            return type_error(std::string(word_) + " expects a map of properties, got " + kind_name(m.get()));
        }
        Ref items = Ref::steal(PyDict_Items(m.get()));
        if (!items) return PyErrorSet{};
        for (Py_ssize_t i = 0, n = PyList_GET_SIZE(items.get()); i < n; ++i) {
            PyObject* kv = PyList_GET_ITEM(items.get(), i);
            PyObject* v = PyTuple_GET_ITEM(kv, 1);
            if (v == Py_None) continue;
            if (!storable(v) || !log().set_item(dict, PyTuple_GET_ITEM(kv, 0), v)) return PyErrorSet{};
        }
        return ok_status();
    }

    Status storable(PyObject* v) {
        // Nodes, relationships and paths are exact classes.
        if (Py_TYPE(v) == NodeType || Py_TYPE(v) == EdgeType ||
            (Py_TYPE(v) != &PyLong_Type && Py_TYPE(v) != &PyUnicode_Type && kind_of(v) == Kind::Path)) {
            return type_error(std::string(word_) + " cannot store a " + kind_name(v) + " as a property value");
        }
        return ok_status();
    }

    // The node of a pattern the clause introduces: found under its type's
    // uid (MERGE) or created: the Node object, or null.
    Ref node(uint32_t ni, bool merge, bool& created) {
        const NodePat& n = run.q.nodes[ni];
        const TypeRef& t = op_.types[ni];
        PyObject* nodes = run.graph.live_nodes();
        PyObject* key = node_key_of_type(t.get());
        if (!key) return Ref{};
        PyObject* found = PyDict_GetItemWithError(nodes, key);
        if (found) {
            if (!merge) {
                bool again = log().inserted(nodes, key);
                (void)fail(n.pos, "node `" + type_text(t.get()) + "` " +
                                      (again ? "is created twice in this query"
                                             : "is already in the graph") +
                                      ": a graph holds one node per type, and MERGE finds or creates it");
                return Ref{};
            }
            if (Py_TYPE(found) != NodeType) {
                (void)cast_error(found, "Node");
                return Ref{};
            }
            Ref hold = Ref::borrow(found);
            if (n.props != kNone && !copy_map(n.props, node_value(found).properties())) return Ref{};
            return hold;
        }
        if (PyErr_Occurred()) return Ref{};
        Ref props;
        if (!new_properties(n.props, props)) return Ref{};
        NodeValue v;
        if (!NodeValue::make(t, std::move(props), v)) return Ref{};
        Ref obj = Ref::steal(node_to_python(v));
        if (!obj || !log().set_item(nodes, key, obj.get())) return Ref{};
        created = true;
        return obj;
    }

    // The relationship of a pattern between two nodes: found by its term's
    // uid (MERGE; both ways round for a pattern without a direction) or
    // created: the Edge object, or null.
    Ref relationship(uint32_t ri, PyObject* left, PyObject* right, bool merge, bool& created) {
        const RelPat& r = run.q.rels[ri];
        if (!left || !right || Py_TYPE(left) != NodeType || Py_TYPE(right) != NodeType) {
            PyObject* bad = !left || Py_TYPE(left) != NodeType ? left : right;
            (void)fail(r.pos, std::string(word_) + " cannot make a relationship whose end is " +
                                  (bad && bad != Py_None ? "not a node" : "null"));
            return Ref{};
        }
        PyObject* start = r.dir == Dir::In ? right : left;
        PyObject* end = r.dir == Dir::In ? left : right;
        PyObject* edges = run.graph.live_edges();
        TermHandle term;
        PyObject* key = nullptr;
        auto find = [&](PyObject* s, PyObject* e) -> PyObject* {
            term = TermHandle::make(TermValue{op_.names[ri], TypeRef::application(node_value(s).type(),
                                                                                   node_value(e).type())});
            key = edge_key_of_term(*term);
            if (!key) return nullptr;
            return PyDict_GetItemWithError(edges, key);
        };
        PyObject* found = find(start, end);
        if (!found && !PyErr_Occurred() && merge && r.dir == Dir::Both && !same_node(start, end)) {
            found = find(end, start);
            if (!found && !PyErr_Occurred()) found = find(start, end);
        }
        if (!key || (!found && PyErr_Occurred())) return Ref{};
        if (found) {
            if (!merge) {
                bool again = log().inserted(edges, key);
                (void)fail(r.pos, "relationship `" + term->name + " : " + type_text(term->type.get()) + "` " +
                                      (again ? "is created twice in this query"
                                             : "is already in the graph") +
                                      ": a graph holds one edge per term, and MERGE finds or creates it");
                return Ref{};
            }
            if (Py_TYPE(found) != EdgeType) {
                (void)cast_error(found, "Edge");
                return Ref{};
            }
            Ref hold = Ref::borrow(found);
            if (r.props != kNone && !copy_map(r.props, edge_value(found).properties())) return Ref{};
            return hold;
        }
        Ref props;
        if (!new_properties(r.props, props)) return Ref{};
        Ref hold_key = Ref::borrow(key);
        EdgeValue v;
        if (!EdgeValue::make(term, node_value(start), node_value(end), std::move(props), v)) return Ref{};
        Ref obj = Ref::steal(edge_to_python(v));
        if (!obj || !log().set_item(edges, hold_key.get(), obj.get())) return Ref{};
        created = true;
        return obj;
    }

    // One path of a CREATE or MERGE, element by element, each bound into
    // its slot.
    Status path(const PathPat& p, bool merge, bool& created) {
        const uint32_t n0 = p.nodes.begin, r0 = p.rels.begin;
        for (uint32_t i = 0; i < p.nodes.count; ++i) {
            const NodePat& n = run.q.nodes[n0 + i];
            if (n.binding == Binding::New) {
                Ref v = node(n0 + i, merge, created);
                if (!v) return PyErrorSet{};
                run.row[n.slot] = std::move(v);
            }
            if (i == 0) continue;
            const RelPat& r = run.q.rels[r0 + i - 1];
            Ref e = relationship(r0 + i - 1, run.row[q_node(n0 + i - 1)].get(),
                                 run.row[n.slot].get(), merge, created);
            if (!e) return PyErrorSet{};
            run.row[r.slot] = std::move(e);
        }
        return ok_status();
    }
    int32_t q_node(uint32_t ni) const { return run.q.nodes[ni].slot; }

    // ----- SET and REMOVE -----

    // The properties dict of a node or relationship (borrowed), or null with
    // a TypeError.
    PyObject* properties_of(PyObject* v, const char* clause) {
        if (Py_TYPE(v) == NodeType) return node_value(v).properties();
        if (Py_TYPE(v) == EdgeType) return edge_value(v).properties();
        (void)type_error(std::string(clause) + " expects a node or a relationship, got " + kind_name(v));
        return nullptr;
    }

    Status sets(Range items, const char* clause) {
        for (const SetItem& s : Query::of(run.q.sets, items)) {
            if (!set_item(s, clause)) return PyErrorSet{};
        }
        return ok_status();
    }

    Status set_item(const SetItem& s, const char* clause) {
        const Expr& target = run.q.expr(s.target);
        Ref subject = Ref::steal(eval(run.ctx, s.kind == SetKind::Property ? target.a : s.target));
        if (!subject) return PyErrorSet{};
        if (subject.get() == Py_None) return ok_status();  // a null does nothing
        PyObject* dict = properties_of(subject.get(), clause);
        if (!dict) return PyErrorSet{};
        Ref hold = Ref::borrow(dict);
        if (s.kind == SetKind::Property) {
            PyObject* key = run.q.name_str(target.name);
            Ref v = s.value == kNone ? Ref::borrow(Py_None) : Ref::steal(eval(run.ctx, s.value));
            if (!v) return PyErrorSet{};
            if (v.get() == Py_None) return log().del_item(dict, key) < 0 ? Status(PyErrorSet{}) : ok_status();
            if (!storable(v.get())) return PyErrorSet{};
            return log().set_item(dict, key, v.get());
        }
        // x += map, x = map: the map's entries (or a node's or relationship's
        // properties), read before anything is written, so `SET n = n` keeps them.
        Ref v = Ref::steal(eval(run.ctx, s.value));
        if (!v) return PyErrorSet{};
        PyObject* source = v.get();
        if (Py_TYPE(source) == NodeType || Py_TYPE(source) == EdgeType) {
            source = properties_of(source, clause);
        } else if (kind_of(source) != Kind::Map) {
            return type_error(std::string(clause) + (s.kind == SetKind::Merge ? " +=" : " =") +
                              " expects a map, a node or a relationship, got " + kind_name(source));
        }
        Ref items = Ref::steal(PyDict_Items(source));
        if (!items) return PyErrorSet{};
        if (s.kind == SetKind::Replace && !log().clear(dict)) return PyErrorSet{};
        for (Py_ssize_t i = 0, n = PyList_GET_SIZE(items.get()); i < n; ++i) {
            PyObject* kv = PyList_GET_ITEM(items.get(), i);
            PyObject* key = PyTuple_GET_ITEM(kv, 0);
            PyObject* value = PyTuple_GET_ITEM(kv, 1);
            if (value == Py_None) {
                if (log().del_item(dict, key) < 0) return PyErrorSet{};
                continue;
            }
            if (!storable(value) || !log().set_item(dict, key, value)) return PyErrorSet{};
        }
        return ok_status();
    }

    // ----- DELETE -----

    Status remove(PyObject* v) {
        if (v == Py_None) return ok_status();
        if (is_path(v)) {
            // A path is deleted as its relationships, then its nodes.
            Ref edges = Ref::steal(path_edge_list(path_value(v)));
            Ref nodes = edges ? Ref::steal(path_node_list(path_value(v))) : Ref{};
            if (!nodes) return PyErrorSet{};
            for (PyObject* list : {edges.get(), nodes.get()}) {
                for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
                    if (!remove(PyList_GET_ITEM(list, i))) return PyErrorSet{};
                }
            }
            return ok_status();
        }
        if (Py_TYPE(v) == EdgeType) {
            PyObject* key = edge_key_of_term(edge_value(v).term());
            if (!key || log().del_item(run.graph.live_edges(), key) < 0) return PyErrorSet{};
            return ok_status();
        }
        if (Py_TYPE(v) != NodeType) {
            return type_error(std::string(c_.detach ? "DETACH DELETE" : "DELETE") +
                              " expects a node or a relationship, got " + kind_name(v));
        }
        const TypeRef& t = node_value(v).type();
        if (c_.detach) {
            std::span<const Incidence> at;
            EdgeEntry* es;
            if (!run.graph.edges_at(t.get(), EdgeSide::Both, at, es)) return PyErrorSet{};
            for (const Incidence& inc : at) {
                if (!inc.at_start && !inc.at_end) continue;
                PyObject* key = edge_key_of_term(edge_value(es[inc.edge].edge).term());
                if (!key || log().del_item(run.graph.live_edges(), key) < 0) return PyErrorSet{};
            }
        }
        PyObject* key = node_key_of_type(t.get());
        if (!key) return PyErrorSet{};
        int r = log().del_item(run.graph.live_nodes(), key);
        if (r < 0) return PyErrorSet{};
        if (r == 1 && !c_.detach) run.writes->deleted.push_back({t, c_.pos});
        return ok_status();
    }

    const WriteOp& op_;
    const Clause& c_;
    const char* word_;
    std::vector<Ref> rows_;
};

std::unique_ptr<Exec> WriteOp::start(Run& run, Exec* next) const {
    return std::make_unique<WriteExec>(run, next, *this);
}

}  // namespace

Status plan_write(const Query& q, const Clause& c, Branch& b) {
    auto op = std::make_unique<WriteOp>();
    op->clause = Idx(&c - q.clauses.data());
    op->nslots = b.nslots;
    if (c.kind == ClauseKind::Create || c.kind == ClauseKind::Merge) {
        op->types.resize(q.nodes.size());
        op->names.resize(q.rels.size());
        for (const PathPat& p : Query::of(q.paths, c.pattern)) {
            if (p.var != kNone) {
                return query_error(q.text, p.pos, std::string("a named path in ") + clause_word(c.kind) +
                                                      " is not supported yet");
            }
            for (uint32_t i = p.nodes.begin; i < p.nodes.begin + p.nodes.count; ++i) {
                const NodePat& n = q.nodes[i];
                if (n.binding != Binding::New) continue;
                const Label& l = q.labels[q.groups[n.groups.begin].begin];
                const std::string& text = q.name(l.name);
                TypeRef t = l.kind == LabelKind::Schema ? schema_exact_type("$" + text + "$")
                            : l.quoted                  ? schema_exact_type(text)
                                                        : TypeRef::variable(text);
                if (!t) {
                    return query_error(q.text, l.pos,
                                       "the label " + std::string(l.kind == LabelKind::Schema ? "$" : "`") +
                                           text + (l.kind == LabelKind::Schema ? "$" : "`") +
                                           " names no single type: a node to " +
                                           (c.kind == ClauseKind::Merge ? "merge" : "create") +
                                           " is the node of one type");
                }
                op->types[i] = std::move(t);
            }
            for (uint32_t j = p.rels.begin; j < p.rels.begin + p.rels.count; ++j) {
                op->names[j] = q.name(q.labels[q.rels[j].types.begin].name);
            }
        }
    }
    b.ops.push_back(std::move(op));
    return ok_status();
}

Status WriteState::commit(Run& run) {
    // A node deleted without DETACH may not be left joined by an edge.
    std::vector<const Pending*> gone;
    for (const Pending& p : deleted) {
        PyObject* key = node_key_of_type(p.type.get());
        if (!key) return PyErrorSet{};
        int has = PyDict_Contains(run.graph.live_nodes(), key);
        if (has < 0) return PyErrorSet{};
        if (!has) gone.push_back(&p);
    }
    if (!gone.empty()) {
        struct Hash {
            size_t operator()(const TypeNode* t) const { return (size_t)type_py_hash(t); }
        };
        struct Equal {
            bool operator()(const TypeNode* a, const TypeNode* b) const { return type_equal(a, b); }
        };
        std::unordered_set<const TypeNode*, Hash, Equal> types;
        for (const Pending* p : gone) types.insert(p->type.get());
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(run.graph.live_edges(), &pos, &k, &v)) {
            if (Py_TYPE(v) != EdgeType) return cast_error(v, "Edge");
            const EdgeValue& e = edge_value(v);
            const TypeNode* joined = types.count(e.start().type().get()) ? e.start().type().get()
                                     : types.count(e.end().type().get()) ? e.end().type().get()
                                                                          : nullptr;
            if (!joined) continue;
            const Pending* p = nullptr;
            for (const Pending* g : gone) {
                if (type_equal(g->type.get(), joined)) p = g;
            }
            return query_error(run.q.text, p->pos,
                               "node `" + type_text(joined) +
                                   "` cannot be deleted: relationships still join it (DETACH DELETE "
                                   "deletes them with it)");
        }
    }
    log.commit();
    committed_ = true;
    return ok_status();
}

}  // namespace vk::cypher
