// The indexes of a graph's dicts, and how they stay exact.
//
// An index mirrors one dict: a table of entries at positions that follow
// the dict's order (a new key takes the next position, a replaced value
// keeps its key's position, a deleted key leaves its position empty, as the
// dict itself does), a hash table from key to position (keys are exact
// strs: their cached hash and their characters decide), and its nodes: one
// per node type met, found by a hash table keyed by the type's Python hash
// and structural equality, each holding the positions filed under it in
// ascending order. An entry of `nodes` is filed under its node's type; an
// entry of `edges` under its start's type (out) and its end's type (in). A
// lookup reads one node's positions, so it costs what it returns; walking
// those positions gives the dict's own order. Node types and an edge's end
// snapshots never change (a Node given new properties keeps its type and
// object), so an entry's place depends on its value object alone, and the
// index reads the object itself (its current record) at every lookup.
//
// The index holds no reference: the dict holds every key and value it
// names, and the index is used only while it is known to follow the dict
// exactly, so what it names is alive. It follows the dict in one of two ways.
// From CPython 3.12, one dict watcher for the whole module (watcher ids are
// few: eight per interpreter) is told of every change of every indexed dict
// before it happens; a table maps the dict to its indexes, which apply the
// change (add, replace, delete, clear) in place; a change it cannot apply
// exactly (a key that is not an exact str, a value of another class, a
// dict filled wholesale from another) drops the index until the next
// lookup rebuilds it, and the dict's deallocation detaches it. Before 3.12
// the dict's version tag, which CPython changes on every modification and
// never repeats, is recorded when the index is known to be exact: a lookup
// that finds another tag rebuilds the index from the dict, and this
// module's own writes (graph_store, graph_remove) apply their change and
// record the tag they leave, holding the replaced value meanwhile so that
// no other code runs between the change and the reading of the tag. A
// rebuild is one pass of PyDict_Next, which runs no Python code; a dict
// holding an entry the index does not file is left unindexed and every
// lookup then reports so, for the caller's walk to raise its own error.
//
// Memory: the index frees with the last GraphValue sharing it and holds no
// Python objects, so it takes no part in collection and keeps no deleted
// node alive; empty positions are reclaimed by a rebuild once they
// outnumber the live entries.
#include "graph_index.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <unordered_map>

#include "graph.hpp"

namespace vk {

#if PY_VERSION_HEX >= 0x030C0000
#define VK_DICT_WATCHERS 1
#else
#define VK_DICT_WATCHERS 0
#endif

// ----- position lists ------------------------------------------------------------

PositionList::PositionList(PositionList&& o) noexcept : size_(o.size_), cap_(o.cap_) {
    if (cap_ > kInPlace) {
        heap_ = o.heap_;
    } else {
        std::memcpy(in_place_, o.in_place_, sizeof in_place_);
    }
    o.size_ = 0;
    o.cap_ = kInPlace;
}

PositionList& PositionList::operator=(PositionList&& o) noexcept {
    if (this != &o) {
        this->~PositionList();
        new (this) PositionList(std::move(o));
    }
    return *this;
}

bool PositionList::insert(uint32_t p) {
    if (size_ == cap_) {
        uint32_t cap = cap_ * 2;
        auto* grown = static_cast<uint32_t*>(std::malloc(sizeof(uint32_t) * cap));
        if (!grown) return false;
        std::memcpy(grown, data(), sizeof(uint32_t) * size_);
        if (cap_ > kInPlace) std::free(heap_);
        heap_ = grown;
        cap_ = cap;
    }
    uint32_t* d = data();
    // Positions mostly arrive in ascending order: look from the back.
    uint32_t i = size_;
    while (i > 0 && d[i - 1] > p) --i;
    std::memmove(d + i + 1, d + i, sizeof(uint32_t) * (size_ - i));
    d[i] = p;
    ++size_;
    return true;
}

void PositionList::erase(uint32_t p) {
    uint32_t* d = data();
    uint32_t* hit = std::lower_bound(d, d + size_, p);
    if (hit == d + size_ || *hit != p) return;
    std::memmove(hit, hit + 1, sizeof(uint32_t) * (d + size_ - hit - 1));
    --size_;
}

namespace {

// ----- hash tables of entry or node numbers -------------------------------------

// Open addressing with linear probing over (hash, number + 1) slots; the
// caller hashes and compares. Deletion shifts the following run back, so
// no tombstones build up.
class NumberTable {
public:
    static constexpr uint32_t kNone = UINT32_MAX;

