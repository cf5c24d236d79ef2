// Owned references, the error idiom and calling helpers.
//
// One error idiom everywhere: a C++ `kit::Error` is thrown when (and only
// when) a Python exception is set.  Function boundaries catch it and return
// NULL to the interpreter, so module code reads like the Python it mirrors.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kit {

// Thrown while a Python exception is set.
struct Error {};

[[noreturn]] inline void fail() { throw Error{}; }

// NULL means "exception set": turn it into a C++ throw.
inline PyObject* check(PyObject* p) {
    if (!p) fail();
    return p;
}
inline int check_rc(int rc) {
    if (rc < 0) fail();
    return rc;
}

// ---------------------------------------------------------------------------
// Interned names.  Each module keeps its own table (module state), keyed by
// the address of the string literal, so a lookup costs one pointer hash.
struct NameTable {
    // Open addressing on the literal's address, a power-of-two table: a
    // lookup is one multiply, a mask and (almost always) one compare.
    struct Slot {
        const void* key;
        PyObject* value;
    };
    std::vector<Slot> slots = std::vector<Slot>(64, Slot{nullptr, nullptr});
    std::size_t used = 0;

    ~NameTable() {
        for (auto& sl : slots) Py_XDECREF(sl.value);
    }
    static std::size_t hash(const void* k) {
        return static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(k) >> 3) * 0x9E3779B97F4A7C15ull);
    }
    PyObject* get(const char* s) {
        std::size_t mask = slots.size() - 1;
        for (std::size_t i = hash(s) & mask;; i = (i + 1) & mask) {
            if (slots[i].key == s) return slots[i].value;
            if (!slots[i].key) break;
        }
        PyObject* o = check(PyUnicode_InternFromString(s));
        if ((used + 1) * 2 > slots.size()) grow();
        insert(s, o);
        return o;
    }

private:
    void insert(const void* k, PyObject* v) {
        std::size_t mask = slots.size() - 1;
        std::size_t i = hash(k) & mask;
        while (slots[i].key) i = (i + 1) & mask;
        slots[i] = Slot{k, v};
        ++used;
    }
    void grow() {
        std::vector<Slot> old(slots.size() * 2, Slot{nullptr, nullptr});
        old.swap(slots);
        used = 0;
        for (auto& sl : old) {
            if (sl.key) insert(sl.key, sl.value);
        }
    }
};

// Module state: the function type, the interned names and the globals of
// one module.
struct ModState {
    PyTypeObject* fn_type;
    PyObject* module;   // borrowed: the state lives inside it
    PyObject* globals;  // borrowed: the module's dict
    NameTable* names;
};

// The module whose code is running on this thread, switched by every call
// of one of its functions.  One thread-local for everything keeps the
// switch to a single load and store.
inline thread_local ModState* current_state = nullptr;

// Borrowed interned str for a string literal.  Only literals may be passed:
// the table is keyed by address.
template <std::size_t N>
inline PyObject* name(const char (&s)[N]) {
    if (ModState* st = current_state) return st->names->get(s);
    // No module context (should not happen): fall back to the interpreter's
    // own interning, which keeps the string alive for us.
    PyObject* o = check(PyUnicode_InternFromString(s));
    Py_DECREF(o);
    return o;
}

