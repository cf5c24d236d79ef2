// The store's C entry for the cache layer.  stash_store publishes it in the
// interpreter's state dict when it is executed; stash_layer takes it from
// there and calls `_Cache.get`'s body through it, skipping the method lookup
// and the call, while the cache it holds is that store's own _Cache with its
// own get.  The capsule keeps the store module, and so this struct, alive.
#pragma once

#include "kit/kit.hpp"

namespace pc {

struct StoreApi {
    kit::ModState* state;  // the store module's state
    PyObject* cache_type;  // its _Cache (the state holds it)
    PyObject* get_fn;      // and that class's own get
    // self.get(ns, key) for an instance of cache_type whose instance dict is
    // `fields`: a new reference, or null with an exception set.
    PyObject* (*get)(kit::ModState* state, PyObject* self, PyObject* fields, PyObject* ns, PyObject* key) noexcept;
};

inline constexpr const char* kStoreApiKey = "private_core.stash_store.api";

}  // namespace pc
