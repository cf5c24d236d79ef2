// private_core.stash_store: the namespace-keyed result cache, its entries,
// the in-flight counts that fold identical fetches, and two date helpers.
#include "kit/kit.hpp"

#include <cstring>

namespace {

using kit::Call;
using kit::Object;
using kit::Sig;
using kit::arg;
using kit::kw;
using kit::kwonly;

// ---------------------------------------------------------------------------
// Dictionary access with a fast path for exact dicts; anything else (a
// subclass, or a mapping put there from outside) goes through its own
// methods, as Python code calling `.get` / `.pop` would.

// d.get(k) / d.get(k, dflt)
Object dict_get(const Object& d, PyObject* k, PyObject* dflt = Py_None) {
    if (PyDict_CheckExact(d.get())) {
        PyObject* out = nullptr;
        if (kit::check_rc(PyDict_GetItemRef(d.get(), k, &out))) return Object::steal(out);
        return Object::borrow(dflt);
    }
    return d.method("get", k, dflt);
}

// d.pop(k, None), result dropped
void dict_discard(const Object& d, PyObject* k) {
    if (PyDict_CheckExact(d.get())) {
        kit::check_rc(PyDict_Pop(d.get(), k, nullptr));
        return;
    }
    d.method("pop", k, Py_None);
}

void set_item(const Object& d, PyObject* k, const Object& v) {
    kit::check_rc(PyObject_SetItem(d.get(), k, v.get()));
}

Object binop_add(const Object& a, const Object& b) { return Object::steal(PyNumber_Add(a.get(), b.get())); }
Object binop_sub(const Object& a, const Object& b) { return Object::steal(PyNumber_Subtract(a.get(), b.get())); }

// `with mgr: body()`, by the context-manager protocol: `__enter__` and
// `__exit__` are looked up on the type, and an `__exit__` that returns a
// true value swallows the body's exception (the block then yields None).
Object special(const Object& mgr, PyObject* n) {
    PyObject* attr = _PyType_Lookup(Py_TYPE(mgr.get()), n);
    if (!attr) return {};
    descrgetfunc get = Py_TYPE(attr)->tp_descr_get;
    if (!get) return Object::borrow(attr);
    return Object::steal(get(attr, mgr.get(), reinterpret_cast<PyObject*>(Py_TYPE(mgr.get()))));
}

template <class Body>
Object with_block(const Object& mgr, Body&& body) {
    // The store's own lock: its __enter__ and __exit__ are acquire and
    // release, and its __exit__ never swallows, so skip building the bound
    // methods on the hot path.
    if (std::strcmp(Py_TYPE(mgr.get())->tp_name, "_thread.RLock") == 0) {
        using R = decltype(body());
        if constexpr (std::is_void_v<R>) {
            kit::with_lock(mgr, std::forward<Body>(body));
            return kit::None();
        } else {
            return kit::with_lock(mgr, std::forward<Body>(body));
        }
    }
    Object enter = special(mgr, kit::name("__enter__"));
    if (!enter) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                     mgr.type_name());
        kit::fail();
    }
    Object exit = special(mgr, kit::name("__exit__"));
    if (!exit) {
        PyErr_Format(PyExc_TypeError,
                     "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                     mgr.type_name());
        kit::fail();
    }
    enter();
    Object result;
    try {
        if constexpr (std::is_void_v<decltype(body())>) {
            body();
            result = kit::None();
        } else {
            result = body();
        }
    } catch (kit::Error&) {
        Object exc = Object::steal(PyErr_GetRaisedException());
        bool swallow;
        {
            kit::Handling handling(exc);
            Object tb = Object::steal_or_null(PyException_GetTraceback(exc.get()));
            Object type = Object::borrow(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())));
            swallow = exit(type, exc, tb ? tb : kit::None()).truthy();
        }
        if (!swallow) {
            PyErr_SetRaisedException(exc.release());
            throw;
        }
        return kit::None();
    }
    exit(Py_None, Py_None, Py_None);
    return result;
}

// `assert self._inflight is not None`: only evaluated when the interpreter
// runs with assertions enabled.  The flag is consulted only once the
// invariant is found broken, so the usual path pays nothing for it.
void assert_inflight(const Object& inflight) {
    if (inflight.is_none() && kit::global("__debug__").truthy()) {
        PyErr_SetNone(PyExc_AssertionError);
        kit::fail();
    }
}

// ---------------------------------------------------------------------------
// CacheEntry
const Sig is_expired_sig{"is_expired", {arg("self")}, "bool"};

Object is_expired(Call& c) {
    Object expires_at = c.self().attr("expires_at");
    if (expires_at.is_none()) return kit::False();
    // Greater-or-equal: an entry is stale from the very instant it expires.
    Object now = kit::global("datetime").method("now");
    return Object::steal(PyObject_RichCompare(now.get(), expires_at.get(), Py_GE));
}

