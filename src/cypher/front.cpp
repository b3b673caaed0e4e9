// The front end's entry point and the format of its errors: lexer, parser
// and checks run in turn on the text; a failure becomes the ValueError
// "Invalid query: <what> at line L, column C" followed by the line and a
// caret under the column.
#include "cypher/front.hpp"

#include "cypher/checks.hpp"
#include "cypher/parser.hpp"

namespace vk::cypher {

VelkoraError query_error(std::string_view text, Pos pos, std::string_view what) {
    size_t at = std::min<size_t>(pos.offset, text.size());
    size_t begin = at == 0 ? 0 : text.rfind('\n', at - 1);
    begin = begin == std::string_view::npos ? 0 : (at == 0 ? 0 : begin + 1);
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(begin, end - begin);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string msg(what);
    msg += " at line " + std::to_string(pos.line) + ", column " + std::to_string(pos.column);
    msg += '\n';
    msg += line;
    msg += '\n';
    // The caret line repeats the line's tabs, so the caret lines up however
    // tabs are shown; every other character before the column is one space.
    uint32_t col = 1;
    for (size_t i = 0; i < line.size() && col < pos.column; ++i) {
        unsigned char c = (unsigned char)line[i];
        if ((c & 0xC0) == 0x80) continue;
        msg += c == '\t' ? '\t' : ' ';
        ++col;
    }
    for (; col < pos.column; ++col) msg += ' ';
    msg += '^';
    return VelkoraError::invalid_query(std::move(msg));
}

Result<std::shared_ptr<const Query>> parse_and_check(std::string_view text) {
    auto q = std::make_shared<Query>();
    q->text.assign(text);
    Failure f;
    if (!parse_query(*q, f) || !check_query(*q, f)) {
        if (f.python) return PyErrorSet{};
        return query_error(text, f.pos, f.what);
    }
    return std::shared_ptr<const Query>(std::move(q));
}

Status bind_parameters(const Query& q, PyObject* values, std::vector<Ref>& out) {
    out.clear();
    out.reserve(q.params.size());
    for (const Param& p : q.params) {
        PyObject* v = values ? PyDict_GetItemWithError(values, q.name_str(p.name)) : nullptr;
        if (!v) {
            if (PyErr_Occurred()) return PyErrorSet{};
            return query_error(q.text, p.pos, "missing parameter $" + q.name(p.name));
        }
        out.push_back(Ref::borrow(v));
    }
    return ok_status();
}

}  // namespace vk::cypher
