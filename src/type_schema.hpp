// Type schemas: a small regex-like notation over types, matched directly on
// the schema text (no parse step, no validation: a malformed schema simply
// matches nothing).
#pragma once
#include <Python.h>

#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "host/args.hpp"
#include "types.hpp"

namespace vk {

// Captured types, in the order they were recorded; a later capture of the
// same name replaces the earlier value.
using CaptureMap = std::vector<std::pair<std::string, TypeRef>>;

struct TypeSchemaValue {
    std::string pattern;  // exactly as given: not trimmed, not validated

    // Whether t matches. The matcher cannot fail: it runs no Python code,
    // and it is iterative, so any nesting depth is matched.
    bool matches_type(const TypeNode* t) const;
    // The same, filling `captures` (cleared first); the map is meaningful
    // only when t matches.
    bool match_capture(const TypeNode* t, CaptureMap& captures) const;
};

// What a schema text asks of a type, read once: any type, the variable of
// one name, or a structure that only the matcher can decide. A label such
// as "$Person$" or "Person" is a name test, decided by comparing names.
struct SchemaPlan {
    enum class Kind : unsigned char { Any, Name, Structure };
    Kind kind = Kind::Structure;
    std::string_view name;  // Name: a range of the schema text

    static SchemaPlan read(std::string_view schema);
};

// A schema applied to many types in one walk (the candidates of one match,
// the positions of one where clause): the text is read once, and the
// verdict on each type value is kept for the rest of the walk (types are
// immutable, so a value's verdict never changes). The schema must outlive
// the test; a test holds the types it has a verdict on, so that no other
// type is ever made at their addresses while it lives.
class SchemaTest {
public:
    // A null schema asks for nothing.
    explicit SchemaTest(const TypeSchemaValue* schema);
    SchemaTest(SchemaTest&&) noexcept = default;
    SchemaTest& operator=(SchemaTest&&) noexcept = default;

    bool matches(const TypeNode* t);

private:
    const TypeSchemaValue* schema_;
    SchemaPlan plan_;
    // The last type decided, and every type decided before it.
    const TypeNode* last_ = nullptr;
    bool last_verdict_ = false;
    std::unordered_map<const TypeNode*, bool> verdicts_;
    std::vector<TypeRef> held_;
};

// The callables of TypeSchema, each declared once (host/args.hpp).
namespace type_schema_sig {
inline constexpr auto construct = constructor("TypeSchema.__new__", req("pattern"));
inline constexpr auto matches = method("TypeSchema.matches", req("type"));
inline constexpr auto capture = method("TypeSchema.capture", req("type"));
}  // namespace type_schema_sig

struct PyTypeSchema : Obj {
    TypeSchemaValue value;
};

// The one type a schema text names: the type the schema matches when it
// matches exactly one, else a null TypeRef. "$Person$" and "Person" name
// Person, "$(f:A -> B) -> C$" names ((A -> B) -> C), "*" the variable named
// "*" and "" the one with the empty name; "$*$", any schema whose match
// reaches a wildcard, and a malformed one name none. Read by the matcher
// itself, so the two always agree.
TypeRef schema_exact_type(std::string_view schema);

extern PyTypeObject* TypeSchemaType;
PyTypeObject* create_type_schema_type();

}  // namespace vk