// ---------------------------------------------------------------------------
// _Cache
const Sig init_sig{"__init__", {arg("self"), arg("enable_singleflight").def_bool(true).ann("bool")}, "None"};

Object init(Call& c) {
    Object self = c.self();
    Object enable = c.arg(1);
    self.set_attr("_store", kit::dict());
    self.set_attr("_lock", kit::global("RLock")());
    self.set_attr("_inflight", enable.truthy() ? kit::dict() : kit::None());
    // Kept as given; only its truth value is ever used.
    self.set_attr("_singleflight", enable);
    return {};
}

const Sig get_sig{"get", {arg("self"), arg("ns").ann("Namespace"), arg("key").ann("CacheKey")},
                  "Optional[CacheEntry]"};

Object get(Call& c) {
    Object self = c.self();
    PyObject* ns = c.raw(1);
    PyObject* key = c.raw(2);
    return with_block(self.attr("_lock"), [&]() -> Object {
        Object bucket = dict_get(self.attr("_store"), ns);
        if (!bucket.truthy()) return kit::None();
        Object entry = dict_get(bucket, key);
        if (!entry.truthy()) return kit::None();
        if (entry.method("is_expired").truthy()) {
            // The bucket stays, even when this was its last entry.
            dict_discard(bucket, key);
            return kit::None();
        }
        return entry;
    });
}

const Sig set_sig{"set",
                  {arg("self"), arg("ns").ann("Namespace"), arg("key").ann("CacheKey"),
                   arg("data").ann("pd.DataFrame"),
                   kwonly("params").dict().opt().def_none().ann("Optional[Dict[str, Any]]"),
                   kwonly("ttl").def_none().ann("Optional[timedelta]")},
                  "CacheEntry"};

Object set(Call& c) {
    Object self = c.self();
    PyObject* ns = c.raw(1);
    PyObject* key = c.raw(2);
    Object data = c.arg(3), params = c.arg(4), ttl = c.arg(5);
    return with_block(self.attr("_lock"), [&]() -> Object {
        Object store = self.attr("_store");
        if (!kit::check_rc(PySequence_Contains(store.get(), ns))) set_item(store, ns, kit::dict());

        // A zero timedelta is false: such an entry never expires.
        Object expires_at = kit::None();
        if (ttl.truthy()) expires_at = binop_add(kit::global("datetime").method("now"), ttl);

        Object CacheEntry = kit::global("CacheEntry");
        Object fetched_at = kit::global("datetime").method("now");
        // The caller's dict is kept when it has content; an empty or missing
        // one becomes a fresh dict that belongs to the entry.
        Object entry_params = params.truthy() ? params : kit::dict();
        Object entry = CacheEntry(kw("data", data), kw("fetched_at", fetched_at), kw("params", entry_params),
                                  kw("expires_at", expires_at));

        set_item(self.attr("_store").item(Object::borrow(ns)), key, entry);
        return entry;
    });
}

const Sig clear_ns_sig{"clear_ns", {arg("self"), arg("ns").ann("Namespace")}, "None"};

Object clear_ns(Call& c) {
    Object self = c.self();
    PyObject* ns = c.raw(1);
    with_block(self.attr("_lock"), [&] { dict_discard(self.attr("_store"), ns); });
    return {};
}

const Sig clear_all_sig{"clear_all", {arg("self")}, "None"};

Object clear_all(Call& c) {
    Object self = c.self();
    // In-flight counts are left alone: the fetches they stand for still run.
    with_block(self.attr("_lock"), [&] { self.attr("_store").method("clear"); });
    return {};
}

const Sig begin_inflight_sig{"_begin_inflight", {arg("self"), arg("ns").ann("Namespace"), arg("key").ann("CacheKey")},
                             "bool"};

Object begin_inflight(Call& c) {
    Object self = c.self();
    if (!self.attr("_singleflight").truthy()) return kit::True();
    assert_inflight(self.attr("_inflight"));
    Object k = kit::tuple(c.raw(1), c.raw(2));
    return with_block(self.attr("_lock"), [&]() -> Object {
        Object inflight = self.attr("_inflight");
        Object zero = kit::integer(0);
        Object cnt = dict_get(inflight, k.get(), zero.get());
        set_item(inflight, k.get(), binop_add(cnt, kit::integer(1)));
        // Waiters are counted too, so the pair stays claimed until the last
        // registered caller has ended.
        return kit::boolean(cnt.eq(zero));
    });
}

const Sig end_inflight_sig{"_end_inflight", {arg("self"), arg("ns").ann("Namespace"), arg("key").ann("CacheKey")},
                           "None"};

