// Module state, declarative signatures, the argument parser, and the
// function type.
//
// A function states its signature once (`Sig`): the parser derives every
// argument error of the house conventions from it, in the order a reader of
// compiled Python expects (positional count, missing positionals, missing
// keyword-only arguments, unknown or repeated keywords, float conversions,
// then exact-type checks), and the first line of its docstring is rendered
// from it.  Bodies read their parameters by name, resolved at compile time.
//
// A call finds its module through the function object it runs in: nothing
// depends on which call started last on a thread, so greenlets and other
// coroutines that switch inside a native call are safe.
#pragma once

#include "object.hpp"

#include <structmember.h>

namespace kit {

// ---------------------------------------------------------------------------
// Dict watchers.  A module keeps values read from a dict (its globals, a
// module it uses) and knows they are current while the dict's counter has
// not moved: the interpreter calls the watcher before every change of a
// watched dict.  An interpreter has few watcher ids, so the whole package
// shares one, kept with its registry in the interpreter's state dict.
namespace detail {
struct WatchEntry {
    PyObject* dict;
    std::uint64_t* version;
};
struct WatchRegistry {
    int id = -1;
    std::vector<WatchEntry> entries;
};
inline constexpr const char* kWatchKey = "private_core.kit.dict_watchers";

int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*);

inline void drop_registry(PyObject* capsule) {
    auto* reg = static_cast<WatchRegistry*>(PyCapsule_GetPointer(capsule, kWatchKey));
    if (!reg) {
        PyErr_Clear();
        return;
    }
    if (reg->id >= 0 && PyDict_ClearWatcher(reg->id) < 0) PyErr_Clear();
    delete reg;
}

// The package's registry; null when there is none (and `create` is false)
// or none can be made.  Never leaves an exception set.
inline WatchRegistry* watch_registry(bool create) {
    PyInterpreterState* interp = PyInterpreterState_Get();
    PyObject* idict = interp ? PyInterpreterState_GetDict(interp) : nullptr;
    if (!idict) return nullptr;
    PyObject* cap = nullptr;
    if (PyDict_GetItemStringRef(idict, kWatchKey, &cap) < 0) {
        PyErr_Clear();
        return nullptr;
    }
    if (cap) {
        auto* reg = static_cast<WatchRegistry*>(PyCapsule_GetPointer(cap, kWatchKey));
        Py_DECREF(cap);
        if (!reg) PyErr_Clear();
        return reg;
    }
    if (!create) return nullptr;
    auto* reg = new (std::nothrow) WatchRegistry();
    if (!reg) return nullptr;
    reg->id = PyDict_AddWatcher(on_dict_event);
    if (reg->id < 0) {
        PyErr_Clear();
        delete reg;
        return nullptr;
    }
    cap = PyCapsule_New(reg, kWatchKey, drop_registry);
    if (!cap || PyDict_SetItemString(idict, kWatchKey, cap) < 0) {
        PyErr_Clear();
        if (cap) Py_DECREF(cap);  // its destructor clears the watcher
        else {
            PyDict_ClearWatcher(reg->id);
            PyErr_Clear();
            delete reg;
        }
        return nullptr;
    }
    Py_DECREF(cap);
    return reg;
}

// The package's exit flag: one per interpreter, kept (like the watchers'
// registry) in the interpreter's state dict, and set by an atexit callback,
// which runs before the interpreter starts finalising.  It is never freed: a
// daemon thread may read it until the process ends.
inline constexpr const char* kExitKey = "private_core.kit.exit_flag";

inline PyObject* note_exit(PyObject* capsule, PyObject*) {
    auto* flag = static_cast<std::atomic<bool>*>(PyCapsule_GetPointer(capsule, kExitKey));
    if (!flag) return nullptr;
    flag->store(true, std::memory_order_relaxed);
    Py_RETURN_NONE;
}

// Points this shared object's exit_flag at the package's flag, making it
// (and registering its callback) the first time.  On any failure exit_flag
// stays null, and releases keep asking the interpreter.  Never leaves an
// exception set.
inline void install_exit_flag() {
    static PyMethodDef def{"_private_core_exit", note_exit, METH_NOARGS, nullptr};
    if (exit_flag) return;
    PyInterpreterState* interp = PyInterpreterState_Get();
    PyObject* idict = interp ? PyInterpreterState_GetDict(interp) : nullptr;
    if (!idict) return;
    PyObject* cap = nullptr;
    if (PyDict_GetItemStringRef(idict, kExitKey, &cap) < 0) {
        PyErr_Clear();
        return;
    }
    if (cap) {
        exit_flag = static_cast<std::atomic<bool>*>(PyCapsule_GetPointer(cap, kExitKey));
        if (!exit_flag) PyErr_Clear();
        Py_DECREF(cap);
        return;
    }
    auto* flag = new (std::nothrow) std::atomic<bool>(false);
    if (!flag) return;
    cap = PyCapsule_New(flag, kExitKey, nullptr);
    PyObject* callback = cap ? PyCFunction_New(&def, cap) : nullptr;
    PyObject* atexit = callback ? PyImport_ImportModule("atexit") : nullptr;
    PyObject* done = atexit ? PyObject_CallMethod(atexit, "register", "O", callback) : nullptr;
    if (done && PyDict_SetItemString(idict, kExitKey, cap) == 0) exit_flag = flag;
    PyErr_Clear();
    Py_XDECREF(done);
    Py_XDECREF(atexit);
    Py_XDECREF(callback);
    Py_XDECREF(cap);
}

inline int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*) {
    WatchRegistry* reg = watch_registry(false);
    if (!reg) return 0;
    for (auto& e : reg->entries) {
        if (e.dict == dict) ++*e.version;
    }
    if (event == PyDict_EVENT_DEALLOCATED) {
        std::erase_if(reg->entries, [&](const WatchEntry& e) { return e.dict == dict; });
    }
    return 0;
}
}  // namespace detail

