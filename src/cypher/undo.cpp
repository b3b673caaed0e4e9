#include "cypher/undo.hpp"

namespace vk::cypher {

Status UndoLog::set_item(PyObject* dict, PyObject* key, PyObject* value) {
    PyObject* old = PyDict_GetItemWithError(dict, key);  // borrowed
    if (!old && PyErr_Occurred()) return PyErrorSet{};
    Entry e{old ? Kind::Replaced : Kind::Inserted, Ref::borrow(dict), Ref::borrow(key),
            Ref::borrow(old)};
    // Logged before the write, so that a write that fails halfway is undone too.
    log_.push_back(std::move(e));
    if (PyDict_SetItem(dict, key, value) < 0) return PyErrorSet{};
    return ok_status();
}

Status UndoLog::snapshot(PyObject* dict) {
    if (copied_.count(dict)) return ok_status();
    Ref items = Ref::steal(PyDict_Items(dict));
    if (!items) return PyErrorSet{};
    copied_.emplace(dict, log_.size());
    log_.push_back(Entry{Kind::Snapshot, Ref::borrow(dict), Ref{}, std::move(items)});
    return ok_status();
}

int UndoLog::del_item(PyObject* dict, PyObject* key) {
    int has = PyDict_Contains(dict, key);
    if (has <= 0) return has;
    if (!snapshot(dict)) return -1;
    return PyDict_DelItem(dict, key) < 0 ? -1 : 1;
}

Status UndoLog::clear(PyObject* dict) {
    if (PyDict_GET_SIZE(dict) == 0) return ok_status();
    if (!snapshot(dict)) return PyErrorSet{};
    PyDict_Clear(dict);
    return ok_status();
}

bool UndoLog::inserted(PyObject* dict, PyObject* key) const {
    for (const Entry& e : log_) {
        if (e.kind != Kind::Inserted || e.dict.get() != dict) continue;
        int eq = PyObject_RichCompareBool(e.key.get(), key, Py_EQ);
        if (eq < 0) PyErr_Clear();
        if (eq == 1) return true;
    }
    return false;
}

void UndoLog::commit() {
    log_.clear();
    copied_.clear();
}

void UndoLog::rollback() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    for (size_t i = log_.size(); i-- > 0;) {
        Entry& e = log_[i];
        PyObject* dict = e.dict.get();
        if (e.kind != Kind::Snapshot) {
            auto c = copied_.find(dict);
            // The dict is refilled whole from its copy further down the log.
            if (c != copied_.end() && c->second < i) continue;
        }
        switch (e.kind) {
            case Kind::Inserted:
                if (PyDict_DelItem(dict, e.key.get()) < 0) PyErr_Clear();
                break;
            case Kind::Replaced:
                if (PyDict_SetItem(dict, e.key.get(), e.value.get()) < 0) PyErr_Clear();
                break;
            case Kind::Snapshot: {
                PyDict_Clear(dict);
                PyObject* items = e.value.get();
                for (Py_ssize_t j = 0, n = PyList_GET_SIZE(items); j < n; ++j) {
                    PyObject* kv = PyList_GET_ITEM(items, j);
                    if (PyDict_SetItem(dict, PyTuple_GET_ITEM(kv, 0), PyTuple_GET_ITEM(kv, 1)) < 0) {
                        PyErr_Clear();
                    }
                }
                break;
            }
        }
    }
    commit();
    PyErr_Restore(type, value, tb);
}

int UndoLog::traverse(visitproc visit, void* arg) const {
    for (const Entry& e : log_) {
        Py_VISIT(e.dict.get());
        Py_VISIT(e.key.get());
        Py_VISIT(e.value.get());
    }
    return 0;
}

}  // namespace vk::cypher
