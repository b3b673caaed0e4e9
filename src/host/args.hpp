// Callable declarations, the argument binder and the argument converters.
//
// Every callable the module gives Python is declared once, as a Signature:
// its qualified name ("Query.match", as binding errors name it), what it is
// called on, and its parameters in order, each with its kind and its default
// as the text signature prints it. A class keeps the declarations of all its
// callables together in one table (a namespace of Signatures). Everything
// else about a callable's parameters comes from that one declaration:
// - the binder: Args<S>::bind matches positional and keyword arguments
//   against S and reports binding errors in the interpreter's own words;
// - the text signature at the head of its docstring (text_signature(),
//   which method_table() and class_doc() in host/pytype.hpp put there), from
//   which inspect.signature and the stub check read the parameters;
// - named access to the bound arguments: a["start"] looks the name up in S
//   when the call site is compiled, so a name S does not declare fails the
//   build, and inserting a parameter cannot shift another's position.
// A declaration that Python could not accept (a name twice, a required
// parameter after an optional one, keyword-only parameters before *args)
// fails the build too.
//
// Converters then check one bound argument each and report
//   argument 'NAME': 'int' object cannot be cast as 'str'
// with the name the declaration gives, so call sites spell neither those
// messages nor the names.
#pragma once
#include <Python.h>

#include <array>
#include <concepts>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "errors.hpp"

namespace vk {

// ----- declarations ----------------------------------------------------------

enum class ParamKind : unsigned char { PosOnly, PosOrKw, KwOnly, VarArgs, VarKw };

struct Param {
    const char* name;
    ParamKind kind;
    // The default as the text signature prints it ("None", "True", or "..."
    // where it has no short text form); null when the parameter is required,
    // and for *args.
    const char* default_text;

    constexpr bool required() const {
        return !default_text && kind != ParamKind::VarArgs && kind != ParamKind::VarKw;
    }
    // Whether a keyword argument can name it.
    constexpr bool by_keyword() const {
        return kind == ParamKind::PosOrKw || kind == ParamKind::KwOnly;
    }
};

constexpr Param req(const char* name) { return {name, ParamKind::PosOrKw, nullptr}; }
constexpr Param opt(const char* name, const char* default_text = "None") {
    return {name, ParamKind::PosOrKw, default_text};
}
constexpr Param kwonly(const char* name, const char* default_text = "None") {
    return {name, ParamKind::KwOnly, default_text};
}
constexpr Param varargs(const char* name) { return {name, ParamKind::VarArgs, nullptr}; }
// Positional-only parameters come first ("/" follows them in the text
// signature); a **kwargs parameter comes last and collects every keyword
// argument that names no other parameter.
constexpr Param posonly(const char* name, const char* default_text = nullptr) {
    return {name, ParamKind::PosOnly, default_text};
}
constexpr Param varkw(const char* name) { return {name, ParamKind::VarKw, nullptr}; }

// What a callable is called on, which decides how its text signature opens.
enum class Receiver : unsigned char {
    Instance,   // a method: "name($self, ...)"
    Type,       // a class method: "name($type, ...)"
    Nothing,    // a static method: "name(...)"
    Construct,  // the class's constructor: "Class(...)" at the head of the class docstring
};

// A declaration apart from its parameters, and the counts the binder needs.
struct CallableInfo {
    const char* qualified;  // "Class.method"; the constructor's is "Class.__new__"
    Receiver receiver;
    int size = 0;
    int positional = 0;  // positional-only and positional-or-keyword parameters
    int var = -1;        // the index of *args, or -1
    int varkw = -1;      // the index of **kwargs, or -1
    bool any_required = false;

    // The part after the last ".", and the part before it.
    std::string_view method_name() const;
    std::string_view class_name() const;
};

template <size_t N>
struct Signature {
    CallableInfo info;
    std::array<Param, N> params;

    // The position of the parameter called `name`. Only ever evaluated when
    // a call site is compiled: a name not declared here calls
    // parameter_not_declared(), which is not constexpr, and the build fails.
    consteval size_t index_of(std::string_view name) const;
};

namespace detail {

// Never defined: called only while compiling a faulty declaration or an
// undeclared parameter name, which makes that a compile error.
void parameter_not_declared();
void parameter_list_not_accepted_by_python();

template <class... P>
consteval Signature<sizeof...(P)> declare(const char* qualified, Receiver r, P... params) {
    constexpr size_t N = sizeof...(P);
    Signature<N> s{CallableInfo{qualified, r}, {params...}};
    const std::array<Param, N>& ps = s.params;
    CallableInfo& c = s.info;
    c.size = static_cast<int>(N);
    bool defaults = false;  // a positional parameter with a default came before
    // -1: positional-only, 0: positional, 1: *args seen, 2: keyword-only
    // seen, 3: **kwargs seen
    int stage = -1;
    for (size_t i = 0; i < N; ++i) {
        const Param& p = ps[i];
        for (size_t j = 0; j < i; ++j) {
            if (std::string_view(ps[j].name) == p.name) parameter_list_not_accepted_by_python();
        }
        if (stage == 3) parameter_list_not_accepted_by_python();
        switch (p.kind) {
            case ParamKind::PosOnly:
                if (stage != -1 || (defaults && !p.default_text)) {
                    parameter_list_not_accepted_by_python();
                }
                defaults = defaults || p.default_text;
                ++c.positional;
                break;
            case ParamKind::PosOrKw:
                if (stage > 0 || (defaults && !p.default_text)) {
                    parameter_list_not_accepted_by_python();
                }
                stage = 0;
                defaults = defaults || p.default_text;
                ++c.positional;
                break;
            case ParamKind::VarArgs:
                if (stage > 0) parameter_list_not_accepted_by_python();
                stage = 1;
                c.var = static_cast<int>(i);
                break;
            case ParamKind::KwOnly:
                stage = 2;
                break;
            case ParamKind::VarKw:
                stage = 3;
                c.varkw = static_cast<int>(i);
                break;
        }
        c.any_required = c.any_required || p.required();
    }
    return s;
}

}  // namespace detail

template <size_t N>
consteval size_t Signature<N>::index_of(std::string_view name) const {
    for (size_t i = 0; i < N; ++i) {
        if (name == params[i].name) return i;
    }
    detail::parameter_not_declared();
    return 0;
}

// The four kinds of declaration.
consteval auto method(const char* qualified, std::same_as<Param> auto... params) {
    return detail::declare(qualified, Receiver::Instance, params...);
}
consteval auto class_method(const char* qualified, std::same_as<Param> auto... params) {
    return detail::declare(qualified, Receiver::Type, params...);
}
consteval auto static_method(const char* qualified, std::same_as<Param> auto... params) {
    return detail::declare(qualified, Receiver::Nothing, params...);
}
consteval auto constructor(const char* qualified, std::same_as<Param> auto... params) {
    return detail::declare(qualified, Receiver::Construct, params...);
}

// "name($self, a, b=None, *, c=...)\n--\n\n": the line CPython reads the text
// signature from, then the separator that ends it. A constructor's line
// names the class.
std::string text_signature(const CallableInfo& info, const Param* params);

// ----- binding ---------------------------------------------------------------

// One bound argument: the parameter's name (for conversion errors) and the
// object (borrowed; null when the argument was not given).
struct Arg {
    const char* name;
    PyObject* obj;