    template <class Eq>
    uint32_t find(uint32_t h, Eq&& eq) const {
        if (slots_.empty()) return kNone;
        for (size_t i = h & mask_;; i = (i + 1) & mask_) {
            const Slot& s = slots_[i];
            if (s.number == 0) return kNone;
            if (s.hash == h && eq(s.number - 1)) return s.number - 1;
        }
    }
    // Files a number known to be absent.
    void insert(uint32_t h, uint32_t number) {
        if ((used_ + 1) * 3 > slots_.size() * 2) grow();
        size_t i = h & mask_;
        while (slots_[i].number != 0) i = (i + 1) & mask_;
        slots_[i] = {h, number + 1};
        ++used_;
    }
    void erase(uint32_t h, uint32_t number) {
        if (slots_.empty()) return;
        size_t i = h & mask_;
        while (slots_[i].number != number + 1) {
            if (slots_[i].number == 0) return;
            i = (i + 1) & mask_;
        }
        // Shift back every later slot of the run that may sit at i.
        for (size_t j = (i + 1) & mask_; slots_[j].number != 0; j = (j + 1) & mask_) {
            size_t home = slots_[j].hash & mask_;
            bool movable = (i <= j) ? (home <= i || home > j) : (home <= i && home > j);
            if (movable) {
                slots_[i] = slots_[j];
                i = j;
            }
        }
        slots_[i] = {0, 0};
        --used_;
    }
    void reserve(size_t n) {
        while (n * 3 > slots_.size() * 2) grow();
    }
    void clear() {
        std::vector<Slot>().swap(slots_);
        mask_ = 0;
        used_ = 0;
    }

private:
    struct Slot {
        uint32_t hash;
        uint32_t number;  // 0: empty
    };
    void grow() {
        std::vector<Slot> old;
        old.swap(slots_);
        size_t size = old.empty() ? 16 : old.size() * 2;
        slots_.assign(size, Slot{0, 0});
        mask_ = size - 1;
        for (const Slot& s : old) {
            if (s.number == 0) continue;
            size_t i = s.hash & mask_;
            while (slots_[i].number != 0) i = (i + 1) & mask_;
            slots_[i] = s;
        }
    }
    std::vector<Slot> slots_;
    size_t mask_ = 0;
    size_t used_ = 0;
};

uint32_t str_hash(PyObject* s) { return static_cast<uint32_t>(PyObject_Hash(s)); }

// Two exact strs with equal characters (CPython keeps every str in its
// narrowest kind, so equal strs have equal kinds).
bool str_equal(PyObject* a, PyObject* b) {
    if (a == b) return true;
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), n * PyUnicode_KIND(a)) == 0;
}

uint32_t type_hash(const TypeNode* t) { return static_cast<uint32_t>(type_py_hash(t)); }

#if !VK_DICT_WATCHERS
uint64_t version_of(PyObject* d) { return reinterpret_cast<PyDictObject*>(d)->ma_version_tag; }
#endif

}  // namespace

// ----- the index of one dict ------------------------------------------------------

class DictIndex {
public:
    explicit DictIndex(bool edges) : edges_(edges) {}
    DictIndex(const DictIndex&) = delete;
    DictIndex& operator=(const DictIndex&) = delete;
    ~DictIndex() { detach(); }

    // Makes the index follow d exactly: 1, or 0 when d is not indexed, or
    // -1 with a Python exception.
    int prepare(PyObject* d);
    // Whether the index follows d exactly now.
    bool current(PyObject* d) const {
#if VK_DICT_WATCHERS
        return ready_ && dict_ == d;
#else
        return ready_ && dict_ == d && tag_ == version_of(d);
#endif
    }

