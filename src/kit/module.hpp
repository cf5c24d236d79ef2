// Multi-phase module definition with typed module state, binding module
// names, imports, and building classes by calling their metaclass (so
// dataclasses and typing.Protocol work as they do for classes written in
// Python).
#pragma once

#include "function.hpp"

namespace kit {

// What a module's exec function works with.
struct Module {
    PyObject* m;  // borrowed
    Ctx cx;

    template <class S>
    S& state() const noexcept {
        return cx.state<S>();
    }
    Object dict() const { return Object::borrow(PyModule_GetDict(m)); }
    Object name() const { return Object::steal(PyObject_GetAttrString(m, "__name__")); }

    // Bind a module-level name.
    void set(const char* n, const Object& v) const { check_rc(PyObject_SetAttrString(m, n, v.get())); }
    Object get(const char* n) const { return Object::steal(PyObject_GetAttrString(m, n)); }

    // from <module> import <names...>, binding each name in this module;
    // gives back <module>.  `level` 1 is a relative import from this
    // module's package.
    Object from_import(const char* module, std::initializer_list<const char*> names, int level = 0) const {
        Object fromlist = Object::steal(PyList_New(0));
        for (const char* n : names) append(fromlist, str(n));
        Object globals = dict();
        Object mod = Object::steal(PyImport_ImportModuleLevel(module, globals.get(), nullptr, fromlist.get(), level));
        for (const char* n : names) {
            PyObject* out = nullptr;
            check_rc(PyObject_GetOptionalAttrString(mod.get(), n, &out));
            if (!out) {
                Object modname = Object::steal_or_null(PyObject_GetAttrString(mod.get(), "__name__"));
                PyErr_Clear();
                PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%S'", n,
                             modname ? modname.get() : Py_None);
                fail();
            }
            set(n, Object::steal(out));
        }
        return mod;
    }

    // Create a module-level function and bind it under its name.
    Object def(const Sig& sig, Impl impl, const char* prose = nullptr,
               std::initializer_list<Object> defaults = {}) const {
        Object f = make_function(cx, FnSpec{sig, impl, prose, nullptr, defaults});
        set(sig.name, f);
        return f;
    }

    // __all__ = [names...]
    void set_all(std::initializer_list<const char*> names) const {
        Object all = list();
        for (const char* n : names) append(all, str(n));
        set("__all__", all);
    }
};

// A class body: the namespace that the metaclass is called with.
class ClassDef {
    Ctx cx_;
    std::string name_;
    std::string prefix_;
    Object ns_;
    std::vector<Object> functions_;

public:
    ClassDef(const Module& mod, const char* name, const char* doc = nullptr)
        : cx_(mod.cx), name_(name), prefix_(std::string(name) + "."), ns_(kit::dict()) {
        check_rc(PyDict_SetItemString(ns_.get(), "__module__", mod.name().get()));
        check_rc(PyDict_SetItemString(ns_.get(), "__qualname__", str(name).get()));
        if (doc) check_rc(PyDict_SetItemString(ns_.get(), "__doc__", str(doc).get()));
    }

    ClassDef& attr(const char* n, const Object& v) {
        check_rc(PyDict_SetItemString(ns_.get(), n, v.get()));
        return *this;
    }
    // Class-level annotations: name -> annotation object (a type or a text).
    ClassDef& annotate(const char* n, const Object& v) {
        PyObject* ann = nullptr;
        check_rc(PyDict_GetItemStringRef(ns_.get(), "__annotations__", &ann));
        Object a = Object::steal_or_null(ann);
        if (!a) {
            a = kit::dict();
            attr("__annotations__", a);
        }
        check_rc(PyDict_SetItemString(a.get(), n, v.get()));
        return *this;
    }
    // A method: qualname "<Class>.<name>"; bound through the descriptor
    // protocol like any Python function.  Returns the function object.
    Object method(const Sig& sig, Impl impl, const char* prose = nullptr, std::initializer_list<Object> defaults = {}) {
        std::string qual = prefix_ + sig.name;
        Object f = make_function(cx_, FnSpec{sig, impl, prose, qual.c_str(), defaults, prefix_.c_str()});
        attr(sig.name, f);
        functions_.push_back(f);
        return f;
    }

