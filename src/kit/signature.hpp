// Declarative signatures and the argument parser.
#pragma once

#include "state.hpp"

namespace kit {

// ---------------------------------------------------------------------------
// Signatures.
enum class Kind : unsigned char { Pos, KwOnly, Star, StarStar };
enum class Type : unsigned char { Any, Str, Dict, Int, List, Double };

struct Default {
    enum K : unsigned char { Missing, NoneV, Bool, Int, Float, Str, Slot } k = Missing;
    long long i = 0;
    double d = 0;
    const char* s = nullptr;  // Str: the text; Slot: how the docstring shows it
};

struct Param {
    const char* name = nullptr;
    Kind kind = Kind::Pos;
    Type type = Type::Any;
    bool none_ok = false;
    Default dflt{};
    const char* annotation = nullptr;

    // A copy of this parameter with one field changed.
    template <class M, class V>
    constexpr Param with(M Param::* field, V value) const {
        Param p = *this;
        p.*field = value;
        return p;
    }
    // Exact-type checks ("str x", "dict x", ...) and float conversion ("double x").
    constexpr Param str() const { return with(&Param::type, Type::Str); }
    constexpr Param dict() const { return with(&Param::type, Type::Dict); }
    constexpr Param int_() const { return with(&Param::type, Type::Int); }
    constexpr Param list() const { return with(&Param::type, Type::List); }
    constexpr Param dbl() const { return with(&Param::type, Type::Double); }
    // None accepted too (Optional[...]).
    constexpr Param opt() const { return with(&Param::none_ok, true); }
    constexpr Param ann(const char* a) const { return with(&Param::annotation, a); }
    constexpr Param def_none() const { return with(&Param::dflt, Default{Default::NoneV}); }
    constexpr Param def_bool(bool b) const { return with(&Param::dflt, Default{Default::Bool, b}); }
    constexpr Param def_int(long long v) const { return with(&Param::dflt, Default{Default::Int, v}); }
    constexpr Param def_float(double v) const { return with(&Param::dflt, Default{Default::Float, 0, v}); }
    constexpr Param def_str(const char* s) const { return with(&Param::dflt, Default{Default::Str, 0, 0, s}); }
    // A default evaluated when the function is created (the i-th object
    // handed to `make_function`), e.g. a module constant captured at class
    // build time; `shown` is how the docstring writes it.
    constexpr Param def_slot(int i, const char* shown) const {
        Param p = *this;
        p.dflt.k = Default::Slot;
        p.dflt.i = i;
        p.dflt.s = shown;
        return p;
    }
};

constexpr Param arg(const char* n) { return Param{n, Kind::Pos}; }
constexpr Param kwonly(const char* n) { return Param{n, Kind::KwOnly}; }
constexpr Param star(const char* n) { return Param{n, Kind::Star}; }
constexpr Param starstar(const char* n) { return Param{n, Kind::StarStar}; }

inline constexpr int kMaxParams = 16;
inline constexpr int kMaxOwned = 6;  // converted floats, *args, **kwargs of one call

// A parameter's position, found by name when the program is compiled.
struct P {
    int i;
};

constexpr bool same_text(const char* a, const char* b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

struct Sig {
    const char* name;
    Param params[kMaxParams]{};
    int count = 0;
    const char* ret = nullptr;  // return annotation text
    int n_pos = 0;              // positional-or-keyword parameters
    int n_req_pos = 0;          // ... of which required (no default)
    int star_idx = -1, starstar_idx = -1;
    int n_owned = 0;
    unsigned doubles = 0;  // bit i: parameter i is converted to a double
    unsigned typed = 0;    // bit i: parameter i has its type checked

    constexpr Sig(const char* n, std::initializer_list<Param> ps, const char* r = nullptr) : name(n), ret(r) {
        if (ps.size() > kMaxParams) throw "too many parameters";
        for (const Param& p : ps) params[count++] = p;
        for (int i = 0; i < count; ++i) {
            const Param& p = params[i];
            if (p.kind == Kind::Pos) {
                ++n_pos;
                if (p.dflt.k == Default::Missing) n_req_pos = n_pos;
            } else if (p.kind == Kind::Star) {
                star_idx = i;
                ++n_owned;
            } else if (p.kind == Kind::StarStar) {
                starstar_idx = i;
                ++n_owned;
            }
            if (p.type == Type::Double) {
                ++n_owned;
                doubles |= 1u << i;
            } else if (p.type != Type::Any) {
                typed |= 1u << i;
            }
        }
        if (n_owned > kMaxOwned) throw "too many converted parameters";
    }
    constexpr int size() const { return count; }

    // The parameter called `n`; a name the signature lacks does not compile.
    consteval P operator[](const char* n) const {
        for (int i = 0; i < count; ++i) {
            if (same_text(params[i].name, n)) return P{i};
        }
        throw "no such parameter";
    }
};

struct FunctionObject;
struct Call;
using Impl = Object (*)(Call&);

// A call site's keyword names (the caller's own tuple, held) and where each
// keyword went, recorded after a parse without error.
struct KwSite {
    PyObject* kwnames = nullptr;
    Py_ssize_t nargs = 0;
    signed char slot[kMaxParams];
};
inline constexpr int kKwSites = 4;

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Sig* sig;
    Impl impl;
    PyObject* module;  // the defining module (strong): keeps `state` alive
    ModState* state;   // inside `module`
    PyObject* name;
    PyObject* qualname;
    PyObject* modname;
    PyObject* doc;
    PyObject* annotations;
    PyObject* fdict;
    PyObject* owner;  // class the function was defined in (for super())
    PyObject* defaults[kMaxParams];
    PyObject* pnames[kMaxParams];  // interned parameter names
    KwSite kwsites[kKwSites];
    int kw_next;
};

// Parsed arguments: borrowed pointers, valid for the length of the call.
struct Call {
    FunctionObject* fn;
    ModState* st;
    PyObject* v[kMaxParams];
    double d[kMaxParams];
    PyObject* owned[kMaxOwned];  // converted floats, *args tuple, **kwargs dict (strong)
    int n_owned = 0;

