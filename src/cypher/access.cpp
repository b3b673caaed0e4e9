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

PyObject* GraphAccess::resolve(const NodeValue& end) {
    const TypeNode* t = end.type().get();
    if (t == last_type_) return last_node_;
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
        Ref own = Ref::steal(node_to_python(end));
        if (!own) return nullptr;
        node = own.get();
        held_.push_back(std::move(own));
    }
    last_type_ = t;
    last_node_ = node;
    return node;
}

Status GraphAccess::edges(std::span<const EdgeEntry>& out) {
    if (!edges_ready_) {
        Py_ssize_t n = PyDict_GET_SIZE(edges_);
        edge_list_.reserve((size_t)n);
        held_.reserve(held_.size() + (size_t)n + 16);
        // Each Edge is held before the next entry is read: resolving an end
        // makes objects, and so may run the collector, but no code that
        // changes the dict.
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(edges_, &pos, &k, &v)) {
            if (Py_TYPE(v) != EdgeType) return cast_error(v, "Edge");
            held_.push_back(Ref::borrow(v));
            const EdgeValue& ev = edge_value(v);
            PyObject* s = resolve(ev.start());
            if (!s) return PyErrorSet{};
            PyObject* e = resolve(ev.end());
            if (!e) return PyErrorSet{};
            edge_list_.push_back({v, s, e});
        }
        edges_ready_ = true;
    }
    out = {edge_list_.data(), edge_list_.size()};
    return ok_status();
}

Status GraphAccess::incident(PyObject* node, std::span<const Incidence>& out) {
    if (!index_ready_) {
        std::span<const EdgeEntry> es;
        if (!edges(es)) return PyErrorSet{};
        for (uint32_t i = 0; i < es.size(); ++i) {
            const TypeNode* s = node_value(es[i].start).type().get();
            const TypeNode* e = node_value(es[i].end).type().get();
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
    last_type_ = nullptr;
    last_node_ = nullptr;
    // held_ keeps its references until the run ends: rows may still hold them.
}

}  // namespace vk::cypher
