// The function type: a native function that binds as a method, and the `with` protocol.
#pragma once

#include "docstring.hpp"

#include <structmember.h>

#include <pthread.h>

namespace kit {

namespace detail {
#if PY_VERSION_HEX < 0x030E0000
// 3.13's Py_EnterRecursiveCall counts levels only: on a small stack (a thread
// made after threading.stack_size(512 KiB), a low `ulimit -s` with a raised
// recursion limit) a cycle of native calls overflows it before the count
// stops it.  So native levels also compare the real stack with the thread's
// bounds, read once per thread; 3.14 makes the same check itself inside
// Py_EnterRecursiveCall.  Greenlets run on their thread's stack, so its
// bounds hold for them too.
struct StackFloor {
    std::uintptr_t floor = 0;  // RecursionError below this address
    bool known = false;
};
// Initial-exec: one load per call instead of a call into the dynamic linker;
// the libc keeps room for a few bytes of such storage in libraries loaded
// later.
inline thread_local StackFloor t_stack_floor __attribute__((tls_model("initial-exec")));

inline bool stack_exhausted() noexcept {
    StackFloor& s = t_stack_floor;
    if (!s.known) [[unlikely]] {
        s.known = true;
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* low = nullptr;
            std::size_t size = 0;
            if (pthread_attr_getstack(&attr, &low, &size) == 0 && low) {
                // Room kept for what runs after the last native level: the
                // interpreter raising, a finaliser, a logging handler.
                const std::size_t margin = size / 4 < 256 * 1024 ? size / 4 : 256 * 1024;
                s.floor = reinterpret_cast<std::uintptr_t>(low) + margin;
            }
            pthread_attr_destroy(&attr);
        }
    }
    return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) < s.floor;
}
#endif

inline PyObject* fn_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    // A native call is a level of recursion as a call into C is for the
    // interpreter: a cycle of native calls ends in RecursionError, never in
    // a stack overflow.
#if PY_VERSION_HEX < 0x030E0000
    if (stack_exhausted()) [[unlikely]] {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while calling a Python object");
        return nullptr;
    }
#endif
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
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
    Py_LeaveRecursiveCall();
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
    return guarded(
        [&]() -> PyObject* {
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
        },
        nullptr);
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
    for (int i = first; i < s.n_pos; ++i)
        PyTuple_SET_ITEM(t, i - first, Py_NewRef(f->defaults[i] ? f->defaults[i] : Py_None));
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
}  // namespace detail

struct FnSpec {
    const Sig& sig;
    Impl impl;
    const char* prose = nullptr;     // the docstring after its signature line
    const char* qualname = nullptr;  // defaults to the signature's name
    std::initializer_list<Object> defaults = {};
    const char* doc_prefix = "";  // "Class." for a method
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

// The statement's own error for a manager that lacks a special method; 3.14
// names the type by its fully qualified name.
[[noreturn]] inline void no_context_manager(const Object& mgr, const char* missed) {
#if PY_VERSION_HEX >= 0x030E0000
    PyErr_Format(PyExc_TypeError, "'%T' object does not support the context manager protocol%s", mgr.get(), missed);
#else
    PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol%s", mgr.type_name(),
                 missed);
#endif
    fail();
}

template <class Body>
Object with(Ctx cx, const Object& mgr, Body&& body) {
#if PY_VERSION_HEX >= 0x030E0000
    // From 3.14 the statement looks __exit__ up first.
    Object exit = detail::special_method(mgr, cx["__exit__"_n]);
    if (!exit) no_context_manager(mgr, " (missed __exit__ method)");
    Object enter = detail::special_method(mgr, cx["__enter__"_n]);
    if (!enter) no_context_manager(mgr, " (missed __enter__ method)");
#else
    Object enter = detail::special_method(mgr, cx["__enter__"_n]);
    if (!enter) no_context_manager(mgr, "");
    Object exit = detail::special_method(mgr, cx["__exit__"_n]);
    if (!exit) no_context_manager(mgr, " (missed __exit__ method)");
#endif
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