    // Changes of the dict, told before they happen (watchers) or right
    // after (this module's writes without watchers).
    void added(PyObject* key, PyObject* value);
    void replaced(PyObject* key, PyObject* value);
    void deleted(PyObject* key);
    void cleared() { reset(); }
    void drop() {
        reset();
        ready_ = false;
    }
    // The dict is going away.
    void gone() {
        drop();
        dict_ = nullptr;
        watched_ = false;
    }
#if !VK_DICT_WATCHERS
    void record_version() { tag_ = version_of(dict_); }
#endif

    uint32_t node_of_type(const TypeNode* t) const {
        return nodes_table_.find(type_hash(t), [&](uint32_t n) {
            const TypeNode* u = nodes_[n].type.get();
            return u == t || type_equal(u, t);
        });
    }

    std::vector<IndexEntry> entries_;
    std::vector<IndexNode> nodes_;

private:
    bool files(PyObject* key, PyObject* value) const {
        return PyUnicode_CheckExact(key) && Py_TYPE(value) == (edges_ ? EdgeType : NodeType);
    }
    uint32_t position_of(PyObject* key) const {
        return keys_.find(str_hash(key),
                          [&](uint32_t p) { return str_equal(entries_[p].key, key); });
    }
    // The number of the node of type t, made when new; kNone without memory.
    uint32_t node_for(const TypeNode* t) {
        uint32_t n = node_of_type(t);
        if (n != NumberTable::kNone) return n;
        n = static_cast<uint32_t>(nodes_.size());
        nodes_.push_back(IndexNode{TypeRef::share(t), {}});
        nodes_table_.insert(type_hash(t), n);
        return n;
    }
    // Files the entry at p under its nodes, from its value.
    bool file(uint32_t p);
    void unfile(uint32_t p);
    bool append(PyObject* key, PyObject* value);
    int rebuild(PyObject* d);
    void reset();
    void detach();

    const bool edges_;
    PyObject* dict_ = nullptr;  // the dict followed (not held)
    bool ready_ = false;        // the contents follow dict_ exactly
    bool watched_ = false;      // dict_ is watched and this index is in the table
#if !VK_DICT_WATCHERS
    uint64_t tag_ = 0;
#endif
    size_t live_ = 0;
    NumberTable keys_;
    NumberTable nodes_table_;
};

struct GraphIndexes {
    DictIndex nodes{false};
    DictIndex edges{true};
};

std::shared_ptr<GraphIndexes> make_graph_indexes() { return std::make_shared<GraphIndexes>(); }

namespace {

#if VK_DICT_WATCHERS
// The indexes following each watched dict. Made once and never freed: dicts
// are released (and watched) until the very end of the interpreter.
std::unordered_map<PyObject*, std::vector<DictIndex*>>& watched_dicts() {
    static auto* table = new std::unordered_map<PyObject*, std::vector<DictIndex*>>();
    return *table;
}

int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject* value) {
    auto& table = watched_dicts();
    auto it = table.find(dict);
    if (it == table.end()) return 0;
    for (DictIndex* ix : it->second) {
        switch (event) {
            case PyDict_EVENT_ADDED: ix->added(key, value); break;
            case PyDict_EVENT_MODIFIED: ix->replaced(key, value); break;
            case PyDict_EVENT_DELETED: ix->deleted(key); break;
            case PyDict_EVENT_CLEARED: ix->cleared(); break;
            case PyDict_EVENT_DEALLOCATED: ix->gone(); break;
            default: ix->drop(); break;  // cloned from another dict
        }
    }
    if (event == PyDict_EVENT_DEALLOCATED) table.erase(it);
    return 0;
}

// The module's watcher: made on first use; -1 when none can be had.
int watcher_id() {
    static int id = -2;
    if (id == -2) {
        id = PyDict_AddWatcher(on_dict_event);
        if (id < 0) PyErr_Clear();
    }
    return id;
}
#endif

}  // namespace

void DictIndex::reset() {
    std::vector<IndexEntry>().swap(entries_);
    std::vector<IndexNode>().swap(nodes_);
    keys_.clear();
    nodes_table_.clear();
    live_ = 0;
}

