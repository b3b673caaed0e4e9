#include "cypher/access.hpp"

#include "cypher/values.hpp"
#include "host/args.hpp"

namespace vk::cypher {

namespace {

// The runs that have read live dicts and not copied them yet. The GIL
// guards the list: another thread's run is on it only while it waits in
// code that runs no Python code of its own values.
GraphAccess* g_pinned = nullptr;

}  // namespace

void GraphAccess::pin() {
    if (pinned_ || copied_) return;
    pinned_ = true;
    prev_ = nullptr;
    next_ = g_pinned;
    if (g_pinned) g_pinned->prev_ = this;
    g_pinned = this;
}

void GraphAccess::unpin() {
    if (!pinned_) return;
    if (prev_) prev_->next_ = next_;
    else g_pinned = next_;
    if (next_) next_->prev_ = prev_;
    prev_ = next_ = nullptr;
    pinned_ = false;
}

Status GraphAccess::copy_dicts() {
    unpin();
    Ref n = Ref::steal(PyDict_Copy(nodes_));
    if (!n) return PyErrorSet{};
    Ref e = Ref::steal(PyDict_Copy(edges_));
    if (!e) return PyErrorSet{};
    nodes_ = n.get();
    edges_ = e.get();
    held_.push_back(std::move(n));
    held_.push_back(std::move(e));
    copied_ = true;
    if (view_) *view_ = GraphView{nodes_, edges_};
    return ok_status();
}

Status before_python_code() {
    while (g_pinned) {
        if (!g_pinned->copy_dicts()) return PyErrorSet{};
    }
    return ok_status();
}

Status GraphAccess::nodes(std::span<PyObject* const>& out) {
    if (!nodes_ready_ && !copied_) {
        // Read from the index, every entry known to be a Node under a str
        // key: no check of each. Each is held, as the walk holds them: code
        // the engine cannot see coming (the == of a dict key of a str
        // subclass) may change the dict.
        int r = index_values(g_, GraphDict::Nodes, node_list_);
        if (r < 0) return PyErrorSet{};
        if (r > 0) {
            pin();
            held_.reserve(held_.size() + node_list_.size());
            for (PyObject* n : node_list_) held_.push_back(Ref::borrow(n));
            nodes_ready_ = true;
        }
    }
    if (!nodes_ready_) {
        pin();
        // Only this code runs during the walk, so the dict cannot change under it.
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        node_list_.reserve((size_t)PyDict_GET_SIZE(nodes_));
        while (PyDict_Next(nodes_, &pos, &k, &v)) {
            if (!PyUnicode_Check(k)) return cast_error(k, "str");
            if (Py_TYPE(v) != NodeType) return cast_error(v, "Node");
            node_list_.push_back(v);
        }
        held_.reserve(held_.size() + node_list_.size());
        for (PyObject* n : node_list_) held_.push_back(Ref::borrow(n));
        nodes_ready_ = true;
    }
    out = {node_list_.data(), node_list_.size()};
    return ok_status();
}

Status GraphAccess::nodes_of_type(const TypeNode* t, std::span<PyObject* const>& out) {
    PartReads* known = parts_.find(t);
    if (known && known->nodes) {
        const std::vector<PyObject*>& list = *typed_nodes_[known->nodes - 1];
        out = {list.data(), list.size()};
        return ok_status();
    }
    auto list = std::make_unique<std::vector<PyObject*>>();
    // While the dicts are as first read, the index answers; else (or when
    // `nodes` is not indexed) the snapshot, filtered.
    int r = copied_ ? 0 : index_nodes_of_type(g_, t, *list);
    if (r < 0) return PyErrorSet{};
    if (r > 0) {
        pin();
        held_.reserve(held_.size() + list->size());
        for (PyObject* n : *list) held_.push_back(Ref::borrow(n));
    } else {
        std::span<PyObject* const> all;
        if (!nodes(all)) return PyErrorSet{};
        for (PyObject* n : all) {
            const TypeNode* u = node_value(n).type().get();
            if (u == t || type_equal(u, t)) list->push_back(n);
        }
    }
    out = {list->data(), list->size()};
    typed_nodes_.push_back(std::move(list));
    PartReads reads = known ? *known : PartReads{};
    reads.nodes = static_cast<uint32_t>(typed_nodes_.size());
    remember(t, reads);
    return ok_status();
}

void GraphAccess::remember(const TypeNode* t, const PartReads& reads) {
    if (!parts_.find(t)) held_types_.push_back(TypeRef::share(t));
    parts_.insert(t, reads);
}

PyObject* GraphAccess::resolve(const TypeNode* t, PyObject* edge, bool start) {
    // Py_None in resolved_: no node is filed under that uid, so each edge's
    // own copy stands in (copies of one type may differ in properties).
    PyObject* node = nullptr;
    if (t == last_type_) {
        node = last_node_;
    } else if (PyObject** known = resolved_.find(t)) {
        node = *known;
    } else {
        PyObject* key = node_key_of_type(t);
        if (!key) return nullptr;
        pin();
        PyObject* filed = PyDict_GetItemWithError(nodes_, key);
        if (filed) {
            if (Py_TYPE(filed) != NodeType) {
                (void)cast_error(filed, "Node");
                return nullptr;
            }
            held_.push_back(Ref::borrow(filed));
            node = filed;
        } else {
            if (PyErr_Occurred()) return nullptr;
            node = Py_None;
        }
        resolved_.insert(t, node);
    }
    last_type_ = t;
    last_node_ = node;
    if (node != Py_None) return node;
    const EdgeValue& ev = edge_value(edge);
    Ref own = Ref::steal(node_to_python(start ? ev.start() : ev.end()));
    if (!own) return nullptr;
    held_.push_back(std::move(own));
    return held_.back().get();
}

EdgeEntry GraphAccess::entry_of(PyObject* edge) {
    const EdgeValue& ev = edge_value(edge);
    return {edge, ev.start().type().get(), ev.end().type().get()};
}

Status GraphAccess::edges(std::span<EdgeEntry>& out) {
    if (!edges_ready_ && !copied_) {
        // As for nodes(): from the index, each held.
        std::vector<PyObject*> values;
        int r = index_values(g_, GraphDict::Edges, values);
        if (r < 0) return PyErrorSet{};
        if (r > 0) {
            pin();
            edge_list_.reserve(values.size());
            held_.reserve(held_.size() + values.size());
            for (PyObject* v : values) {
                held_.push_back(Ref::borrow(v));
                edge_list_.push_back(entry_of(v));
            }
            edges_ready_ = true;
        }
    }
    if (!edges_ready_) {
        pin();
        Py_ssize_t n = PyDict_GET_SIZE(edges_);
        edge_list_.reserve((size_t)n);
        held_.reserve(held_.size() + (size_t)n + 16);
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(edges_, &pos, &k, &v)) {
            if (Py_TYPE(v) != EdgeType) return cast_error(v, "Edge");
            held_.push_back(Ref::borrow(v));
            edge_list_.push_back(entry_of(v));
        }
        edges_ready_ = true;
    }
    out = {edge_list_.data(), edge_list_.size()};
    return ok_status();
}

