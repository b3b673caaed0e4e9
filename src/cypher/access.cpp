#include "cypher/access.hpp"

#include "host/args.hpp"

namespace vk::cypher {

Status GraphAccess::nodes(std::span<PyObject* const>& out) {
    if (!nodes_ready_) {
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

PyObject* GraphAccess::resolve(const TypeNode* t, PyObject* edge, bool start) {
    if (t == last_type_) return last_node_;
    if (PyObject** known = resolved_.find(t)) {
        last_type_ = t;
        return last_node_ = *known;
    }
    PyObject* key = node_key_of_type(t);
    if (!key) return nullptr;
    PyObject* filed = PyDict_GetItemWithError(nodes_, key);
    PyObject* node;
    if (filed) {
        if (Py_TYPE(filed) != NodeType) {
            (void)cast_error(filed, "Node");
            return nullptr;
        }
        held_.push_back(Ref::borrow(filed));
        node = filed;
    } else {
        if (PyErr_Occurred()) return nullptr;
        const EdgeValue& ev = edge_value(edge);
        Ref own = Ref::steal(node_to_python(start ? ev.start() : ev.end()));
        if (!own) return nullptr;
        node = own.get();
        held_.push_back(std::move(own));
    }
    resolved_.insert(t, node);
    last_type_ = t;
    last_node_ = node;
    return node;
}

EdgeEntry GraphAccess::entry_of(PyObject* edge) {
    const EdgeValue& ev = edge_value(edge);
    return {edge, ev.start().type().get(), ev.end().type().get()};
}

Status GraphAccess::edges(std::span<EdgeEntry>& out) {
    if (!edges_ready_) {
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

Status GraphAccess::incident(PyObject* node, std::span<const Incidence>& out) {
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
    auto it = index_.find(node_value(node).type().get());
    if (it == index_.end()) {
        out = {};
    } else {
        out = {it->second.data(), it->second.size()};
    }
    return ok_status();
}

void GraphAccess::invalidate() {
    nodes_ready_ = edges_ready_ = index_ready_ = false;
    node_list_.clear();
    edge_list_.clear();
    index_.clear();
    resolved_.clear();
    last_type_ = nullptr;
    last_node_ = nullptr;
    // held_ keeps its references until the run ends: rows may still hold them.
}

}  // namespace vk::cypher
