// Declarative signatures, the argument parser, and the function type.
//
// A function states its signature once (`Sig`); the parser derives every
// argument error of the house conventions from it, in the order a reader of
// compiled Python expects: positional count, missing positionals, missing
// keyword-only arguments, unknown or repeated keywords, float conversions,
// then exact-type checks.
#pragma once

#include "object.hpp"

#include <structmember.h>

namespace kit {

enum class Kind : unsigned char { Pos, KwOnly, Star, StarStar };
enum class Type : unsigned char { Any, Str, Dict, Int, List, Double };

struct Default {
    enum K : unsigned char { Missing, NoneV, Bool, Int, Float, Str, Slot } k = Missing;
    long long i = 0;
    double d = 0;
    const char* s = nullptr;
};

struct Param {
    const char* name;
    Kind kind = Kind::Pos;
    Type type = Type::Any;
    bool none_ok = false;
    Default dflt{};
    const char* annotation = nullptr;

    // Exact-type checks ("str x", "dict x", ...) and float conversion ("double x").
    constexpr Param str() const { Param p = *this; p.type = Type::Str; return p; }
    constexpr Param dict() const { Param p = *this; p.type = Type::Dict; return p; }
    constexpr Param int_() const { Param p = *this; p.type = Type::Int; return p; }
    constexpr Param list() const { Param p = *this; p.type = Type::List; return p; }
    constexpr Param dbl() const { Param p = *this; p.type = Type::Double; return p; }
    // None accepted too (Optional[...]).
    constexpr Param opt() const { Param p = *this; p.none_ok = true; return p; }
    constexpr Param ann(const char* a) const { Param p = *this; p.annotation = a; return p; }
    constexpr Param def_none() const { Param p = *this; p.dflt.k = Default::NoneV; return p; }
    constexpr Param def_bool(bool b) const { Param p = *this; p.dflt.k = Default::Bool; p.dflt.i = b; return p; }
    constexpr Param def_int(long long v) const { Param p = *this; p.dflt.k = Default::Int; p.dflt.i = v; return p; }
    constexpr Param def_float(double v) const { Param p = *this; p.dflt.k = Default::Float; p.dflt.d = v; return p; }
    constexpr Param def_str(const char* s) const { Param p = *this; p.dflt.k = Default::Str; p.dflt.s = s; return p; }
    // A default evaluated when the function is created (the i-th object
    // handed to `make_function`), e.g. a module constant captured at class
    // build time.
    constexpr Param def_slot(int i) const { Param p = *this; p.dflt.k = Default::Slot; p.dflt.i = i; return p; }
};

constexpr Param arg(const char* n) { return Param{n, Kind::Pos}; }
constexpr Param kwonly(const char* n) { return Param{n, Kind::KwOnly}; }
constexpr Param star(const char* n) { return Param{n, Kind::Star}; }
constexpr Param starstar(const char* n) { return Param{n, Kind::StarStar}; }

inline constexpr int kMaxParams = 16;

struct Sig {
    const char* name;
    std::vector<Param> params;
    const char* ret = nullptr;  // return annotation text
    int n_pos = 0;               // positional-or-keyword parameters
    int n_req_pos = 0;           // ... of which required (no default)
    int star_idx = -1, starstar_idx = -1;

    Sig(const char* n, std::initializer_list<Param> ps, const char* r = nullptr) : name(n), params(ps), ret(r) {
        for (int i = 0; i < static_cast<int>(params.size()); ++i) {
            const Param& p = params[i];
            if (p.kind == Kind::Pos) {
                ++n_pos;
                if (p.dflt.k == Default::Missing) n_req_pos = n_pos;
            } else if (p.kind == Kind::Star) {
                star_idx = i;
            } else if (p.kind == Kind::StarStar) {
                starstar_idx = i;
            }
        }
    }
    int size() const { return static_cast<int>(params.size()); }
};

struct FunctionObject;
struct Call;
using Impl = Object (*)(Call&);

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Sig* sig;
    Impl impl;
    PyObject* module;       // the defining module (strong)
    ModState* state;        // inside `module`
    PyObject* name;
    PyObject* qualname;
    PyObject* modname;
    PyObject* doc;
    PyObject* annotations;
    PyObject* fdict;
    PyObject* owner;        // class the function was defined in (for super())
    PyObject* closure;      // free variables of an inner function
    PyObject* defaults[kMaxParams];
    PyObject* pnames[kMaxParams];  // interned parameter names
};