// Counts the changes of `dict` in `*version` until `unwatch`; false when no
// watcher is available (the caller then never trusts what it kept).
inline bool watch(PyObject* dict, std::uint64_t* version) {
    detail::WatchRegistry* reg = detail::watch_registry(true);
    if (!reg) return false;
    if (PyDict_Watch(reg->id, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    reg->entries.push_back({dict, version});
    return true;
}
inline void unwatch(std::uint64_t* version) noexcept {
    detail::WatchRegistry* reg = detail::watch_registry(false);
    if (!reg) return;
    std::erase_if(reg->entries, [&](const detail::WatchEntry& e) { return e.version == version; });
}

// ---------------------------------------------------------------------------
// Module state.  Each module derives its own state struct from this one
// (module.hpp constructs it in the module's memory and traverses and clears
// it with the module).
struct ModState {
    PyObject* module = nullptr;    // borrowed: the state lives inside it
    PyObject* globals = nullptr;   // borrowed: the module's dict
    PyObject* builtins = nullptr;  // the builtins seen when the module ran
    PyTypeObject* fn_type = nullptr;
    PyObject** names = nullptr;    // interned str of every "..."_n literal
    std::size_t n_names = 0;

    // Globals read through a name, kept while the module's dict is
    // unchanged: `globals_version` moves before every change of it (and
    // stays 0, trusted by nothing, without a watcher).
    struct GlobalSlot {
        std::uint64_t version;
        PyObject* value;  // borrowed from the dict, valid while it is unchanged
    };
    GlobalSlot* gslots = nullptr;
    std::uint64_t globals_version = 0;

    ModState() = default;
    ModState(const ModState&) = delete;
    ModState& operator=(const ModState&) = delete;
    ~ModState() {
        if (globals_version) unwatch(&globals_version);
        delete[] gslots;
        clear_base();
        // The names stay until the module is freed: a function may still run
        // while the garbage collector takes a cycle apart.
        if (names) {
            for (std::size_t i = 0; i < n_names; ++i) {
                if (names[i]) release_ref(names[i]);
            }
            delete[] names;
        }
    }

    int traverse_base(visitproc visit, void* arg) {
        Py_VISIT(builtins);
        Py_VISIT(fn_type);
        return 0;
    }
    void clear_base() {
        Py_CLEAR(builtins);
        Py_CLEAR(fn_type);
    }
    // Derived states: the objects they hold.
    int traverse(visitproc, void*) { return 0; }
    void clear() {}
};

inline int visit(const Object& o, visitproc visit, void* arg) {
    PyObject* p = o.get();
    Py_VISIT(p);
    return 0;
}

// A module state that holds plain object references only, every one listed
// by the derived state's `each(f)`: traversing and clearing follow from it.
template <class Derived>
struct ObjectsState : ModState {
    int traverse(visitproc visit_fn, void* arg) {
        int r = 0;
        static_cast<Derived*>(this)->each([&](Object& o) {
            if (!r) r = visit(o, visit_fn, arg);
        });
        return r;
    }
    void clear() {
        static_cast<Derived*>(this)->each([](Object& o) { o = {}; });
    }
};

// An attribute of a module that a fast path stands in for (`time.perf_counter`,
// `re.sub`): the module and the attribute as they were at import, and
// whether both still are.  The module's dict is watched, so the attribute
// is looked at again only after that dict changed.
struct ModuleAttr {
    Object module;
    Object original;
    std::uint64_t version = 0;
    std::uint64_t checked = ~std::uint64_t{0};
    bool watched = false;

    ModuleAttr() = default;
    ModuleAttr(const ModuleAttr&) = delete;
    ModuleAttr& operator=(const ModuleAttr&) = delete;
    ~ModuleAttr() {
        if (watched) unwatch(&version);
    }

    void bind(const Object& mod, PyObject* attr_name) {
        module = mod;
        original = module.attr(attr_name);
        PyObject* d = PyModule_Check(mod.get()) ? PyModule_GetDict(mod.get()) : nullptr;
        watched = d && watch(d, &version);
    }
    // Whether `current` (what the module global now holds) is the original
    // module and its attribute `attr_name` the original object.
    bool intact(const Object& current, PyObject* attr_name) {
        if (!watched || !current.is(module)) return false;
        if (checked != version) {
            if (!current.attr(attr_name).is(original)) return false;
            checked = version;
        }
        return true;
    }
    int traverse(visitproc visit, void* arg) {
        Py_VISIT(module.get());
        Py_VISIT(original.get());
        return 0;
    }
    void clear() {
        module = {};
        original = {};
    }
};

// Reads of an instance's fields straight from its own dict, while the
// instance's type is exactly `cls` and that class is unchanged (its version
// tag) since it was found to use the generic attribute lookup and to hold no
// data descriptor under any of the guarded names: attribute access would
// then read the same dict.  Anything else reads by attribute access.
struct FieldGuard {
    Object cls;
    std::vector<PyObject*> names;  // interned, owned by the module state
    // Class attributes that must still be these objects (a method the fast
    // path stands in for).
    std::vector<std::pair<PyObject*, Object>> methods;
    unsigned int version = 0;

    void bind(const Object& c, std::initializer_list<PyObject*> guarded,
              std::initializer_list<std::pair<PyObject*, Object>> own_methods = {}) {
        cls = c;
        names.assign(guarded);
        methods.assign(own_methods.begin(), own_methods.end());
    }
    // Whether `tp` is the class, unchanged since it was last found to have
    // no data descriptor for any guarded name and the expected methods.
    bool holds(PyTypeObject* tp) {
        if (!cls || reinterpret_cast<PyObject*>(tp) != cls.get()) return false;
        if (tp->tp_version_tag == 0 || tp->tp_version_tag != version) {
            if (!PyUnstable_Type_AssignVersionTag(tp)) return false;
            for (PyObject* n : names) {
                Object on_class = cls.attr_opt(n);
                if (on_class && Py_TYPE(on_class.get())->tp_descr_set) return false;
            }
            for (auto& [n, expected] : methods) {
                PyObject* d = PyDict_GetItemWithError(reinterpret_cast<PyTypeObject*>(cls.get())->tp_dict, n);
                if (d != expected.get()) {
                    if (PyErr_Occurred()) fail();
                    return false;
                }
            }
            version = tp->tp_version_tag;
        }
        return true;
    }
    // The instance dict of `obj` when the guard holds, else null.
    Object dict_of(const Object& obj) {
        PyTypeObject* tp = Py_TYPE(obj.get());
        if (tp->tp_getattro != PyObject_GenericGetAttr || !holds(tp)) return {};
        if (!(tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) && tp->tp_dictoffset == 0) return {};
        return Object::steal(PyObject_GenericGetDict(obj.get(), nullptr));
    }
    // obj.<name>, from `fields` (dict_of's answer) when it has it.
    static Object field(const Object& obj, PyObject* name, const Object& fields) {
        if (fields) {
            PyObject* v = PyDict_GetItemWithError(fields.get(), name);
            if (v) return Object::borrow(v);
            if (PyErr_Occurred()) fail();
        }
        return obj.attr(name);
    }
    int traverse(visitproc visit, void* arg) {
        Py_VISIT(cls.get());
        for (auto& m : methods) Py_VISIT(m.second.get());
        return 0;
    }
    void clear() {
        cls = {};
        methods.clear();
    }
};

// What code running in a module works with: its state (names, globals).
struct Ctx {
    ModState* st;

    template <lit S>
    PyObject* operator[](Name<S>) const noexcept {
        return st->names[Name<S>::id];
    }
    template <class S>
    S& state() const noexcept {
        return *static_cast<S*>(st);
    }
    // The interned name as an owned handle.
    template <lit S>
    Object obj(Name<S> n) const noexcept {
        return Object::borrow((*this)[n]);
    }

    // A module global as Python code reads it at each use: the module's
    // dict, then the builtins, else NameError.
    Object global(PyObject* key) const {
        PyObject* out = nullptr;
        if (check_rc(PyDict_GetItemRef(st->globals, key, &out))) return Object::steal(out);
        if (st->builtins && check_rc(PyDict_GetItemRef(st->builtins, key, &out))) return Object::steal(out);
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
        fail();
    }
    template <lit S>
    Object global(Name<S> n) const {
        auto& slot = st->gslots[Name<S>::id];
        if (slot.version == st->globals_version && st->globals_version) return Object::borrow(slot.value);
        PyObject* key = (*this)[n];
        PyObject* v = PyDict_GetItemWithError(st->globals, key);
        if (v) {
            slot = {st->globals_version, v};
            return Object::borrow(v);
        }
        if (PyErr_Occurred()) fail();
        return global(key);
    }
    template <lit S>
    void set_global(Name<S> n, const Object& v) const {
        check_rc(PyDict_SetItem(st->globals, (*this)[n], v.get()));
    }

    // raise NAME(message) [from cause], NAME read from the module globals as
    // a `raise` statement would read it.
    template <lit S>
    [[noreturn]] void raise_global(Name<S> n, Arg message, const Object& cause = {}) const {
        raise_from(global(n), std::move(message), cause);
    }

    // d.get(k, dflt); with a null `dflt`, a null handle when k is absent.
    Object dict_get(const Object& d, PyObject* k, PyObject* dflt = Py_None) const;
};

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
    PyObject* module;       // the defining module (strong): keeps `state` alive
    ModState* state;        // inside `module`
    PyObject* name;
    PyObject* qualname;
    PyObject* modname;
    PyObject* doc;
    PyObject* annotations;
    PyObject* fdict;
    PyObject* owner;        // class the function was defined in (for super())
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

inline PyObject* fn_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    // A native call counts as a Python call does, against the interpreter's
    // recursion limit (sys.setrecursionlimit), and, since it uses the C
    // stack, against the C-level limit too: a cycle of native calls ends in
    // RecursionError, never in a stack overflow.
    PyThreadState* ts = PyThreadState_GetUnchecked();
    if (--ts->py_recursion_remaining < 0 || --ts->c_recursion_remaining < 0) {
        const bool python_level = ts->py_recursion_remaining < 0;
        ++ts->py_recursion_remaining;
        if (!python_level) ++ts->c_recursion_remaining;
        PyErr_SetString(PyExc_RecursionError, python_level ? "maximum recursion depth exceeded"
                                                           : "maximum recursion depth exceeded while calling a Python object");
        return nullptr;
    }
    PyObject* result = nullptr;
    try {
        Call c(f);
        parse(f, args, nargsf, kwnames, c);
        Object r = f->impl(c);
        result = r ? r.release() : Py_NewRef(Py_None);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        set_from_cpp_exception();
        result = nullptr;
    }
    ++ts->py_recursion_remaining;
    ++ts->c_recursion_remaining;
    return result;
}

inline int fn_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->module);
    Py_VISIT(f->annotations);
    Py_VISIT(f->fdict);
    Py_VISIT(f->owner);
    Py_VISIT(f->doc);
    for (int i = 0; i < kMaxParams; ++i) Py_VISIT(f->defaults[i]);
    return 0;
}