int GraphAccess::index_edges(const TypeNode* t, EdgeSide side, std::span<const Incidence>& out,
                             EdgeEntry*& entries) {
    EdgeIndexView view;
    int r = edge_index_view(g_, view);
    if (r <= 0) return r;
    pin();
    Adjacency a{nullptr, nullptr, 0};
    uint32_t n = view.node_of_type(t);
    if (n != EdgeIndexView::kNoNode) {
        size_t d = view.degree(n, side);
        a.entries = entry_blocks_.take(d);
        a.inc = inc_blocks_.take(d);
        held_.reserve(held_.size() + d);
        view.for_each_at(n, side, [&](uint32_t p) {
            PyObject* e = view.edge(p);
            held_.push_back(Ref::borrow(e));
            a.inc[a.size] = {a.size, view.start_of(p) == n, view.end_of(p) == n};
            a.entries[a.size++] = entry_of(e);
        });
    }
    out = {a.inc, a.size};
    entries = a.entries;
    adjacencies_.push_back(a);
    return 1;
}

Status GraphAccess::snapshot_edges_at(const TypeNode* t, std::span<const Incidence>& out) {
    if (!index_ready_) {
        std::span<EdgeEntry> es;
        if (!edges(es)) return PyErrorSet{};
        for (uint32_t i = 0; i < es.size(); ++i) {
            const TypeNode* s = es[i].start_type;
            const TypeNode* e = es[i].end_type;
            if (s == e || type_equal(s, e)) {
                index_[s].push_back({i, true, true});
            } else {
                index_[s].push_back({i, true, false});
                index_[e].push_back({i, false, true});
            }
        }
        index_ready_ = true;
    }
    auto it = index_.find(t);
    if (it == index_.end()) {
        out = {};
    } else {
        out = {it->second.data(), it->second.size()};
    }
    return ok_status();
}

Status GraphAccess::edges_at(const TypeNode* t, EdgeSide side, std::span<const Incidence>& out,
                             EdgeEntry*& entries) {
    const int si = static_cast<int>(side);
    PartReads* known = parts_.find(t);
    if (known && known->edges[si]) {
        const Adjacency& a = adjacencies_[known->edges[si] - 1];
        out = {a.inc, a.size};
        entries = a.entries;
        return ok_status();
    }
    // While the dicts are as first read, the index answers; else (or when
    // `edges` is not indexed) the snapshot's own adjacency.
    int r = copied_ ? 0 : index_edges(t, side, out, entries);
    if (r < 0) return PyErrorSet{};
    if (r == 0) {
        if (!snapshot_edges_at(t, out)) return PyErrorSet{};
        entries = edge_list_.data();
        return ok_status();
    }
    PartReads reads = known ? *known : PartReads{};
    reads.edges[si] = static_cast<uint32_t>(adjacencies_.size());
    remember(t, reads);
    return ok_status();
}

void GraphAccess::invalidate() {
    unpin();
    // The copies stay held (rows may hold what they hold); the dicts are
    // read anew from here on.
    nodes_ = g_.nodes.get();
    edges_ = g_.edges.get();
    copied_ = false;
    if (view_) *view_ = GraphView{nodes_, edges_};
    nodes_ready_ = edges_ready_ = index_ready_ = false;
    // Lists read so far stay allocated: a loop further up may still walk
    // one of them. held_ keeps its references until the run ends.
    retired_nodes_.push_back(std::move(node_list_));
    retired_edges_.push_back(std::move(edge_list_));
    node_list_ = {};
    edge_list_ = {};
    retired_index_.push_back(std::move(index_));
    index_ = {};
    parts_.clear();
    resolved_.clear();
    last_type_ = nullptr;
    last_node_ = nullptr;
}

}  // namespace vk::cypher
