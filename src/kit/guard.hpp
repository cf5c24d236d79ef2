// Watchers and guards: what a fast path checks before it stands in for the general code.
#pragma once

#include "object.hpp"

#include <optional>

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
        if (cap)
            Py_DECREF(cap);  // its destructor clears the watcher
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
// The fast-path contract.
//
// A fast path stands in for a piece of general code while every guard it
// names still holds ("still the original"), and computes exactly what that
// code would: the same result, the same errors and warnings, the same calls
// into objects a caller may replace.  Its shape at the point of use is always
//
//     if (auto r = fast_x(cx, ...)) return *r;
//     ...the general code...
//
// and `fast_x` decides up front, through its registered `FastPath`, whether
// it may run: guards are checked at the moment of the fast read, and again
// after any Python code that ran since.  It never hands a half-done job back
// to the general code.
//
// Every fast path is registered by name in its module's state
// (`ModState::fast_paths`); each module carries a private
// `__fast_paths__(enabled=None)` that reports the counts of its paths and,
// given a bool, switches every fast path of the package on or off (the tests
// run the suites both ways).  The switch is one flag per interpreter, kept in
// its state dict like the watchers' registry.
namespace detail {
inline constexpr const char* kFastKey = "private_core.kit.fast_paths";
// This shared object's view of the package's switch (true: fast paths off).
inline std::atomic<bool>* fast_off = nullptr;

// Points fast_off at the package's flag, making it the first time.  Never
// leaves an exception set; without a flag every fast path stays on.
inline void install_fast_switch() {
    if (fast_off) return;
    PyInterpreterState* interp = PyInterpreterState_Get();
    PyObject* idict = interp ? PyInterpreterState_GetDict(interp) : nullptr;
    if (!idict) return;
    PyObject* cap = nullptr;
    if (PyDict_GetItemStringRef(idict, kFastKey, &cap) < 0) {
        PyErr_Clear();
        return;
    }
    if (cap) {
        fast_off = static_cast<std::atomic<bool>*>(PyCapsule_GetPointer(cap, kFastKey));
        if (!fast_off) PyErr_Clear();
        Py_DECREF(cap);
        return;
    }
    // Never freed: a daemon thread may read it until the process ends.
    auto* flag = new (std::nothrow) std::atomic<bool>(false);
    if (!flag) return;
    cap = PyCapsule_New(flag, kFastKey, nullptr);
    if (cap && PyDict_SetItemString(idict, kFastKey, cap) == 0) {
        fast_off = flag;
    } else {
        delete flag;
    }
    PyErr_Clear();
    Py_XDECREF(cap);
}
}  // namespace detail

inline bool fast_paths_on() noexcept {
    std::atomic<bool>* off = detail::fast_off;
    return !off || !off->load(std::memory_order_relaxed);
}

struct FastPath {
    const char* name;
    std::uint64_t taken = 0;     // runs of the fast path
    std::uint64_t declined = 0;  // calls a guard sent to the general code

    explicit constexpr FastPath(const char* n) noexcept : name(n) {}
    FastPath(const FastPath&) = delete;
    FastPath& operator=(const FastPath&) = delete;

    // Whether the fast path may run now: the package's switch is on and
    // `guards()` holds.  The guards are not even looked at while the switch
    // is off, so a run with fast paths off reads nothing the general code
    // would not.
    template <class Guards>
    bool take(Guards&& guards) {
        if (!fast_paths_on()) return false;
        if (!guards()) {
            ++declined;
            return false;
        }
        ++taken;
        return true;
    }
};

// ---------------------------------------------------------------------------
// The three things a fast path may need to find unchanged:
// 1. a global of the module itself: what `Ctx::global` reads (kept while the
//    module's dict is unchanged) is the original, `Original`;
// 2. an attribute of another module, read through a global that holds that
//    module (`time.perf_counter`): `ModuleAttr`, whose module dict is watched;
// 3. a method reached through `self`: `OwnMethod`, the class's own function,
//    found through the type and not shadowed on the instance.
struct Original {
    Object obj;
    void bind(const Object& o) { obj = o; }
    bool holds(const Object& current) const noexcept { return obj && current.is(obj); }
    int traverse(visitproc visit, void* arg) {
        Py_VISIT(obj.get());
        return 0;
    }
    void clear() { obj = {}; }
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

// A method that code reaches through `self` (`self._request(...)`), while it
// is still the class's own function: the instance's type looks it up by the
// generic rules, finds `func` (checked against the class's version tag, so
// only after the class or a base changed is the MRO walked again), and the
// instance's own dict does not shadow it.  Reading the guard runs no Python
// code.
//
// Version tags are read through PyUnstable_Type_AssignVersionTag, the
// interpreter's documented way for a guard to learn when a type changed.
struct OwnMethod {
    PyObject* name = nullptr;  // interned, owned by the module state
    Object func;
    PyTypeObject* seen = nullptr;  // the last type found to resolve to `func`
    unsigned int version = 0;

    void bind(const Object& cls, PyObject* n) {
        name = n;
        Object d = Object::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(cls.get())));
        func = Object::borrow(PyDict_GetItemWithError(d.get(), n));
        if (!func && PyErr_Occurred()) fail();
    }
    bool holds(PyObject* self) {
        PyTypeObject* tp = Py_TYPE(self);
        if (!func || tp->tp_getattro != PyObject_GenericGetAttr) return false;
        if (tp != seen || tp->tp_version_tag == 0 || tp->tp_version_tag != version) {
            if (!PyUnstable_Type_AssignVersionTag(tp) || !resolves(tp)) return false;
            seen = tp;
            version = tp->tp_version_tag;
        }
        if (!(tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) && tp->tp_dictoffset == 0) return true;
        PyObject* d = PyObject_GenericGetDict(self, nullptr);
        if (!d) {
            PyErr_Clear();
            return false;
        }
        int shadowed = PyDict_Contains(d, name);
        Py_DECREF(d);
        if (shadowed < 0) PyErr_Clear();
        return shadowed == 0;
    }
    int traverse(visitproc visit, void* arg) {
        Py_VISIT(func.get());
        return 0;
    }
    void clear() {
        func = {};
        seen = nullptr;
    }

private:
    // The first class along the MRO that defines `name` defines `func`.
    bool resolves(PyTypeObject* tp) const {
        PyObject* mro = tp->tp_mro;
        if (!mro || !PyTuple_Check(mro)) return false;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
            PyObject* d = PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)));
            PyObject* v = d ? PyDict_GetItemWithError(d, name) : nullptr;
            Py_XDECREF(d);  // the type keeps its dict, and with it `v`
            if (v) return v == func.get();
            if (PyErr_Occurred()) {
                PyErr_Clear();
                return false;
            }
        }
        return false;
    }
};

}  // namespace kit