inline int fn_clear(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->fdict);
    Py_CLEAR(f->owner);
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
    for (KwSite& site : f->kwsites) Py_CLEAR(site.kwnames);
    // The module goes last: the state it holds outlives everything above.
    Py_CLEAR(f->module);
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

// Every boundary from the interpreter into toolkit code: a C++ exception
// becomes the Python exception it stands for.
template <class F>
auto guarded(F&& f, decltype(f()) on_error) -> decltype(f()) {
    try {
        return f();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        set_from_cpp_exception();
        return on_error;
    }
}

inline PyObject* annotation_of(FunctionObject* f, const char* key) {
    if (!f->annotations || !PyDict_Check(f->annotations)) return nullptr;
    PyObject* a = nullptr;
    check_rc(PyDict_GetItemStringRef(f->annotations, key, &a));
    return a;
}

inline PyObject* fn_get_signature(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return guarded([&]() -> PyObject* {
        Object inspect = import("inspect");
        Object Parameter = Object::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
        Object empty = Object::steal(PyObject_GetAttrString(Parameter.get(), "empty"));
        Object params = list();
        const Sig& s = *f->sig;
        for (int i = 0; i < s.size(); ++i) {
            const Param& p = s.params[i];
            const char* kind_name = p.kind == Kind::Pos      ? "POSITIONAL_OR_KEYWORD"
                                    : p.kind == Kind::KwOnly ? "KEYWORD_ONLY"
                                    : p.kind == Kind::Star   ? "VAR_POSITIONAL"
                                                             : "VAR_KEYWORD";
            Object kind = Object::steal(PyObject_GetAttrString(Parameter.get(), kind_name));
            Object dflt = f->defaults[i] ? Object::borrow(f->defaults[i]) : empty;
            PyObject* a = annotation_of(f, p.name);
            Object ann = a ? Object::steal(a) : empty;
            Object kwargs = dict();
            check_rc(PyDict_SetItemString(kwargs.get(), "default", dflt.get()));
            check_rc(PyDict_SetItemString(kwargs.get(), "annotation", ann.get()));
            append(params, call_star(Parameter, tuple(p.name, kind), kwargs));
        }
        PyObject* r = annotation_of(f, "return");
        Object ret = r ? Object::steal(r) : empty;
        Object kwargs = dict();
        check_rc(PyDict_SetItemString(kwargs.get(), "return_annotation", ret.get()));
        Object Signature = Object::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
        return call_star(Signature, tuple(params), kwargs).release();
    }, nullptr);
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
inline PyObject** str_slot(FunctionObject* f, void* which) {
    return which == nullptr ? &f->name : which == reinterpret_cast<void*>(1) ? &f->qualname : &f->modname;
}
inline PyObject* fn_get_str(PyObject* self, void* which) {
    PyObject* v = *str_slot(reinterpret_cast<FunctionObject*>(self), which);
    return Py_NewRef(v ? v : Py_None);
}
inline int fn_set_str(PyObject* self, PyObject* value, void* which) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (which != reinterpret_cast<void*>(2) && (value == nullptr || !PyUnicode_Check(value))) {
        PyErr_SetString(PyExc_TypeError, "__name__ and __qualname__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(*str_slot(f, which), Py_XNewRef(value ? value : Py_None));
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
// __defaults__ and __kwdefaults__, read as for a Python function.
inline PyObject* fn_get_defaults(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    const Sig& s = *f->sig;
    int first = s.n_pos;
    for (int i = 0; i < s.n_pos; ++i) {
        if (f->defaults[i]) {
            first = i;
            break;
        }
    }
    if (first == s.n_pos) Py_RETURN_NONE;
    PyObject* t = PyTuple_New(s.n_pos - first);
    if (!t) return nullptr;
    for (int i = first; i < s.n_pos; ++i) PyTuple_SET_ITEM(t, i - first, Py_NewRef(f->defaults[i] ? f->defaults[i] : Py_None));
    return t;
}
inline PyObject* fn_get_kwdefaults(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    const Sig& s = *f->sig;
    PyObject* d = nullptr;
    for (int i = 0; i < s.size(); ++i) {
        if (s.params[i].kind != Kind::KwOnly || !f->defaults[i]) continue;
        if (!d && !(d = PyDict_New())) return nullptr;
        if (PyDict_SetItem(d, f->pnames[i], f->defaults[i]) < 0) {
            Py_DECREF(d);
            return nullptr;
        }
    }
    return d ? d : Py_NewRef(Py_None);
}
// Functions pickle by reference: the module and the qualified name, as the
// interpreter's own functions do.
inline PyObject* fn_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
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
        {"__defaults__", fn_get_defaults, nullptr, nullptr, nullptr},
        {"__kwdefaults__", fn_get_kwdefaults, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyMethodDef methods[] = {
        {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
        {nullptr, nullptr, 0, nullptr},
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
        {Py_tp_methods, methods},
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

// How a default is written in a signature line.
inline std::string default_text(const Default& d) {
    switch (d.k) {
        case Default::Missing: return {};
        case Default::NoneV: return "None";
        case Default::Bool: return d.i ? "True" : "False";
        case Default::Int: return std::to_string(d.i);
        case Default::Float: {
            char* s = PyOS_double_to_string(d.d, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
            if (!s) fail();
            std::string out(s);
            PyMem_Free(s);
            return out;
        }
        case Default::Str: {
            Object r = str(d.s).repr();
            return std::string(r.utf8());
        }
        case Default::Slot: return d.s ? d.s : "...";
    }
    return {};
}

}  // namespace detail

// "name(str a: str, b: int = 1, *, c: bool = True) -> None": the first line
// of every docstring, written from the signature.  A parameter whose type is
// enforced carries the type in front; `shown` prefixes the name (a method
// is written "Class.name").
inline std::string signature_line(const Sig& s, const char* prefix = "") {
    std::string out = std::string(prefix) + s.name + "(";
    bool star_seen = false;
    for (int i = 0; i < s.size(); ++i) {
        const Param& p = s.params[i];
        if (i) out += ", ";
        if (p.kind == Kind::KwOnly && !star_seen) {
            out += "*, ";
            star_seen = true;
        }
        if (p.type != Type::Any) out += std::string(detail::type_label(p.type)) + " ";
        if (p.kind == Kind::Star) {
            out += "*";
            star_seen = true;
        }
        if (p.kind == Kind::StarStar) out += "**";
        out += p.name;
        if (p.annotation) out += std::string(": ") + p.annotation;
        if (p.dflt.k != Default::Missing) out += " = " + detail::default_text(p.dflt);
    }
    out += ")";
    if (s.ret) out += std::string(" -> ") + s.ret;
    return out;
}

// Annotation texts of a signature: parameter name -> text, "return" -> text.
inline Object annotations_of(const Sig& s) {
    Object d = dict();
    for (int i = 0; i < s.size(); ++i) {
        const Param& p = s.params[i];
        if (p.annotation) check_rc(PyDict_SetItemString(d.get(), p.name, str(p.annotation).get()));
    }
    if (s.ret) check_rc(PyDict_SetItemString(d.get(), "return", str(s.ret).get()));
    return d;
}

struct FnSpec {
    const Sig& sig;
    Impl impl;
    const char* prose = nullptr;       // the docstring after its signature line
    const char* qualname = nullptr;    // defaults to the signature's name
    std::initializer_list<Object> defaults = {};
    const char* doc_prefix = "";       // "Class." for a method
};

// Creates a function object of the module whose state `cx` is.
inline Object make_function(Ctx cx, const FnSpec& spec) {
    ModState* st = cx.st;
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
    for (int i = 0; i < kMaxParams; ++i) f->defaults[i] = nullptr;
    for (int i = 0; i < kMaxParams; ++i) f->pnames[i] = nullptr;
    for (KwSite& site : f->kwsites) site.kwnames = nullptr;
    f->kw_next = 0;
    Object self = Object::steal(reinterpret_cast<PyObject*>(f));
    f->name = check(PyUnicode_InternFromString(spec.sig.name));
    f->qualname = check(PyUnicode_FromString(spec.qualname ? spec.qualname : spec.sig.name));
    f->modname = check(PyObject_GetAttrString(st->module, "__name__"));
    std::string doc = signature_line(spec.sig, spec.doc_prefix);
    if (spec.prose) doc += std::string("\n\n") + spec.prose;
    f->doc = str(doc).release();
    f->annotations = annotations_of(spec.sig).release();
    for (int i = 0; i < spec.sig.size(); ++i) {
        f->pnames[i] = check(PyUnicode_InternFromString(spec.sig.params[i].name));
        f->defaults[i] = detail::default_value(spec.sig.params[i].dflt, spec.defaults).release();
    }
    PyObject_GC_Track(self.get());
    return self;
}

// ---------------------------------------------------------------------------
// `with mgr: body()` by the context-manager protocol: `__enter__` and
// `__exit__` are looked up on the type, and an `__exit__` that returns a true
// value swallows the body's exception (the block then yields None).
namespace detail {
inline Object special_method(const Object& mgr, PyObject* n) {
    PyObject* tp = reinterpret_cast<PyObject*>(Py_TYPE(mgr.get()));
    PyObject* attr = nullptr;
    check_rc(PyObject_GetOptionalAttr(tp, n, &attr));
    if (!attr) return {};
    Object a = Object::steal(attr);
    descrgetfunc get = Py_TYPE(a.get())->tp_descr_get;
    if (!get) return a;
    return Object::steal(get(a.get(), mgr.get(), tp));
}
}  // namespace detail

template <class Body>
Object with(Ctx cx, const Object& mgr, Body&& body) {
    Object enter = detail::special_method(mgr, cx["__enter__"_n]);
    if (!enter) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                     mgr.type_name());
        fail();
    }
    Object exit = detail::special_method(mgr, cx["__exit__"_n]);
    if (!exit) {
        PyErr_Format(PyExc_TypeError,
                     "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                     mgr.type_name());
        fail();
    }
    enter();
    Object result;
    try {
        if constexpr (std::is_void_v<decltype(body())>) {
            body();
            result = None();
        } else {
            result = body();
        }
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        detail::set_from_cpp_exception();
        Object exc = Object::steal(PyErr_GetRaisedException());
        bool swallow;
        {
            Handling handling(exc);
            Object tb = Object::steal_or_null(PyException_GetTraceback(exc.get()));
            Object type = Object::borrow(Py_TYPE(exc.get()));
            swallow = exit(type, exc, tb ? tb : None()).truthy();
        }
        if (!swallow) {
            PyErr_SetRaisedException(exc.release());
            fail();
        }
        return None();
    }
    exit(Py_None, Py_None, Py_None);
    return result;
}

}  // namespace kit
