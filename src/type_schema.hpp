// Type schemas: a small regex-like notation over types, matched directly on
// the schema text (no parse step, no validation: a malformed schema simply
// matches nothing).
#pragma once
#include <Python.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "types.hpp"

namespace vk {

// Captured types, in the order they were recorded; a later capture of the
// same name replaces the earlier value.
using CaptureMap = std::vector<std::pair<std::string, TypeRef>>;

struct TypeSchemaValue {
    std::string pattern;  // exactly as given: not trimmed, not validated

    // The matcher with a fresh, discarded capture map. Returns 1 or 0; -1
    // (a Python exception set) is reserved for failures, and the matcher as
    // built has none: it is iterative, so any nesting depth is matched.
    int matches_type(const TypeNode* t) const;
    // The same, filling `captures` (cleared first); the map is meaningful
    // only when the result is 1.
    int match_capture(const TypeNode* t, CaptureMap& captures) const;
};

struct PyTypeSchema : Obj {
    TypeSchemaValue value;
};

// The one type a schema text names, or a null TypeRef when it names none
// ("$Person$" and "Person" name Person, "$(f:A -> B) -> C$" names
// ((A -> B) -> C); a schema with a wildcard, or one that can be read two
// ways, names no one type). A parenthesis groups only with its partner.
TypeRef schema_exact_type(std::string_view schema);

extern PyTypeObject* TypeSchemaType;
PyTypeObject* create_type_schema_type();

}  // namespace vk