    Call(FunctionObject* f) noexcept : fn(f), st(f->state) {}
    ~Call() {
        for (int i = 0; i < n_owned; ++i) release_ref(owned[i]);
    }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    Ctx cx() const noexcept { return Ctx{st}; }
    template <class S>
    S& state() const noexcept {
        return *static_cast<S*>(st);
    }
    PyObject* raw(P p) const { return v[p.i]; }
    Object operator[](P p) const { return Object::borrow(v[p.i]); }
    double dbl(P p) const { return d[p.i]; }
    bool is_none(P p) const { return v[p.i] == Py_None; }
    Object self() const { return Object::borrow(v[0]); }
    Object owner() const { return Object::borrow(fn->owner); }

    PyObject* own(Object o) {
        owned[n_owned] = o.release();
        return owned[n_owned++];
    }
};

inline Object Ctx::dict_get(const Object& d, PyObject* k, PyObject* dflt) const {
    return kit::dict_get(d, k, dflt, (*this)["get"_n]);
}

namespace detail {

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
        case Type::Double: return "double";
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

// Conversions and exact-type checks, after every parameter has a value.
inline void convert_and_check(const Sig& s, Call& c) {
    for (unsigned bits = s.doubles; bits; bits &= bits - 1) {
        const int i = std::countr_zero(bits);
        const Param& p = s.params[i];
        if (p.none_ok && c.v[i] == Py_None) continue;
        if (PyFloat_CheckExact(c.v[i])) {
            c.d[i] = PyFloat_AS_DOUBLE(c.v[i]);
            continue;
        }
        double x = PyFloat_AsDouble(c.v[i]);
        if (x == -1.0 && PyErr_Occurred()) fail();
        c.d[i] = x;
        c.v[i] = c.own(floating(x));
    }
    for (unsigned bits = s.typed; bits; bits &= bits - 1) {
        const int i = std::countr_zero(bits);
        const Param& p = s.params[i];
        PyObject* o = c.v[i];
        if (p.none_ok && o == Py_None) continue;
        if (!exact_type(p.type, o)) arg_type_error(p.name, type_label(p.type), o);
    }
}

inline void parse(FunctionObject* f, PyObject* const* args, size_t nargsf, PyObject* kwnames, Call& c) {
    const Sig& s = *f->sig;
    const int np = s.size();
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

    // The common call: positional arguments only, no star parameters.
    if (nkw == 0 && s.star_idx < 0 && s.starstar_idx < 0 && nargs <= s.n_pos) {
        if (nargs < s.n_req_pos) count_error(s, nargs);
        for (Py_ssize_t i = 0; i < nargs; ++i) c.v[i] = args[i];
        for (int i = static_cast<int>(nargs); i < np; ++i) {
            c.v[i] = f->defaults[i];
            if (!c.v[i]) {
                if (s.params[i].kind == Kind::KwOnly) {
                    PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %U", s.name, f->pnames[i]);
                    fail();
                }
                // Only a function torn down by the garbage collector lacks them.
                raise(PyExc_SystemError, "function called after it was cleared");
            }
        }
        convert_and_check(s, c);
        return;
    }

    // A call site seen before: the same keyword tuple with as many
    // positionals places every value where it went then.
    const bool plain = s.star_idx < 0 && s.starstar_idx < 0;
    if (plain && nkw) {
        for (const KwSite& site : f->kwsites) {
            if (site.kwnames != kwnames || site.nargs != nargs) continue;
            for (Py_ssize_t i = 0; i < nargs; ++i) c.v[i] = args[i];
            for (int i = static_cast<int>(nargs); i < np; ++i) c.v[i] = f->defaults[i];
            for (Py_ssize_t j = 0; j < nkw; ++j) c.v[site.slot[j]] = args[nargs + j];
            for (int i = 0; i < np; ++i) {
                if (!c.v[i]) raise(PyExc_SystemError, "function called after it was cleared");
            }
            convert_and_check(s, c);
            return;
        }
    }

    for (int i = 0; i < np; ++i) c.v[i] = nullptr;
    if (nargs > s.n_pos && s.star_idx < 0) count_error(s, nargs);
    const Py_ssize_t take = nargs < s.n_pos ? nargs : s.n_pos;
    for (Py_ssize_t i = 0; i < take; ++i) c.v[i] = args[i];
    if (s.star_idx >= 0) {
        Py_ssize_t extra = nargs > s.n_pos ? nargs - s.n_pos : 0;
        Object t = Object::steal(PyTuple_New(extra));
        for (Py_ssize_t i = 0; i < extra; ++i) PyTuple_SET_ITEM(t.get(), i, Py_NewRef(args[s.n_pos + i]));
        c.v[s.star_idx] = c.own(std::move(t));
    }

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
            PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %U", s.name, f->pnames[i]);
            fail();
        }
    }
    // Whatever keywords are left over.
    Object extra_kw;
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
        if (!extra_kw) extra_kw = dict();
        check_rc(PyDict_SetItem(extra_kw.get(), key, kwvalues[j]));
    }
    if (s.starstar_idx >= 0) c.v[s.starstar_idx] = c.own(extra_kw ? std::move(extra_kw) : dict());
    for (int i = 0; i < np; ++i) {
        if (!c.v[i]) c.v[i] = f->defaults[i];
        if (!c.v[i]) raise(PyExc_SystemError, "function called after it was cleared");
    }
    // Remembered only for keyword tuples that name parameters alone (no
    // **kwargs) and only once the names were placed without error.
    if (plain && nkw && nkw <= kMaxParams && PyTuple_CheckExact(kwnames)) {
        KwSite& site = f->kwsites[f->kw_next];
        f->kw_next = (f->kw_next + 1) % kKwSites;
        Py_XSETREF(site.kwnames, Py_NewRef(kwnames));
        site.nargs = nargs;
        for (Py_ssize_t j = 0; j < nkw; ++j) site.slot[j] = static_cast<signed char>(placed[j]);
    }
    convert_and_check(s, c);
}

}  // namespace detail
}  // namespace kit