void DictIndex::detach() {
#if VK_DICT_WATCHERS
    if (watched_ && dict_) {
        auto& table = watched_dicts();
        auto it = table.find(dict_);
        if (it != table.end()) {
            std::erase(it->second, this);
            if (it->second.empty()) {
                table.erase(it);
                if (PyDict_Unwatch(watcher_id(), dict_) < 0) PyErr_Clear();
            }
        }
    }
#endif
    reset();
    dict_ = nullptr;
    ready_ = false;
    watched_ = false;
}

bool DictIndex::file(uint32_t p) {
    IndexEntry& e = entries_[p];
    if (!edges_) {
        uint32_t n = node_for(node_value(e.value).type().get());
        e.node[0] = e.node[1] = n;
        return nodes_[n].at[0].insert(p);
    }
    const EdgeValue& v = edge_value(e.value);
    uint32_t s = node_for(v.start().type().get());
    uint32_t t = node_for(v.end().type().get());
    e.node[0] = s;
    e.node[1] = t;
    if (!nodes_[s].at[0].insert(p)) return false;
    if (nodes_[t].at[1].insert(p)) return true;
    nodes_[s].at[0].erase(p);
    return false;
}

void DictIndex::unfile(uint32_t p) {
    const IndexEntry& e = entries_[p];
    nodes_[e.node[0]].at[0].erase(p);
    if (edges_) nodes_[e.node[1]].at[1].erase(p);
}

bool DictIndex::append(PyObject* key, PyObject* value) {
    if (entries_.size() >= UINT32_MAX - 1) return false;
    auto p = static_cast<uint32_t>(entries_.size());
    entries_.push_back(IndexEntry{key, value, {0, 0}});
    if (!file(p)) {
        entries_.pop_back();
        return false;
    }
    keys_.insert(str_hash(key), p);
    ++live_;
    return true;
}

void DictIndex::added(PyObject* key, PyObject* value) {
    if (!ready_) return;
    if (!files(key, value) || !append(key, value)) drop();
}

void DictIndex::replaced(PyObject* key, PyObject* value) {
    if (!ready_) return;
    uint32_t p = PyUnicode_CheckExact(key) ? position_of(key) : NumberTable::kNone;
    if (p == NumberTable::kNone || !files(key, value)) return drop();
    IndexEntry& e = entries_[p];
    if (e.value == value) return;
    unfile(p);
    e.value = value;
    if (!file(p)) drop();
}

void DictIndex::deleted(PyObject* key) {
    if (!ready_) return;
    uint32_t p = PyUnicode_CheckExact(key) ? position_of(key) : NumberTable::kNone;
    if (p == NumberTable::kNone) return drop();
    unfile(p);
    keys_.erase(str_hash(key), p);
    entries_[p].value = nullptr;
    --live_;
    // Empty positions are reclaimed by the next lookup's rebuild.
    if (entries_.size() > 2 * live_ + 1024) drop();
}

int DictIndex::rebuild(PyObject* d) {
    reset();
    Py_ssize_t n = PyDict_GET_SIZE(d);
    entries_.reserve(static_cast<size_t>(n));
    keys_.reserve(static_cast<size_t>(n));
    // Nodes are mostly filed one per type.
    if (!edges_) {
        nodes_.reserve(static_cast<size_t>(n));
        nodes_table_.reserve(static_cast<size_t>(n));
    }
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(d, &pos, &k, &v)) {
        if (!files(k, v)) {
            reset();
            return 0;
        }
        if (!append(k, v)) {
            reset();
            PyErr_NoMemory();
            return -1;
        }
    }
    ready_ = true;
#if !VK_DICT_WATCHERS
    tag_ = version_of(d);
#endif
    return 1;
}

int DictIndex::prepare(PyObject* d) {
    if (dict_ != d) {
        detach();
        dict_ = d;
    }
    if (current(d)) return 1;
#if VK_DICT_WATCHERS
    if (!watched_) {
        int id = watcher_id();
        if (id < 0) return 0;
        if (PyDict_Watch(id, d) < 0) {
            PyErr_Clear();
            return 0;
        }
        watched_dicts()[d].push_back(this);
        watched_ = true;
    }
#endif
    return rebuild(d);
}

// ----- lookups ---------------------------------------------------------------------

uint32_t EdgeIndexView::node_of_type(const TypeNode* t) const {
    uint32_t n = static_cast<const DictIndex*>(index_)->node_of_type(t);
    return n == NumberTable::kNone ? kNoNode : n;
}