// Parsed arguments: borrowed pointers, valid for the length of the call.
struct Call {
    FunctionObject* fn;
    PyObject* v[kMaxParams];
    double d[kMaxParams];
    Object hold[kMaxParams];  // converted floats, *args tuple, **kwargs dict

    PyObject* raw(int i) const { return v[i]; }
    Object arg(int i) const { return Object::borrow(v[i]); }
    Object self() const { return Object::borrow(v[0]); }
    double dbl(int i) const { return d[i]; }
    bool is_none(int i) const { return v[i] == Py_None; }
    Object owner() const { return Object::borrow(fn->owner); }
    Object closure() const { return Object::borrow(fn->closure); }
    Object module() const { return Object::borrow(fn->module); }
};

// ---------------------------------------------------------------------------
// Module globals, looked up at each use (so monkeypatching works).
inline PyObject* current_globals();

template <std::size_t N>
inline Object global(const char (&n)[N]) {
    PyObject* g = current_globals();
    PyObject* key = name(n);
    PyObject* out = nullptr;
    if (g) {
        check_rc(PyDict_GetItemRef(g, key, &out));
        if (out) return Object::steal(out);
    }
    PyObject* b = PyEval_GetBuiltins();
    if (b) {
        check_rc(PyDict_GetItemRef(b, key, &out));
        if (out) return Object::steal(out);
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    fail();
}

namespace detail {

// For the length of a call: the module whose code runs.
struct StateScope {
    ModState* saved;
    explicit StateScope(ModState* st) noexcept : saved(current_state) { current_state = st; }
    ~StateScope() { current_state = saved; }
    StateScope(const StateScope&) = delete;
    StateScope& operator=(const StateScope&) = delete;
};

[[noreturn]] inline void count_error(const Sig& s, Py_ssize_t found) {
    const bool exact = (s.n_req_pos == s.n_pos) && s.star_idx < 0;
    Py_ssize_t expected;
    const char* more_or_less;
    if (found < s.n_req_pos) {
        expected = s.n_req_pos;
        more_or_less = "at least";
    } else {
        expected = s.n_pos;
        more_or_less = "at most";
    }
    if (exact) more_or_less = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", s.name, more_or_less,
                 expected, expected == 1 ? "" : "s", found);
    fail();
}

inline const char* type_label(Type t) {
    switch (t) {
        case Type::Str: return "str";
        case Type::Dict: return "dict";
        case Type::Int: return "int";
        case Type::List: return "list";
        default: return "object";
    }
}

inline bool exact_type(Type t, PyObject* o) {
    switch (t) {
        case Type::Str: return PyUnicode_CheckExact(o);
        case Type::Dict: return PyDict_CheckExact(o);
        case Type::Int: return PyLong_CheckExact(o);
        case Type::List: return PyList_CheckExact(o);
        default: return true;
    }
}

inline void parse(FunctionObject* f, PyObject* const* args, size_t nargsf, PyObject* kwnames, Call& c) {
    const Sig& s = *f->sig;
    const int np = s.size();
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    for (int i = 0; i < np; ++i) c.v[i] = nullptr;

    if (nargs > s.n_pos && s.star_idx < 0) count_error(s, nargs);
    const Py_ssize_t take = nargs < s.n_pos ? nargs : s.n_pos;
    for (Py_ssize_t i = 0; i < take; ++i) c.v[i] = args[i];
    if (s.star_idx >= 0) {
        Py_ssize_t extra = nargs > s.n_pos ? nargs - s.n_pos : 0;
        c.hold[s.star_idx] = Object::steal(PyTuple_New(extra));
        for (Py_ssize_t i = 0; i < extra; ++i)
            PyTuple_SET_ITEM(c.hold[s.star_idx].get(), i, Py_NewRef(args[s.n_pos + i]));
        c.v[s.star_idx] = c.hold[s.star_idx].get();
    }

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* const* kwvalues = args + nargs;
    // Which keyword went to which parameter (-1: not yet placed).
    int placed_small[32];
    std::vector<int> placed_big;
    int* placed = placed_small;
    if (nkw > 32) {
        placed_big.resize(nkw);
        placed = placed_big.data();
    }
    for (Py_ssize_t j = 0; j < nkw; ++j) placed[j] = -1;

    // Keyword names from call sites are almost always interned: try identity
    // before comparing text.
    auto find_kw = [&](int pi) -> Py_ssize_t {
        PyObject* pname = f->pnames[pi];
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            if (placed[j] < 0 && PyTuple_GET_ITEM(kwnames, j) == pname) return j;
        }
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            if (placed[j] < 0 && PyUnicode_Compare(PyTuple_GET_ITEM(kwnames, j), pname) == 0) return j;
        }
        return -1;
    };

    // Missing positional parameters may come by keyword; a required one that
    // does not is a count error.
    for (int i = static_cast<int>(take); i < s.n_pos; ++i) {
        Py_ssize_t j = nkw ? find_kw(i) : -1;
        if (j >= 0) {
            c.v[i] = kwvalues[j];
            placed[j] = i;
        } else if (s.params[i].dflt.k == Default::Missing) {
            count_error(s, i);
        }
    }
    // Required keyword-only parameters.
    for (int i = s.n_pos; i < np; ++i) {
        const Param& p = s.params[i];
        if (p.kind != Kind::KwOnly) continue;
        Py_ssize_t j = nkw ? find_kw(i) : -1;
        if (j >= 0) {
            c.v[i] = kwvalues[j];
            placed[j] = i;
        } else if (p.dflt.k == Default::Missing) {
            PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %U", s.name,
                         Object::steal(PyUnicode_FromString(p.name)).get());
            fail();
        }
    }
    // Whatever keywords are left over.
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        if (placed[j] >= 0) continue;
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        bool positional = false;
        for (Py_ssize_t i = 0; i < take; ++i) {
            if (PyUnicode_Compare(key, f->pnames[i]) == 0) positional = true;
        }
        if (positional) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", s.name, key);
            fail();
        }
        if (s.starstar_idx < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", s.name, key);
            fail();
        }
        Object& d = c.hold[s.starstar_idx];
        if (!d) d = dict();
        check_rc(PyDict_SetItem(d.get(), key, kwvalues[j]));
    }
    if (s.starstar_idx >= 0) {
        Object& d = c.hold[s.starstar_idx];
        if (!d) d = dict();
        c.v[s.starstar_idx] = d.get();
    }
    // Defaults, then float conversions, then exact-type checks.
    for (int i = 0; i < np; ++i) {
        if (!c.v[i]) c.v[i] = f->defaults[i];
        // Only a function torn down by the garbage collector lacks them.
        if (!c.v[i]) raise(PyExc_SystemError, "function called after it was cleared");
    }
    for (int i = 0; i < np; ++i) {
        const Param& p = s.params[i];
        if (p.type != Type::Double) continue;
        if (p.none_ok && c.v[i] == Py_None) continue;
        double x = PyFloat_AsDouble(c.v[i]);
        if (x == -1.0 && PyErr_Occurred()) fail();
        c.d[i] = x;
        if (!PyFloat_CheckExact(c.v[i])) {
            c.hold[i] = floating(x);
            c.v[i] = c.hold[i].get();
        }
    }
    for (int i = 0; i < np; ++i) {
        const Param& p = s.params[i];
        if (p.type == Type::Any || p.type == Type::Double) continue;
        PyObject* o = c.v[i];
        if (p.none_ok && o == Py_None) continue;
        if (!exact_type(p.type, o)) arg_type_error(p.name, type_label(p.type), o);
    }
}

