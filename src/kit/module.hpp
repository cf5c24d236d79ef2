// Multi-phase module definition, binding module names, imports, and building
// classes by calling their metaclass (so dataclasses and typing.Protocol work
// as they do for classes written in Python).
#pragma once

#include "function.hpp"

namespace kit {

// What a module's exec function works with.
struct Module {
    PyObject* m;  // borrowed
    ModState* st;

    Object dict() const { return Object::borrow(PyModule_GetDict(m)); }
    Object name() const { return Object::steal(PyObject_GetAttrString(m, "__name__")); }

    // Bind a module-level name.
    void set(const char* n, const Object& v) const { check_rc(PyObject_SetAttrString(m, n, v.get())); }
    Object get(const char* n) const { return Object::steal(PyObject_GetAttrString(m, n)); }

    // import X (absolute); returns the top-level module as `import` does
    // for dotted names only when bind is requested by the caller.
    Object import(const char* module) const { return kit::import(module); }

    // from <module> import <names...>, binding each name in this module.
    // `level` 1 is a relative import from this module's package.
    void from_import(const char* module, std::initializer_list<const char*> names, int level = 0) const {
        Object fromlist = Object::steal(PyList_New(0));
        for (const char* n : names) check_rc(PyList_Append(fromlist.get(), str(n).get()));
        Object globals = dict();
        Object mod = Object::steal(
            PyImport_ImportModuleLevel(module, globals.get(), nullptr, fromlist.get(), level));
        for (const char* n : names) {
            PyObject* out = nullptr;
            check_rc(PyObject_GetOptionalAttrString(mod.get(), n, &out));
            if (!out) {
                Object modname = mod.attr_opt("__name__");
                PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%S'", n,
                             modname ? modname.get() : Py_None);
                fail();
            }
            set(n, Object::steal(out));
        }
    }

    // Create a module-level function and bind it under its name.
    Object def(const FnSpec& spec) const {
        Object f = make_function(spec);
        set(spec.sig.name, f);
        return f;
    }
};

// A class body: the namespace that the metaclass is called with.
class ClassDef {
    std::string name_;
    Object ns_;
    std::vector<Object> functions_;

public:
    ClassDef(const Module& mod, const char* name, const char* doc = nullptr) : name_(name), ns_(dict()) {
        check_rc(PyDict_SetItemString(ns_.get(), "__module__", mod.name().get()));
        check_rc(PyDict_SetItemString(ns_.get(), "__qualname__", str(name).get()));
        if (doc) check_rc(PyDict_SetItemString(ns_.get(), "__doc__", str(doc).get()));
    }
    const Object& ns() const { return ns_; }

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
            a = dict();
            attr("__annotations__", a);
        }
        check_rc(PyDict_SetItemString(a.get(), n, v.get()));
        return *this;
    }
    // A method: qualname "<Class>.<name>"; bound through the descriptor
    // protocol like any Python function.
    ClassDef& method(const Sig& sig, Impl impl, const char* doc, std::initializer_list<Object> defaults = {}) {
        std::string qual = name_ + "." + sig.name;
        Object f = make_function(FnSpec{sig, impl, doc, qual.c_str(), defaults});
        attr(sig.name, f);
        functions_.push_back(f);
        return *this;
    }

    // metaclass(name, bases, namespace).  Without an explicit metaclass the
    // one of the first base is used (type for a class without bases).
    Object build(const Object& bases = {}, const Object& metaclass = {}) {
        Object b = bases ? bases : tuple();
        Object meta = metaclass;
        if (!meta) {
            meta = PyTuple_GET_SIZE(b.get()) ? Object::borrow(reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(b.get(), 0))))
                                             : Object::borrow(reinterpret_cast<PyObject*>(&PyType_Type));
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

inline int mod_traverse(PyObject* m, visitproc visit, void* arg) {
    auto* st = static_cast<ModState*>(PyModule_GetState(m));
    if (st) Py_VISIT(st->fn_type);
    return 0;
}
inline int mod_clear(PyObject* m) {
    auto* st = static_cast<ModState*>(PyModule_GetState(m));
    if (st) Py_CLEAR(st->fn_type);
    return 0;
}
inline void mod_free(void* m) {
    auto* st = static_cast<ModState*>(PyModule_GetState(static_cast<PyObject*>(m)));
    if (!st) return;
    Py_CLEAR(st->fn_type);
    delete st->names;
    st->names = nullptr;
}

template <void (*Body)(Module&)>
int exec_trampoline(PyObject* m) {
    auto* st = static_cast<ModState*>(PyModule_GetState(m));
    st->module = m;
    st->globals = PyModule_GetDict(m);
    st->names = new (std::nothrow) NameTable();
    if (!st->names) {
        PyErr_NoMemory();
        return -1;
    }
    StateScope scope(st);
    try {
        st->fn_type = make_function_type(m);
        Module mod{m, st};
        Body(mod);
        return 0;
    } catch (Error&) {
        return -1;
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
        return -1;
    }
}

}  // namespace detail
}  // namespace kit

// Defines PyInit_<NAME> with multi-phase initialisation; BODY binds the
// module's names in order.
#define KIT_MODULE(NAME, BODY)                                                                        \
    static PyModuleDef_Slot NAME##_kit_slots[] = {                                                    \
        {Py_mod_exec, reinterpret_cast<void*>(kit::detail::exec_trampoline<BODY>)},                   \
        {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},                   \
        {0, nullptr}};                                                                                \
    static PyModuleDef NAME##_kit_def = {PyModuleDef_HEAD_INIT,                                       \
                                         #NAME,                                                       \
                                         nullptr,                                                     \
                                         sizeof(kit::ModState),                                       \
                                         nullptr,                                                     \
                                         NAME##_kit_slots,                                            \
                                         kit::detail::mod_traverse,                                   \
                                         kit::detail::mod_clear,                                      \
                                         kit::detail::mod_free};                                      \
    PyMODINIT_FUNC PyInit_##NAME(void) { return PyModuleDef_Init(&NAME##_kit_def); }
