// Module state, and what code running in a module works with (`Ctx`).
#pragma once

#include "guard.hpp"

namespace kit {

// ---------------------------------------------------------------------------
// Module state.  Each module derives its own state struct from this one
// (module.hpp constructs it in the module's memory and traverses and clears
// it with the module).
struct ModState {
    PyObject* module = nullptr;    // borrowed: the state lives inside it
    PyObject* globals = nullptr;   // borrowed: the module's dict
    PyObject* builtins = nullptr;  // the builtins seen when the module ran
    PyTypeObject* fn_type = nullptr;
    PyObject** names = nullptr;  // interned str of every "..."_n literal
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

    // The module's registered fast paths (members of the derived state).
    std::vector<FastPath*> fast_paths;

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

}  // namespace kit