// ---------------------------------------------------------------------------
class Object {
    PyObject* p_ = nullptr;
    explicit Object(PyObject* p, int) noexcept : p_(p) {}

public:
    Object() noexcept = default;
    Object(std::nullptr_t) noexcept {}
    static Object steal(PyObject* p) {
        if (!p) fail();
        return Object(p, 0);
    }
    static Object steal_or_null(PyObject* p) noexcept { return Object(p, 0); }
    static Object borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Object(p, 0);
    }
    Object(const Object& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Object(Object&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Object& operator=(const Object& o) noexcept {
        Py_XINCREF(o.p_);
        PyObject* old = p_;
        p_ = o.p_;
        Py_XDECREF(old);
        return *this;
    }
    Object& operator=(Object&& o) noexcept {
        if (this != &o) {
            PyObject* old = p_;
            p_ = o.p_;
            o.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Object() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    PyObject* new_ref() const noexcept {
        Py_XINCREF(p_);
        return p_;
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    PyTypeObject* type() const noexcept { return Py_TYPE(p_); }
    const char* type_name() const noexcept { return Py_TYPE(p_)->tp_name; }

    bool is(PyObject* o) const noexcept { return p_ == o; }
    bool is(const Object& o) const noexcept { return p_ == o.p_; }
    bool is_none() const noexcept { return p_ == Py_None; }
    bool truthy() const { return check_rc(PyObject_IsTrue(p_)) != 0; }
    bool isinstance(PyObject* cls) const { return check_rc(PyObject_IsInstance(p_, cls)) != 0; }
    bool isinstance(const Object& cls) const { return isinstance(cls.get()); }

    // Attributes.  Literal names go through the interned table.
    template <std::size_t N>
    Object attr(const char (&n)[N]) const {
        return steal(PyObject_GetAttr(p_, name(n)));
    }
    Object attr(const Object& n) const { return steal(PyObject_GetAttr(p_, n.get())); }
    // Attribute or null when missing (AttributeError swallowed).
    template <std::size_t N>
    Object attr_opt(const char (&n)[N]) const {
        PyObject* out = nullptr;
        check_rc(PyObject_GetOptionalAttr(p_, name(n), &out));
        return steal_or_null(out);
    }
    template <std::size_t N>
    bool has_attr(const char (&n)[N]) const {
        return static_cast<bool>(attr_opt(n));
    }
    template <std::size_t N>
    void set_attr(const char (&n)[N], const Object& v) const {
        check_rc(PyObject_SetAttr(p_, name(n), v.get()));
    }

    // Items.
    Object item(const Object& k) const { return steal(PyObject_GetItem(p_, k.get())); }
    Object item(Py_ssize_t i) const { return steal(PySequence_GetItem(p_, i)); }
    void set_item(const Object& k, const Object& v) const { check_rc(PyObject_SetItem(p_, k.get(), v.get())); }
    Py_ssize_t len() const {
        Py_ssize_t n = PyObject_Length(p_);
        if (n < 0) fail();
        return n;
    }

    // Calls: see Arg below; defined after it.
    template <class... A>
    Object operator()(A&&... a) const;
    template <std::size_t N, class... A>
    Object method(const char (&n)[N], A&&... a) const;

    Object str() const { return steal(PyObject_Str(p_)); }
    Object repr() const { return steal(PyObject_Repr(p_)); }
    // UTF-8 view of a str object (valid while the object lives).
    std::string_view utf8() const {
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(p_, &n);
        if (!s) fail();
        return {s, static_cast<std::size_t>(n)};
    }
    bool eq(const Object& o) const { return check_rc(PyObject_RichCompareBool(p_, o.get(), Py_EQ)) != 0; }
    bool lt(const Object& o) const { return check_rc(PyObject_RichCompareBool(p_, o.get(), Py_LT)) != 0; }
    bool le(const Object& o) const { return check_rc(PyObject_RichCompareBool(p_, o.get(), Py_LE)) != 0; }
    bool ge(const Object& o) const { return check_rc(PyObject_RichCompareBool(p_, o.get(), Py_GE)) != 0; }
    bool gt(const Object& o) const { return check_rc(PyObject_RichCompareBool(p_, o.get(), Py_GT)) != 0; }
};

inline Object None() { return Object::borrow(Py_None); }
inline Object True() { return Object::borrow(Py_True); }
inline Object False() { return Object::borrow(Py_False); }
inline Object boolean(bool b) { return Object::borrow(b ? Py_True : Py_False); }
inline Object str(std::string_view s) { return Object::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()))); }
inline Object integer(long long v) { return Object::steal(PyLong_FromLongLong(v)); }
inline Object floating(double v) { return Object::steal(PyFloat_FromDouble(v)); }
inline Object dict() { return Object::steal(PyDict_New()); }
inline Object list() { return Object::steal(PyList_New(0)); }

// ---------------------------------------------------------------------------
// An argument of a call: a borrowed or owned object, optionally a keyword.
struct Arg {
    PyObject* obj = nullptr;
    Object hold;
    PyObject* kw = nullptr;  // interned keyword name, or null for positional

    Arg(const Object& o) noexcept : obj(o.get()) {}
    Arg(Object&& o) noexcept : hold(std::move(o)) { obj = hold.get(); }
    Arg(PyObject* o) noexcept : obj(o) {}
    Arg(const char* s) : hold(Object::steal(PyUnicode_FromString(s))) { obj = hold.get(); }
    Arg(std::string_view s) : hold(str(s)) { obj = hold.get(); }
    Arg(const std::string& s) : hold(str(s)) { obj = hold.get(); }
    Arg(bool b) noexcept : obj(b ? Py_True : Py_False) {}
    Arg(double d) : hold(floating(d)) { obj = hold.get(); }
    template <class T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int> = 0>
    Arg(T v) : hold(integer(static_cast<long long>(v))) {
        obj = hold.get();
    }
};

// A keyword argument: kit::kw("params", value).
template <std::size_t N>
inline Arg kw(const char (&n)[N], Arg a) {
    a.kw = name(n);
    return a;
}

namespace detail {
inline Object vcall(PyObject* callable, PyObject* self, const Arg* args, std::size_t n) {
    // Slot 0 is scratch space (PY_VECTORCALL_ARGUMENTS_OFFSET) or self.
    PyObject* small[12];
    std::vector<PyObject*> big;
    PyObject** stack = small;
    if (n + 1 > 12) {
        big.resize(n + 1);
        stack = big.data();
    }
    std::size_t npos = 0, nkw = 0;
    for (std::size_t i = 0; i < n; ++i) (args[i].kw ? nkw : npos)++;
    Object kwnames;
    if (nkw) kwnames = Object::steal(PyTuple_New(static_cast<Py_ssize_t>(nkw)));
    std::size_t pi = 1, ki = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!args[i].kw) stack[pi++] = args[i].obj;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (args[i].kw) {
            stack[pi++] = args[i].obj;
            PyTuple_SET_ITEM(kwnames.get(), static_cast<Py_ssize_t>(ki++), Py_NewRef(args[i].kw));
        }
    }
    if (self) {
        stack[0] = self;
        return Object::steal(PyObject_VectorcallMethod(callable, stack, (npos + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                       kwnames.get()));
    }
    return Object::steal(PyObject_Vectorcall(callable, stack + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}
}  // namespace detail

template <class... A>
Object Object::operator()(A&&... a) const {
    if constexpr (sizeof...(A) == 0) {
        return steal(PyObject_CallNoArgs(p_));
    } else {
        const Arg args[] = {Arg(std::forward<A>(a))...};
        return detail::vcall(p_, nullptr, args, sizeof...(A));
    }
}

template <std::size_t N, class... A>
Object Object::method(const char (&n)[N], A&&... a) const {
    if constexpr (sizeof...(A) == 0) {
        return steal(PyObject_CallMethodNoArgs(p_, name(n)));
    } else {
        const Arg args[] = {Arg(std::forward<A>(a))...};
        return detail::vcall(name(n), p_, args, sizeof...(A));
    }
}

// callable(*args, **kwargs)
inline Object call_star(const Object& callable, const Object& args, const Object& kwargs) {
    return Object::steal(PyObject_Call(callable.get(), args.get(), kwargs ? kwargs.get() : nullptr));
}

template <class... A>
inline Object tuple(A&&... a) {
    const Arg args[] = {Arg(std::forward<A>(a))...};
    Object t = Object::steal(PyTuple_New(sizeof...(A)));
    for (std::size_t i = 0; i < sizeof...(A); ++i) PyTuple_SET_ITEM(t.get(), i, Py_NewRef(args[i].obj));
    return t;
}
inline Object tuple() { return Object::steal(PyTuple_New(0)); }

// "".join of str pieces (each must be a str).
inline Object cat(std::initializer_list<Arg> parts) {
    Object t = Object::steal(PyTuple_New(static_cast<Py_ssize_t>(parts.size())));
    Py_ssize_t i = 0;
    for (const Arg& a : parts) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(a.obj));
    Object empty = Object::steal(PyUnicode_FromStringAndSize("", 0));
    return Object::steal(PyUnicode_Join(empty.get(), t.get()));
}

// format(value, spec)
inline Object format(const Object& v, const char* spec) {
    Object s = Object::steal(PyUnicode_FromString(spec));
    return Object::steal(PyObject_Format(v.get(), s.get()));
}

inline Object import(const char* module) { return Object::steal(PyImport_ImportModule(module)); }

// from <module> import <name>, at the moment it is needed.
inline Object import_name(const char* module, const char* n) {
    Object mod = import(module);
    PyObject* out = nullptr;
    check_rc(PyObject_GetOptionalAttrString(mod.get(), n, &out));
    if (!out) {
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", n, module);
        fail();
    }
    return Object::steal(out);
}

// ---------------------------------------------------------------------------
// Raising.
[[noreturn]] inline void raise(PyObject* type, const char* msg) {
    PyErr_SetString(type, msg);
    fail();
}
[[noreturn]] inline void raise(PyObject* type, const Object& msg) {
    PyErr_SetObject(type, msg.get());
    fail();
}
// raise <exception instance>.  Anything else (a rebound exception name that
// produced some other object) is refused as Python's raise refuses it.
[[noreturn]] inline void raise(Object exc) {
    if (!exc || !PyExceptionInstance_Check(exc.get())) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        fail();
    }
    PyErr_SetRaisedException(exc.release());
    fail();
}
// raise <exception instance> from cause   (the cause is also the context,
// as it is when Python code raises inside an except clause)
[[noreturn]] inline void raise_from(Object exc, const Object& cause) {
    if (cause && exc && PyExceptionInstance_Check(exc.get())) {
        PyException_SetContext(exc.get(), cause.new_ref());
        PyException_SetCause(exc.get(), cause.new_ref());
    }
    raise(std::move(exc));
}
// raise type(msg) from cause
[[noreturn]] inline void raise_from(const Object& type, Arg msg, const Object& cause) {
    Object exc = type(std::move(msg));
    raise_from(std::move(exc), cause);
}