    // metaclass(name, bases, namespace).  Without an explicit metaclass the
    // one of the first base is used (type for a class without bases).
    Object build(const Object& bases = {}, const Object& metaclass = {}) {
        Object b = bases ? bases : tuple();
        Object meta = metaclass;
        if (!meta) {
            meta = PyTuple_GET_SIZE(b.get()) ? Object::borrow(Py_TYPE(PyTuple_GET_ITEM(b.get(), 0)))
                                             : Object::borrow(&PyType_Type);
        }
        Object cls = meta(str(name_), b, ns_);
        // The class is each method's __class__ (what zero-argument super uses).
        for (Object& f : functions_) {
            auto* fo = reinterpret_cast<FunctionObject*>(f.get());
            Py_XSETREF(fo->owner, cls.new_ref());
        }
        return cls;
    }
};

namespace detail {

template <class S>
S* state_of(PyObject* m) {
    auto* st = static_cast<S*>(PyModule_GetState(m));
    return st && st->module ? st : nullptr;
}

template <class S>
int mod_traverse(PyObject* m, visitproc visit, void* arg) {
    if (S* st = state_of<S>(m)) {
        if (int r = st->traverse_base(visit, arg)) return r;
        return st->traverse(visit, arg);
    }
    return 0;
}
template <class S>
int mod_clear(PyObject* m) {
    if (S* st = state_of<S>(m)) {
        st->clear();
        st->clear_base();
    }
    return 0;
}
template <class S>
void mod_free(void* m) {
    if (S* st = state_of<S>(static_cast<PyObject*>(m))) st->~S();
}

inline constexpr Sig fast_paths_sig{"__fast_paths__", {arg("enabled").def_none()}, "dict"};

// __fast_paths__(enabled=None): {name: (taken, declined)} for this module's
// fast paths; True or False switches every fast path of the package.  For
// the tests: the suites run with fast paths on and off.
inline Object fast_paths_impl(Call& c) {
    Object enabled = c[fast_paths_sig["enabled"]];
    install_fast_switch();
    if (!enabled.is_none()) {
        if (!fast_off) raise(PyExc_RuntimeError, "fast paths cannot be switched here");
        fast_off->store(!enabled.truthy(), std::memory_order_relaxed);
    }
    Object out = kit::dict();
    for (const FastPath* p : c.st->fast_paths) {
        check_rc(PyDict_SetItem(
            out.get(), str(p->name).get(),
            tuple(integer(static_cast<long long>(p->taken)), integer(static_cast<long long>(p->declined))).get()));
    }
    return out;
}

template <class S, void (*Body)(Module&)>
int exec_trampoline(PyObject* m) {
    void* mem = PyModule_GetState(m);
    S* st = new (mem) S();
    st->module = m;
    st->globals = PyModule_GetDict(m);
    return guarded(
        [&]() -> int {
            install_exit_flag();
            install_fast_switch();
            st->builtins = Py_XNewRef(PyEval_GetBuiltins());
            const auto& reg = name_registry();
            st->names = new PyObject*[reg.size()]();
            st->n_names = reg.size();
            for (std::size_t i = 0; i < reg.size(); ++i) st->names[i] = check(PyUnicode_InternFromString(reg[i]));
            st->gslots = new ModState::GlobalSlot[reg.size()]();
            if (watch(st->globals, &st->globals_version)) st->globals_version = 1;
            st->fn_type = make_function_type(m);
            Module mod{m, Ctx{st}};
            Body(mod);
            mod.set("__fast_paths__", make_function(mod.cx, FnSpec{fast_paths_sig, fast_paths_impl}));
            return 0;
        },
        -1);
}

}  // namespace detail
}  // namespace kit

// Defines PyInit_<NAME> with multi-phase initialisation.  STATE is the
// module's state struct (derived from kit::ModState); BODY binds the module's
// names in order; DOC is the module's docstring.
#define KIT_MODULE(NAME, STATE, BODY, DOC)                                                 \
    static PyModuleDef_Slot NAME##_kit_slots[] = {                                         \
        {Py_mod_exec, reinterpret_cast<void*>(kit::detail::exec_trampoline<STATE, BODY>)}, \
        {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},        \
        {0, nullptr}};                                                                     \
    static PyModuleDef NAME##_kit_def = {PyModuleDef_HEAD_INIT,                            \
                                         #NAME,                                            \
                                         DOC,                                              \
                                         sizeof(STATE),                                    \
                                         nullptr,                                          \
                                         NAME##_kit_slots,                                 \
                                         kit::detail::mod_traverse<STATE>,                 \
                                         kit::detail::mod_clear<STATE>,                    \
                                         kit::detail::mod_free<STATE>};                    \
    PyMODINIT_FUNC PyInit_##NAME(void) { return PyModuleDef_Init(&NAME##_kit_def); }