Object end_inflight(Call& c) {
    Object self = c.self();
    if (!self.attr("_singleflight").truthy()) return {};
    assert_inflight(self.attr("_inflight"));
    Object k = kit::tuple(c.raw(1), c.raw(2));
    with_block(self.attr("_lock"), [&] {
        Object inflight = self.attr("_inflight");
        Object one = kit::integer(1);
        // An end without a matching begin finds the default and changes nothing.
        Object cnt = dict_get(inflight, k.get(), one.get());
        if (cnt.le(one)) dict_discard(inflight, k.get());
        else set_item(inflight, k.get(), binop_sub(cnt, one));
    });
    return {};
}

// ---------------------------------------------------------------------------
// Date helpers
const Sig to_date_sig{"to_date", {arg("d").ann("Any")}, "date"};

Object to_date(Call& c) {
    Object d = c.arg(0);
    Object datetime = kit::global("datetime");
    if (d.is_none()) return datetime.method("now").method("date");
    // A datetime is also a date: test for the plain date first.
    if (d.isinstance(kit::global("date")) && !d.isinstance(datetime)) return d;
    if (d.isinstance(datetime)) return d.method("date");
    if (PyUnicode_Check(d.get())) return datetime.method("strptime", d, "%Y-%m-%d").method("date");
    Object type = Object::borrow(reinterpret_cast<PyObject*>(Py_TYPE(d.get())));
    kit::raise(PyExc_ValueError, kit::cat({"Unsupported date type: ", type.str()}));
}

const Sig is_today_sig{"is_today", {arg("d").ann("Any")}, "bool"};

Object is_today(Call& c) {
    Object day = kit::global("to_date")(c.arg(0));
    Object today = kit::global("datetime").method("now").method("date");
    return Object::steal(PyObject_RichCompare(day.get(), today.get(), Py_EQ));
}

// ---------------------------------------------------------------------------
void body(kit::Module& m) {
    m.from_import("dataclasses", {"dataclass", "field"});
    m.from_import("datetime", {"date", "datetime", "timedelta"});
    m.from_import("threading", {"RLock"});
    m.from_import("typing", {"Any", "Dict", "Hashable", "Optional", "Tuple"});
    m.set("pd", kit::import("pandas"));

    m.set("CacheKey", m.get("Tuple").item(kit::tuple(m.get("Hashable"), Py_Ellipsis)));
    m.set("Namespace", Object::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type)));

    {
        Object str_type = Object::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type));
        Object dict_type = Object::borrow(reinterpret_cast<PyObject*>(&PyDict_Type));
        kit::ClassDef cls(m, "CacheEntry");
        cls.annotate("data", m.get("pd").attr("DataFrame"));
        cls.annotate("fetched_at", m.get("datetime"));
        cls.annotate("params", m.get("Dict").item(kit::tuple(str_type, m.get("Any"))));
        cls.attr("params", m.get("field")(kw("default_factory", dict_type)));
        cls.annotate("expires_at", m.get("Optional").item(m.get("datetime")));
        cls.attr("expires_at", kit::None());
        cls.method(is_expired_sig, is_expired, "CacheEntry.is_expired(self) -> bool");
        m.set("CacheEntry", m.get("dataclass")(cls.build()));
    }

    {
        kit::ClassDef cls(m, "_Cache",
                          "\n    Namespace-keyed cache with optional TTL and (optional) singleflight.\n"
                          "    Thread-safe via RLock.\n    ");
        cls.method(init_sig, init, "_Cache.__init__(self, enable_singleflight: bool = True) -> None");
        cls.method(get_sig, get, "_Cache.get(self, ns: Namespace, key: CacheKey) -> Optional[CacheEntry]");
        cls.method(set_sig, set,
                   "_Cache.set(self, ns: Namespace, key: CacheKey, data: pd.DataFrame, *, "
                   "dict params: Optional[Dict[str, Any]] = None, ttl: Optional[timedelta] = None) -> CacheEntry");
        cls.method(clear_ns_sig, clear_ns, "_Cache.clear_ns(self, ns: Namespace) -> None");
        cls.method(clear_all_sig, clear_all, "_Cache.clear_all(self) -> None");
        cls.method(begin_inflight_sig, begin_inflight,
                   "_Cache._begin_inflight(self, ns: Namespace, key: CacheKey) -> bool\n\n"
                   "Returns True if caller should fetch; False if another fetch in progress.");
        cls.method(end_inflight_sig, end_inflight, "_Cache._end_inflight(self, ns: Namespace, key: CacheKey) -> None");
        m.set("_Cache", cls.build());
    }

    m.def({to_date_sig, to_date, "to_date(d: Any) -> date"});
    m.def({is_today_sig, is_today, "is_today(d: Any) -> bool"});

    Object all = kit::list();
    for (const char* n : {"_Cache", "CacheEntry", "CacheKey", "Namespace", "to_date", "is_today"})
        kit::check_rc(PyList_Append(all.get(), kit::str(n).get()));
    m.set("__all__", all);
}

}  // namespace

KIT_MODULE(stash_store, body)