// Inside `catch (kit::Error&)`: the pending exception if it is an instance
// of `cls` (taken out of the error indicator), otherwise rethrow it.
inline Object catch_if(PyObject* cls) {
    if (!PyErr_ExceptionMatches(cls)) throw;
    return Object::steal(PyErr_GetRaisedException());
}
inline Object catch_if(const Object& cls) { return catch_if(cls.get()); }

// Inside a handler: raise `exc` with the handled exception as its context.
[[noreturn]] inline void raise_in_handler(const Object& handled) {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc && handled) PyException_SetContext(exc, handled.new_ref());
    PyErr_SetRaisedException(exc);
    fail();
}

// The body of an `except` clause: while it lives, `exc` is the exception
// being handled (sys.exc_info(), logging's exc_info, and the automatic
// __context__ of anything raised meanwhile).
class Handling {
    PyObject* saved_;

public:
    explicit Handling(const Object& exc) noexcept : saved_(PyErr_GetHandledException()) {
        PyErr_SetHandledException(exc.get());
    }
    ~Handling() {
        PyErr_SetHandledException(saved_);
        Py_XDECREF(saved_);
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;
};

// try: body() finally: fin().  An exception from fin replaces the body's,
// which becomes its context, as in Python.
template <class Body, class Fin>
auto try_finally(Body&& body, Fin&& fin) -> decltype(body()) {
    using R = decltype(body());
    // Only the body is guarded: an exception from fin on the success path
    // must not run fin a second time.
    auto on_error = [&] {
        PyObject* exc = PyErr_GetRaisedException();
        try {
            fin();
        } catch (Error&) {
            PyObject* exc2 = PyErr_GetRaisedException();
            if (exc2 && exc) PyException_SetContext(exc2, exc);
            else Py_XDECREF(exc);
            PyErr_SetRaisedException(exc2);
            throw;
        }
        PyErr_SetRaisedException(exc);
    };
    if constexpr (std::is_void_v<R>) {
        try {
            body();
        } catch (Error&) {
            on_error();
            throw;
        }
        fin();
    } else {
        R r;
        try {
            r = body();
        } catch (Error&) {
            on_error();
            throw;
        }
        fin();
        return r;
    }
}

// with lock: body()
template <class Body>
auto with_lock(const Object& lock, Body&& body) -> decltype(body()) {
    lock.method("acquire");
    return try_finally(std::forward<Body>(body), [&] { lock.method("release"); });
}

// ---------------------------------------------------------------------------
// The Conventions' type errors.
[[noreturn]] inline void arg_type_error(const char* argname, const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", argname,
                 expected, Py_TYPE(got)->tp_name);
    fail();
}
// A local declared Optional[str]: enforced when assigned.
inline void expect_opt_str(PyObject* v) {
    if (v != Py_None && !PyUnicode_CheckExact(v)) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(v)->tp_name);
        fail();
    }
}

}  // namespace kit