inline PyObject* fn_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    StateScope scope(f->state);
    try {
        Call c;
        c.fn = f;
        parse(f, args, nargsf, kwnames, c);
        Object r = f->impl(c);
        if (!r) return Py_NewRef(Py_None);
        return r.release();
    } catch (Error&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error signalled without an exception set");
        return nullptr;
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
        return nullptr;
    }
}

inline int fn_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->module);
    Py_VISIT(f->annotations);
    Py_VISIT(f->fdict);
    Py_VISIT(f->owner);
    Py_VISIT(f->closure);
    Py_VISIT(f->doc);
    for (int i = 0; i < kMaxParams; ++i) Py_VISIT(f->defaults[i]);
    return 0;
}

inline int fn_clear(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->fdict);
    Py_CLEAR(f->owner);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->doc);
    for (int i = 0; i < kMaxParams; ++i) Py_CLEAR(f->defaults[i]);
    return 0;
}

inline void fn_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    fn_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->modname);
    for (int i = 0; i < kMaxParams; ++i) Py_CLEAR(f->pnames[i]);
    tp->tp_free(self);
    Py_DECREF(tp);
}

inline PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

inline PyObject* fn_repr(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

inline PyObject* fn_get_signature(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    try {
        StateScope scope(f->state);
        Object inspect = import("inspect");
        Object Parameter = inspect.attr("Parameter");
        Object empty = Parameter.attr("empty");
        Object params = list();
        const Sig& s = *f->sig;
        for (int i = 0; i < s.size(); ++i) {
            const Param& p = s.params[i];
            Object kind;
            switch (p.kind) {
                case Kind::Pos: kind = Parameter.attr("POSITIONAL_OR_KEYWORD"); break;
                case Kind::KwOnly: kind = Parameter.attr("KEYWORD_ONLY"); break;
                case Kind::Star: kind = Parameter.attr("VAR_POSITIONAL"); break;
                case Kind::StarStar: kind = Parameter.attr("VAR_KEYWORD"); break;
            }
            Object dflt = f->defaults[i] ? Object::borrow(f->defaults[i]) : empty;
            Object ann = empty;
            if (f->annotations && PyDict_Check(f->annotations)) {
                PyObject* a = nullptr;
                check_rc(PyDict_GetItemStringRef(f->annotations, p.name, &a));
                if (a) ann = Object::steal(a);
            }
            check_rc(PyList_Append(params.get(), Parameter(p.name, kind, kw("default", dflt), kw("annotation", ann)).get()));
        }
        Object ret = empty;
        if (f->annotations && PyDict_Check(f->annotations)) {
            PyObject* a = nullptr;
            check_rc(PyDict_GetItemStringRef(f->annotations, "return", &a));
            if (a) ret = Object::steal(a);
        }
        return inspect.attr("Signature")(params, kw("return_annotation", ret)).release();
    } catch (Error&) {
        return nullptr;
    }
}

inline PyObject* fn_get_annotations(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (!f->annotations) f->annotations = PyDict_New();
    return Py_XNewRef(f->annotations);
}
inline int fn_set_annotations(PyObject* self, PyObject* value, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (value == nullptr || value == Py_None) {
        value = nullptr;
    } else if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(f->annotations, Py_XNewRef(value));
    return 0;
}
inline PyObject* fn_get_str(PyObject* self, void* which) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    PyObject* v = which == nullptr ? f->name : which == reinterpret_cast<void*>(1) ? f->qualname : f->modname;
    return Py_NewRef(v ? v : Py_None);
}
inline int fn_set_str(PyObject* self, PyObject* value, void* which) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (which != reinterpret_cast<void*>(2) && (value == nullptr || !PyUnicode_Check(value))) {
        PyErr_SetString(PyExc_TypeError, "__name__ and __qualname__ must be set to a string object");
        return -1;
    }
    PyObject** slot = which == nullptr ? &f->name : which == reinterpret_cast<void*>(1) ? &f->qualname : &f->modname;
    Py_XSETREF(*slot, Py_XNewRef(value ? value : Py_None));
    return 0;
}
inline PyObject* fn_get_doc(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return Py_NewRef(f->doc ? f->doc : Py_None);
}
inline int fn_set_doc(PyObject* self, PyObject* value, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_XSETREF(f->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}
inline PyObject* fn_get_dict(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (!f->fdict) f->fdict = PyDict_New();
    return Py_XNewRef(f->fdict);
}

inline PyTypeObject* make_function_type(PyObject* module) {
    static PyMemberDef members[] = {
        {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr},
    };
    static PyGetSetDef getset[] = {
        {"__name__", fn_get_str, fn_set_str, nullptr, nullptr},
        {"__qualname__", fn_get_str, fn_set_str, nullptr, reinterpret_cast<void*>(1)},
        {"__module__", fn_get_str, fn_set_str, nullptr, reinterpret_cast<void*>(2)},
        {"__doc__", fn_get_doc, fn_set_doc, nullptr, nullptr},
        {"__annotations__", fn_get_annotations, fn_set_annotations, nullptr, nullptr},
        {"__signature__", fn_get_signature, nullptr, nullptr, nullptr},
        {"__dict__", fn_get_dict, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(fn_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(fn_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(fn_clear)},
        {Py_tp_descr_get, reinterpret_cast<void*>(fn_descr_get)},
        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
        {Py_tp_repr, reinterpret_cast<void*>(fn_repr)},
        {Py_tp_members, members},
        {Py_tp_getset, getset},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        "private_core.function",
        sizeof(FunctionObject),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
            Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        slots,
    };
    return reinterpret_cast<PyTypeObject*>(check(PyType_FromModuleAndSpec(module, &spec, nullptr)));
}

inline Object default_value(const Default& d, std::initializer_list<Object> slots) {
    switch (d.k) {
        case Default::Missing: return {};
        case Default::NoneV: return None();
        case Default::Bool: return boolean(d.i != 0);
        case Default::Int: return integer(d.i);
        case Default::Float: return floating(d.d);
        case Default::Str: return Object::steal(PyUnicode_FromString(d.s));
        case Default::Slot: return *(slots.begin() + d.i);
    }
    return {};
}

}  // namespace detail

inline PyObject* current_globals() { return current_state ? current_state->globals : nullptr; }

// Annotation texts of a signature: parameter name -> text, "return" -> text.
inline Object annotations_of(const Sig& s) {
    Object d = dict();
    for (const Param& p : s.params) {
        if (p.annotation) check_rc(PyDict_SetItemString(d.get(), p.name, str(p.annotation).get()));
    }
    if (s.ret) check_rc(PyDict_SetItemString(d.get(), "return", str(s.ret).get()));
    return d;
}

struct FnSpec {
    const Sig& sig;
    Impl impl;
    const char* doc = nullptr;
    const char* qualname = nullptr;  // defaults to the signature's name
    std::initializer_list<Object> defaults = {};
    Object closure = {};
};

// Creates a function object of the current module (valid in exec and in any
// call of one of the module's functions).
inline Object make_function(const FnSpec& spec) {
    ModState* st = current_state;
    if (!st) raise(PyExc_SystemError, "make_function outside of a module context");
    if (spec.sig.size() > kMaxParams) raise(PyExc_SystemError, "too many parameters");
    auto* f = PyObject_GC_New(FunctionObject, st->fn_type);
    if (!f) fail();
    f->vectorcall = detail::fn_vectorcall;
    f->sig = &spec.sig;
    f->impl = spec.impl;
    f->module = Py_NewRef(st->module);
    f->state = st;
    f->name = nullptr;
    f->qualname = nullptr;
    f->modname = nullptr;
    f->doc = nullptr;
    f->annotations = nullptr;
    f->fdict = nullptr;
    f->owner = nullptr;
    f->closure = spec.closure.new_ref();
    for (int i = 0; i < kMaxParams; ++i) f->defaults[i] = nullptr;
    for (int i = 0; i < kMaxParams; ++i) f->pnames[i] = nullptr;
    Object self = Object::steal(reinterpret_cast<PyObject*>(f));
    // Names come from the module's table (keyed by the literal), which keeps
    // them alive: interning afresh per call would churn the interpreter's
    // table for inner functions made on every call.
    f->name = Py_NewRef(st->names->get(spec.sig.name));
    f->qualname = check(PyUnicode_FromString(spec.qualname ? spec.qualname : spec.sig.name));
    f->modname = check(PyObject_GetAttrString(st->module, "__name__"));
    f->doc = spec.doc ? check(PyUnicode_FromString(spec.doc)) : Py_NewRef(Py_None);
    f->annotations = annotations_of(spec.sig).release();
    for (int i = 0; i < spec.sig.size(); ++i) {
        f->pnames[i] = Py_NewRef(st->names->get(spec.sig.params[i].name));
        f->defaults[i] = detail::default_value(spec.sig.params[i].dflt, spec.defaults).release();
    }
    PyObject_GC_Track(self.get());
    return self;
}

}  // namespace kit
