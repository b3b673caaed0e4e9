// Where conditions through the Cypher engine's expression code, and the
// bridge from bound values to the Node and Edge objects its rows hold.
#include "query/condition.hpp"

#include "text.hpp"

namespace vk {

namespace {

// The character position of a byte offset, as Python indexes the text.
size_t char_pos(std::string_view s, size_t offset) {
    size_t n = 0;
    for (size_t i = 0; i < offset && i < s.size(); ++i) n += (s[i] & 0xC0) != 0x80;
    return n;
}

bool blank(std::string_view s) {
    size_t i = 0;
    while (size_t n = white_space_at(s, i)) i += n;
    return i >= s.size();
}

}  // namespace

Result<Box<ConditionTree>> parse_condition(std::string_view text) {
    const std::string context = "condition '" + std::string(text) + "'";
    if (blank(text)) return VelkoraError::invalid_query("empty condition", context);
    ConditionTree tree;
    cypher::Failure f;
    if (!cypher::parse_embedded(text, tree.expr, f)) {
        if (f.python) return PyErrorSet{};
        // The parser's words are a query's; here the text is a condition.
        const std::string query_end = "end of query";
        size_t at = f.what.find(query_end);
        if (at != std::string::npos) f.what.replace(at, query_end.size(), "end of condition");
        return VelkoraError::invalid_query(
            f.what + " at position " + std::to_string(char_pos(text, f.pos.offset)), context);
    }
    for (const cypher::FreeVariable& v : tree.expr.free) {
        tree.variables.push_back(tree.expr.q.name(v.name));
    }
    Box<ConditionTree> boxed;
    if (!Box<ConditionTree>::make(boxed, std::move(tree))) return PyErrorSet{};
    return boxed;
}

ConditionRun::ConditionRun(const ConditionTree& t, const GraphValue& graph,
                           const BindingList* const* lists)
    : t_(t),
      lists_(lists),
      run_(t.expr, cypher::GraphView{graph.nodes.get(), graph.edges.get()}) {}

int ConditionRun::holds(size_t pos) {
    Ref* row = run_.row();
    for (size_t i = 0; i < t_.variables.size(); ++i) {
        Ref& slot = row[t_.expr.free[i].slot];
        const QueryResult& r = (*lists_[i])[pos];
        PyObject* o = slot.get();
        // Reused only while the row holds the only reference: no one can
        // see the object change.
        if (const NodeValue* n = std::get_if<NodeValue>(&r)) {
            if (o && Py_REFCNT(o) == 1 && Py_TYPE(o) == NodeType) {
                reinterpret_cast<PyNode*>(o)->value = *n;
            } else if (!(slot = Ref::steal(node_to_python(*n)))) {
                return -1;
            }
        } else {
            const EdgeValue& e = std::get<EdgeValue>(r);
            if (o && Py_REFCNT(o) == 1 && Py_TYPE(o) == EdgeType) {
                reinterpret_cast<PyEdge*>(o)->value = e;
            } else if (!(slot = Ref::steal(edge_to_python(e)))) {
                return -1;
            }
        }
    }
    cypher::Tri t = run_.holds();
    return t == cypher::kError ? -1 : t == cypher::kTrue;
}

}  // namespace vk