    operator PyObject*() const { return obj; }
};

// The binder proper, shared by every Args<S>. `names` caches the interned
// parameter names (made on first use); `slots` receives one object per
// parameter and `rest` / `nrest` the extra positional arguments of *args.
// Keyword arguments collected by a **kwargs parameter, in call order
// (borrowed; valid for the call).
struct KeywordRest {
    std::vector<std::pair<PyObject*, PyObject*>> items;
};
struct BindTarget {
    const CallableInfo& info;
    const Param* params;
    PyObject** names;
    PyObject** slots;
    PyObject* const*& rest;
    Py_ssize_t& nrest;
    KeywordRest* kwrest;  // null when the callable declares no **kwargs
};
// Vectorcall convention (METH_FASTCALL | METH_KEYWORDS).
Status bind_arguments(const BindTarget& t, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames);
// Tuple and dict convention (tp_new, tp_call).
Status bind_arguments(const BindTarget& t, PyObject* args, PyObject* kwargs);

// The arguments of one call of the callable declared by S.
template <const auto& S>
class Args {
    static constexpr size_t N = S.params.size();

public:
    Status bind(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
        return bind_arguments(target(), args, nargsf, kwnames);
    }
    Status bind(PyObject* args, PyObject* kwargs) {
        return bind_arguments(target(), args, kwargs);
    }

    // A parameter's name, looked up in S when the call site is compiled.
    struct Name {
        size_t index;
        consteval Name(const char* name) : index(S.index_of(name)) {}
    };
    Arg operator[](Name n) const { return {S.params[n.index].name, slots_[n.index]}; }

    // The extra positional arguments collected by the *args parameter.
    Py_ssize_t rest_count() const { return nrest_; }
    Arg rest(Py_ssize_t i) const {
        static_assert(S.info.var >= 0, "the callable declares no *args");
        return {S.params[S.info.var].name, rest_[i]};
    }
    // The keyword arguments collected by the **kwargs parameter: (name, value).
    const std::vector<std::pair<PyObject*, PyObject*>>& keyword_rest() const {
        static_assert(S.info.varkw >= 0, "the callable declares no **kwargs");
        return kwrest_.items;
    }

private:
    BindTarget target() {
        return {S.info, S.params.data(), names_, slots_, rest_, nrest_,
                S.info.varkw >= 0 ? &kwrest_ : nullptr};
    }

    PyObject* slots_[N ? N : 1] = {};
    PyObject* const* rest_ = nullptr;
    Py_ssize_t nrest_ = 0;
    KeywordRest kwrest_;
    static inline PyObject* names_[N ? N : 1] = {};
};

// ----- conversion errors -------------------------------------------------------

// The type name printed in messages: the class name without module prefix.
const char* type_name(PyTypeObject* t);
// "'int' object cannot be cast as 'str'"
std::string cast_message(PyObject* obj, const char* required);
// TypeError "argument 'NAME': " + reason; always a failure.
Status arg_error(const char* param, const std::string& reason);
// TypeError with the cast message alone; always a failure.
Status cast_error(PyObject* obj, const char* required);

// ----- converters ------------------------------------------------------------------

// A str, as a UTF-8 view valid while the object lives.
Status to_str(Arg a, std::string_view& out);
Status to_string(Arg a, std::string& out);
// Absent or None gives nullopt.
Status to_opt_string(Arg a, std::optional<std::string>& out);
// A dict or dict subclass; absent or None gives null when allow_none.
Status to_dict(Arg a, PyObject*& out, bool allow_none);
// Only True or False.
Status to_bool(Arg a, bool& out);
// An int from 0 to SIZE_MAX; any other int is the OverflowError
// "argument 'NAME': must be an int from 0 to <SIZE_MAX>, not <value>".
Status to_size(Arg a, size_t& out);
// An instance of one of the module's classes (exact type: none is subclassable).
Status to_instance(Arg a, PyTypeObject* type);

// Builds a str from UTF-8 text.
PyObject* to_py(std::string_view s);

}  // namespace vk
