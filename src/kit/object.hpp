// Owned references, the error idiom, interned names and calling helpers.
//
// One error idiom everywhere: a C++ `kit::Error` is thrown when (and only
// when) a Python exception is set.  Function boundaries catch it and return
// NULL to the interpreter, so module code reads like the Python it mirrors.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cxxabi.h>
#include <initializer_list>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
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

// A reference may only be dropped by a thread that holds a thread state.  A
// daemon thread that wakes during interpreter shutdown is ended by a forced
// unwind (pthread_exit) from inside the interpreter, without one: its
// references are then left alone (the process is going away) rather than
// released without the interpreter's protection.  That only happens once the
// interpreter finalises, and it starts to only after running its exit
// callbacks, one of which sets `exit_flag` (see install_exit_flag): until
// then a release is one inline load away from Py_DECREF.  Before the flag
// exists every release asks the interpreter.
inline std::atomic<bool>* exit_flag = nullptr;  // this shared object's view of the package's flag

inline void release_ref(PyObject* p) noexcept {
    std::atomic<bool>* exiting = exit_flag;
    if ((exiting && !exiting->load(std::memory_order_relaxed)) || !Py_IsFinalizing() || PyThreadState_GetUnchecked())
        Py_DECREF(p);
}

// ---------------------------------------------------------------------------
// Interned names.  Every literal written as "name"_n gets an index, fixed
// when the module's shared object loads; each module's state holds the
// interned str of every index (created once, in its exec function), so a
// name costs one array load at the point of use.
template <std::size_t N>
struct lit {
    char s[N];
    constexpr lit(const char (&a)[N]) {
        for (std::size_t i = 0; i < N; ++i) s[i] = a[i];
    }
};

namespace detail {
inline std::vector<const char*>& name_registry() {
    static std::vector<const char*> r;
    return r;
}
inline std::size_t register_name(const char* s) {
    auto& r = name_registry();
    r.push_back(s);
    return r.size() - 1;
}
}  // namespace detail

template <lit S>
struct Name {
    static inline const std::size_t id = detail::register_name(S.s);
    static constexpr const char* text() { return S.s; }
};