size_t EdgeIndexView::degree(uint32_t node, EdgeSide side) const {
    if (side != EdgeSide::Both) return at(node, side).size();
    size_t loops = 0;
    for (uint32_t p : at(node, EdgeSide::Out)) loops += end_of(p) == node;
    return at(node, EdgeSide::Out).size() + at(node, EdgeSide::In).size() - loops;
}

int edge_index_view(const GraphValue& g, EdgeIndexView& out) {
    if (!g.index) return 0;
    DictIndex& ix = g.index->edges;
    int r = ix.prepare(g.edges.get());
    if (r <= 0) return r;
    out.index_ = &ix;
    out.entries_ = &ix.entries_;
    out.nodes_ = &ix.nodes_;
    return 1;
}

int index_nodes_of_type(const GraphValue& g, const TypeNode* type, std::vector<PyObject*>& out) {
    if (!g.index) return 0;
    DictIndex& ix = g.index->nodes;
    int r = ix.prepare(g.nodes.get());
    if (r <= 0) return r;
    uint32_t n = ix.node_of_type(type);
    if (n == NumberTable::kNone) return 1;
    for (uint32_t p : ix.nodes_[n].at[0].view()) out.push_back(ix.entries_[p].value);
    return 1;
}

int index_edges_at(const GraphValue& g, const TypeNode* node_type, EdgeSide side,
                   std::vector<PyObject*>& out) {
    EdgeIndexView view;
    int r = edge_index_view(g, view);
    if (r <= 0) return r;
    uint32_t n = view.node_of_type(node_type);
    if (n == EdgeIndexView::kNoNode) return 1;
    view.for_each_at(n, side, [&](uint32_t p) { out.push_back(view.edge(p)); });
    return 1;
}

// ----- writes ----------------------------------------------------------------------

namespace {

PyObject* dict_of(const GraphValue& g, GraphDict which) {
    return which == GraphDict::Nodes ? g.nodes.get() : g.edges.get();
}

#if !VK_DICT_WATCHERS
DictIndex* index_of(const GraphValue& g, GraphDict which) {
    if (!g.index) return nullptr;
    return which == GraphDict::Nodes ? &g.index->nodes : &g.index->edges;
}
#endif

}  // namespace

Status graph_store(const GraphValue& g, GraphDict which, PyObject* key, PyObject* value) {
    PyObject* d = dict_of(g, which);
#if VK_DICT_WATCHERS
    // The watcher follows the change.
    if (PyDict_SetItem(d, key, value) < 0) return PyErrorSet{};
    return ok_status();
#else
    DictIndex* ix = index_of(g, which);
    const bool follow = ix && PyUnicode_CheckExact(key) && ix->current(d);
    // The replaced value is held until the version is read: releasing it
    // may run a __del__ that changes the dict again.
    Ref old;
    if (follow) {
        old = Ref::borrow(PyDict_GetItemWithError(d, key));
        if (!old && PyErr_Occurred()) return PyErrorSet{};
    }
    if (PyDict_SetItem(d, key, value) < 0) return PyErrorSet{};
    if (follow) {
        if (old) {
            ix->replaced(key, value);
        } else {
            ix->added(key, value);
        }
        ix->record_version();
    }
    return ok_status();
#endif
}

int graph_remove(const GraphValue& g, GraphDict which, PyObject* key) {
    PyObject* d = dict_of(g, which);
#if VK_DICT_WATCHERS
    return PyDict_DelItem(d, key);
#else
    DictIndex* ix = index_of(g, which);
    const bool follow = ix && PyUnicode_CheckExact(key) && ix->current(d);
    Ref old;
    if (follow) {
        old = Ref::borrow(PyDict_GetItemWithError(d, key));
        if (!old && PyErr_Occurred()) return -1;
        // Taken out of the index first: the deletion may free the stored
        // key, which finding the entry compares.
        ix->deleted(key);
    }
    if (PyDict_DelItem(d, key) < 0) {
        if (follow) ix->drop();
        return -1;
    }
    if (follow) ix->record_version();
    return 0;
#endif
}

}  // namespace vk