inline namespace literals {
template <lit S>
constexpr Name<S> operator""_n() {
    return {};
}
}  // namespace literals

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
    static Object borrow(PyTypeObject* t) noexcept { return borrow(reinterpret_cast<PyObject*>(t)); }
    Object(const Object& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Object(Object&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Object& operator=(const Object& o) noexcept {
        Py_XINCREF(o.p_);
        PyObject* old = p_;
        p_ = o.p_;
        if (old) release_ref(old);
        return *this;
    }
    Object& operator=(Object&& o) noexcept {
        if (this != &o) {
            PyObject* old = p_;
            p_ = o.p_;
            o.p_ = nullptr;
            if (old) release_ref(old);
        }
        return *this;
    }
    ~Object() {
        if (p_) release_ref(p_);
    }

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

    // Attributes, by name object (usually an interned name from the state).
    Object attr(PyObject* n) const { return steal(PyObject_GetAttr(p_, n)); }
    Object attr(const Object& n) const { return attr(n.get()); }
    // Attribute or null when missing (AttributeError swallowed).
    Object attr_opt(PyObject* n) const {
        PyObject* out = nullptr;
        check_rc(PyObject_GetOptionalAttr(p_, n, &out));
        return steal_or_null(out);
    }
    void set_attr(PyObject* n, const Object& v) const { check_rc(PyObject_SetAttr(p_, n, v.get())); }

    // Items.
    Object item(const Object& k) const { return steal(PyObject_GetItem(p_, k.get())); }
    Object item(PyObject* k) const { return steal(PyObject_GetItem(p_, k)); }
    template <class I, std::enable_if_t<std::is_integral_v<I>, int> = 0>
    Object item(I i) const {
        return steal(PySequence_GetItem(p_, static_cast<Py_ssize_t>(i)));
    }
    void set_item(const Object& k, const Object& v) const { check_rc(PyObject_SetItem(p_, k.get(), v.get())); }
    void set_item(PyObject* k, const Object& v) const { check_rc(PyObject_SetItem(p_, k, v.get())); }
    Py_ssize_t len() const {
        Py_ssize_t n = PyObject_Length(p_);
        if (n < 0) fail();
        return n;
    }

    // Calls: see Arg below; defined after it.
    template <class... A>
    Object operator()(A&&... a) const;
    template <class... A>
    Object method(PyObject* n, A&&... a) const;

    Object str() const { return steal(PyObject_Str(p_)); }
    Object repr() const { return steal(PyObject_Repr(p_)); }
    // UTF-8 view of a str object (valid while the object lives).
    std::string_view utf8() const {
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(p_, &n);
        if (!s) fail();
        return {s, static_cast<std::size_t>(n)};
    }
    // Rich comparisons as Python evaluates them (no identity shortcut).
    bool eq(const Object& o) const { return check_rc(PyObject_RichCompareBool(p_, o.get(), Py_EQ)) != 0; }
    bool lt(const Object& o) const { return check_rc(PyObject_RichCompareBool(p_, o.get(), Py_LT)) != 0; }
    bool le(const Object& o) const { return check_rc(PyObject_RichCompareBool(p_, o.get(), Py_LE)) != 0; }
    bool ge(const Object& o) const { return check_rc(PyObject_RichCompareBool(p_, o.get(), Py_GE)) != 0; }
    bool gt(const Object& o) const { return check_rc(PyObject_RichCompareBool(p_, o.get(), Py_GT)) != 0; }
    bool ne(const Object& o) const { return Object::steal(PyObject_RichCompare(p_, o.get(), Py_NE)).truthy(); }
    // The comparison's own result object (a == b, a >= b ...).
    Object compare(const Object& o, int op) const { return steal(PyObject_RichCompare(p_, o.get(), op)); }
};

inline Object None() { return Object::borrow(Py_None); }
inline Object True() { return Object::borrow(Py_True); }
inline Object False() { return Object::borrow(Py_False); }
inline Object boolean(bool b) { return Object::borrow(b ? Py_True : Py_False); }
inline Object str(std::string_view s) {
    return Object::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
inline Object integer(long long v) { return Object::steal(PyLong_FromLongLong(v)); }
inline Object floating(double v) { return Object::steal(PyFloat_FromDouble(v)); }
inline Object dict() { return Object::steal(PyDict_New()); }
inline Object list() { return Object::steal(PyList_New(0)); }
inline Object type(PyTypeObject* t) { return Object::borrow(t); }

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

// A keyword argument: kit::kw(cx["params"_n], value).
inline Arg kw(PyObject* name, Arg a) {
    a.kw = name;
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
        return Object::steal(
            PyObject_VectorcallMethod(callable, stack, (npos + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
    }
    return Object::steal(
        PyObject_Vectorcall(callable, stack + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
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

template <class... A>
Object Object::method(PyObject* n, A&&... a) const {
    if constexpr (sizeof...(A) == 0) {
        return steal(PyObject_CallMethodNoArgs(p_, n));
    } else {
        const Arg args[] = {Arg(std::forward<A>(a))...};
        return detail::vcall(n, p_, args, sizeof...(A));
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

template <class... A>
inline Object list_of(A&&... a) {
    const Arg args[] = {Arg(std::forward<A>(a))...};
    Object l = Object::steal(PyList_New(sizeof...(A)));
    for (std::size_t i = 0; i < sizeof...(A); ++i) PyList_SET_ITEM(l.get(), i, Py_NewRef(args[i].obj));
    return l;
}
inline void append(const Object& list, const Object& v) { check_rc(PyList_Append(list.get(), v.get())); }

// A piece of text to join: a str object, or UTF-8 text that becomes part
// of the result without an object of its own when it is ASCII.
struct Piece {
    PyObject* obj = nullptr;
    Object hold;
    const char* text = nullptr;
    Py_ssize_t len = 0;

    Piece(const Object& o) noexcept : obj(o.get()) {}
    Piece(Object&& o) noexcept : hold(std::move(o)) { obj = hold.get(); }
    Piece(PyObject* o) noexcept : obj(o) {}
    Piece(const char* s) noexcept : text(s), len(static_cast<Py_ssize_t>(std::strlen(s))) {}

    bool ascii_text() const noexcept {
        for (Py_ssize_t i = 0; i < len; ++i) {
            if (static_cast<unsigned char>(text[i]) > 127) return false;
        }
        return true;
    }
    // The piece as an object of its own (text becomes a new str).
    Object as_object() const {
        return obj ? Object::borrow(obj) : Object::steal(PyUnicode_FromStringAndSize(text, len));
    }
};

// "".join(pieces): exact str objects and ASCII text are copied into one new
// string; anything else goes through str.join, with its TypeError for a
// piece that is not a str.
inline Object cat(std::initializer_list<Piece> parts) {
    Py_UCS4 maxchar = 127;
    Py_ssize_t total = 0;
    bool direct = true;
    for (const Piece& p : parts) {
        if (p.obj) {
            if (!PyUnicode_CheckExact(p.obj)) {
                direct = false;
                break;
            }
            Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(p.obj);
            if (m > maxchar) maxchar = m;
            total += PyUnicode_GET_LENGTH(p.obj);
        } else {
            if (!p.ascii_text()) {
                direct = false;
                break;
            }
            total += p.len;
        }
    }
    if (direct) {
        Object out = Object::steal(PyUnicode_New(total, maxchar));
        const int kind = PyUnicode_KIND(out.get());
        void* data = PyUnicode_DATA(out.get());
        Py_ssize_t at = 0;
        for (const Piece& p : parts) {
            if (p.obj) {
                const Py_ssize_t n = PyUnicode_GET_LENGTH(p.obj);
                if (n) check_rc(static_cast<int>(PyUnicode_CopyCharacters(out.get(), at, p.obj, 0, n) < 0 ? -1 : 0));
                at += n;
            } else {
                for (Py_ssize_t i = 0; i < p.len; ++i)
                    PyUnicode_WRITE(kind, data, at++, static_cast<unsigned char>(p.text[i]));
            }
        }
        return out;
    }
    Object t = Object::steal(PyTuple_New(static_cast<Py_ssize_t>(parts.size())));
    Py_ssize_t i = 0;
    for (const Piece& p : parts) PyTuple_SET_ITEM(t.get(), i++, p.as_object().release());
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
// Python's everyday operations, with Python's own errors.
inline Object add(const Object& a, const Object& b) { return Object::steal(PyNumber_Add(a.get(), b.get())); }
inline Object sub(const Object& a, const Object& b) { return Object::steal(PyNumber_Subtract(a.get(), b.get())); }
inline Object mul(const Object& a, const Object& b) { return Object::steal(PyNumber_Multiply(a.get(), b.get())); }
inline Object truediv(const Object& a, const Object& b) { return Object::steal(PyNumber_TrueDivide(a.get(), b.get())); }

// a < b, with the interpreter's own answer; exact small ints and exact floats
// (the common operands of counters and clocks) are compared directly.
inline bool less(PyObject* a, PyObject* b) {
    if (PyLong_CheckExact(a) && PyLong_CheckExact(b) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(a)) &&
        PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(b)))
        return PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(a)) <
               PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(b));
    if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) return PyFloat_AS_DOUBLE(a) < PyFloat_AS_DOUBLE(b);
    return check_rc(PyObject_RichCompareBool(a, b, Py_LT)) != 0;
}

// x in container
inline bool contains(const Object& container, const Object& x) {
    return check_rc(PySequence_Contains(container.get(), x.get())) != 0;
}

// n / d truncated toward zero, computed exactly on integers (never through a
// float: 29 * 100 / 100 must give 29, not 28).  ZeroDivisionError as Python.
inline Object trunc_div(const Object& n, const Object& d) {
    if (PyLong_CheckExact(n.get()) && PyLong_CheckExact(d.get())) {
        int on = 0, od = 0;
        long long a = PyLong_AsLongLongAndOverflow(n.get(), &on);
        if (a == -1 && PyErr_Occurred()) fail();
        long long b = PyLong_AsLongLongAndOverflow(d.get(), &od);
        if (b == -1 && PyErr_Occurred()) fail();
        if (!on && !od && b != 0 && !(a == INT64_MIN && b == -1)) return integer(a / b);
    }
    Object qr = Object::steal(PyNumber_Divmod(n.get(), d.get()));
    Object q = qr.item(0), r = qr.item(1);
    Object zero = integer(0);
    // Floor division rounds the other way when the signs differ.
    if (r.truthy() && (n.lt(zero) != d.lt(zero))) q = add(q, integer(1));
    return q;
}

// for item in iterable: ...   Iteration stops at exhaustion; an error raised
// by the iterator is thrown from the increment.
class Iter {
    Object it_;
    Object cur_;

    void next() {
        cur_ = Object::steal_or_null(PyIter_Next(it_.get()));
        if (!cur_ && PyErr_Occurred()) fail();
    }

public:
    explicit Iter(const Object& iterable) : it_(Object::steal(PyObject_GetIter(iterable.get()))) {}
    struct End {};
    struct It {
        Iter* owner;
        const Object& operator*() const { return owner->cur_; }
        It& operator++() {
            owner->next();
            return *this;
        }
        bool operator!=(End) const { return static_cast<bool>(owner->cur_); }
    };
    It begin() {
        next();
        return It{this};
    }
    End end() { return {}; }
};
inline Iter iter(const Object& iterable) { return Iter(iterable); }

// a, b, ... = value, with the interpreter's messages.
template <std::size_t N>
std::array<Object, N> unpack(const Object& value);

// Snapshot of a dict's items, so that code run while walking them cannot
// disturb the walk.
inline Object dict_items(const Object& d) { return Object::steal(PyDict_Items(d.get())); }

// d.get(k, dflt): an exact dict directly; anything else (a subclass, or any
// mapping) through its own `get`, as Python code calling `.get` would.
// A null `dflt` gives a null handle for an absent key.
inline Object dict_get(const Object& d, PyObject* k, PyObject* dflt, PyObject* get_name) {
    if (PyDict_CheckExact(d.get())) {
        PyObject* out = nullptr;
        if (check_rc(PyDict_GetItemRef(d.get(), k, &out))) return Object::steal(out);
        return Object::borrow(dflt);
    }
    if (!dflt) {
        Object missing = Object::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
        Object v = d.method(get_name, k, missing);
        return v.is(missing) ? Object() : v;
    }
    return d.method(get_name, k, dflt);
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
    if (cause && exc && PyExceptionInstance_Check(exc.get()) && exc.get() != cause.get()) {
        PyException_SetContext(exc.get(), cause.new_ref());
        PyException_SetCause(exc.get(), cause.new_ref());
    }
    raise(std::move(exc));
}
// raise type(msg) [from cause]
[[noreturn]] inline void raise_from(const Object& type, Arg msg, const Object& cause) {
    Object exc = type(std::move(msg));
    if (cause) raise_from(std::move(exc), cause);
    raise(std::move(exc));
}

// Inside `catch (kit::Error&)`: the pending exception if it is an instance
// of `cls` (taken out of the error indicator), otherwise rethrow it.
inline Object catch_if(PyObject* cls) {
    if (!PyErr_ExceptionMatches(cls)) throw;
    return Object::steal(PyErr_GetRaisedException());
}
inline Object catch_if(const Object& cls) { return catch_if(cls.get()); }

// Sets `context` as the context of the pending exception, unless that would
// make an exception its own context (a handler that re-raises what it caught).
inline void chain_pending(PyObject* context) {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc && context && exc != context) PyException_SetContext(exc, Py_NewRef(context));
    PyErr_SetRaisedException(exc);
}

// Inside a handler: raise the pending exception with the handled one as its
// context.
[[noreturn]] inline void raise_in_handler(const Object& handled) {
    chain_pending(handled.get());
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
        if (!PyThreadState_GetUnchecked()) return;
        PyErr_SetHandledException(saved_);
        Py_XDECREF(saved_);
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;
};

namespace detail {
// A C++ exception other than kit::Error (bad_alloc, ...) becomes a pending
// Python exception, so cleanups can treat every failure alike.
inline void set_from_cpp_exception() noexcept {
    try {
        throw;
    } catch (Error&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error signalled without an exception set");
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}
}  // namespace detail

// try: body() finally: fin().  An exception from fin replaces the body's,
// which becomes its context, as in Python.  Every C++ exception runs the
// cleanup (it is turned into the Python exception it stands for first); a
// thread being torn down (forced unwind) runs nothing and keeps unwinding.
template <class Body, class Fin>
auto try_finally(Body&& body, Fin&& fin) -> decltype(body()) {
    using R = decltype(body());
    auto on_error = [&] {
        PyObject* exc = PyErr_GetRaisedException();
        try {
            fin();
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
            detail::set_from_cpp_exception();
            chain_pending(exc);
            Py_XDECREF(exc);
            fail();
        }
        PyErr_SetRaisedException(exc);
    };
    if constexpr (std::is_void_v<R>) {
        try {
            body();
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
            detail::set_from_cpp_exception();
            on_error();
            fail();
        }
        // Only the body is guarded: an exception from fin on the success
        // path must not run fin a second time.
        fin();
    } else {
        R r;
        try {
            r = body();
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
            detail::set_from_cpp_exception();
            on_error();
            fail();
        }
        fin();
        return r;
    }
}

// ---------------------------------------------------------------------------
// The Conventions' type errors.
[[noreturn]] inline void arg_type_error(const char* argname, const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", argname,
                 expected, Py_TYPE(got)->tp_name);
    fail();
}

template <std::size_t N>
std::array<Object, N> unpack(const Object& value) {
    PyObject* o = value.get();
    std::array<Object, N> out;
    if (PyTuple_CheckExact(o) || PyList_CheckExact(o)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
        if (n == static_cast<Py_ssize_t>(N)) {
            for (std::size_t i = 0; i < N; ++i) out[i] = Object::borrow(PySequence_Fast_GET_ITEM(o, i));
            return out;
        }
        if (n < static_cast<Py_ssize_t>(N)) {
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)",
                         static_cast<Py_ssize_t>(N), n);
        } else {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd, got %zd)",
                         static_cast<Py_ssize_t>(N), n);
        }
        fail();
    }
    PyObject* raw_it = PyObject_GetIter(o);
    if (!raw_it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(o)->tp_iter == nullptr && !PySequence_Check(o)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(o)->tp_name);
        }
        fail();
    }
    Object it = Object::steal(raw_it);
    for (std::size_t i = 0; i < N; ++i) {
        PyObject* x = PyIter_Next(it.get());
        if (!x) {
            if (PyErr_Occurred()) fail();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)",
                         static_cast<Py_ssize_t>(N), static_cast<Py_ssize_t>(i));
            fail();
        }
        out[i] = Object::steal(x);
    }
    Object extra = Object::steal_or_null(PyIter_Next(it.get()));
    if (extra) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", static_cast<Py_ssize_t>(N));
        fail();
    }
    if (PyErr_Occurred()) fail();
    return out;
}
// ---------------------------------------------------------------------------
namespace detail {
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
}  // namespace detail

}  // namespace kit
