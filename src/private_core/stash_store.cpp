// private_core.stash_store: the namespace-keyed result cache, its entries,
// the in-flight counts that fold identical fetches, and two date helpers.
#include "kit/kit.hpp"

namespace {

using namespace kit::literals;
using kit::arg;
using kit::Call;
using kit::kw;
using kit::kwonly;
using kit::Object;
using kit::Sig;

struct State : kit::ModState {
    // __debug__ when the module ran: whether `assert` statements run (fixed
    // for the life of the interpreter, as Python code compiles it).
    bool assertions = true;
    // ("data", "fetched_at", "params", "expires_at"): the keywords set()
    // makes entries with, one tuple for every call as a call site has.
    Object entry_kwnames;

    // `with self._lock:` finds __enter__ and __exit__ on the lock's type at
    // every block; the pair found last is kept while that type is unchanged
    // (its version tag), see fast_specials.
    kit::FastPath fp_with{"with: the lock type's __enter__ and __exit__"};
    // _Cache's own fields read from the instance's dict (see fast_field).
    kit::FastPath fp_field{"_Cache fields from the instance dict"};
    kit::FieldGuard cache_fields;
    struct {
        Object tp;
        unsigned int version = 0;
        Object enter, exit;
    } lock_methods;

    State() { fast_paths = {&fp_with, &fp_field}; }

    int traverse(visitproc visit, void* arg) {
        for (Object* o : {&entry_kwnames, &lock_methods.tp, &lock_methods.enter, &lock_methods.exit}) {
            if (int r = kit::visit(*o, visit, arg)) return r;
        }
        return cache_fields.traverse(visit, arg);
    }
    void clear() {
        entry_kwnames = {};
        lock_methods = {};
        cache_fields.clear();
    }
};

Object field(kit::Ctx cx, const Object& self, PyObject* name);

// `assert self._inflight is not None`: evaluated only while the interpreter
// runs with assertions enabled, as the statement would be.
void assert_inflight(kit::Ctx cx, const Object& self) {
    if (cx.state<State>().assertions && field(cx, self, cx["_inflight"_n]).is_none()) {
        PyErr_SetNone(PyExc_AssertionError);
        kit::fail();
    }
}

// `with mgr: body()`, as the statement runs it: __enter__ and __exit__ are
// found on the type (the first class along its MRO that defines each) and
// bound to `mgr` before __enter__ is called; an __exit__ that returns a
// true value swallows the body's exception (the block then yields None).
// A method descriptor (a function, a builtin method) is called with `mgr` in
// front rather than through a bound-method object made for the one call,
// as the interpreter calls methods: the same call, with nothing allocated.
class Special {
    Object fn_, self_;  // self_: the manager, while fn_ is still unbound

public:
    // An unbound method descriptor, called with `mgr` in front.
    Special(Object fn, const Object& mgr) : fn_(std::move(fn)), self_(mgr) {}
    Special(const Object& mgr, PyObject* name) {
        PyTypeObject* tp = Py_TYPE(mgr.get());
        PyObject* mro = tp->tp_mro;
        for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro); ++i) {
            Object d = Object::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
            PyObject* found = nullptr;
            if (kit::check_rc(PyDict_GetItemRef(d.get(), name, &found))) {
                fn_ = Object::steal(found);
                break;
            }
        }
        if (!fn_) return;
        if (PyType_HasFeature(Py_TYPE(fn_.get()), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
            self_ = mgr;
        } else if (descrgetfunc get = Py_TYPE(fn_.get())->tp_descr_get) {
            fn_ = Object::steal(get(fn_.get(), mgr.get(), reinterpret_cast<PyObject*>(tp)));
        }
    }
    explicit operator bool() const noexcept { return static_cast<bool>(fn_); }
    const Object& unbound() const noexcept { return self_ ? fn_ : self_; }
    // fn() or fn(a, b, c)
    Object operator()(PyObject* a = nullptr, PyObject* b = nullptr, PyObject* c = nullptr) const {
        PyObject* stack[4] = {self_.get(), a, b, c};
        const std::size_t n = a ? 3 : 0;
        if (self_) return Object::steal(PyObject_Vectorcall(fn_.get(), stack, n + 1, nullptr));
        return Object::steal(PyObject_Vectorcall(fn_.get(), stack + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }
};

using kit::no_context_manager;

// The lock type's __enter__ and __exit__ as kept by the last block that
// found them by the general lookup below; equal to what that lookup finds,
// since the type (and with it its MRO's dicts) has not changed since: a
// change of the type or a base gives it a new version tag.  No difference.
std::optional<std::pair<Special, Special>> fast_specials(kit::Ctx cx, const Object& mgr) {
    State& st = cx.state<State>();
    auto& kept = st.lock_methods;
    PyTypeObject* tp = Py_TYPE(mgr.get());
    if (!st.fp_with.take([&] {
            return kept.tp.get() == reinterpret_cast<PyObject*>(tp) && tp->tp_version_tag != 0 &&
                   tp->tp_version_tag == kept.version;
        }))
        return std::nullopt;
    return std::pair{Special(kept.enter, mgr), Special(kept.exit, mgr)};
}

// The statement's own lookup of both methods, in the running interpreter's
// order, with its errors.
std::pair<Special, Special> specials(kit::Ctx cx, const Object& mgr) {
    if (auto r = fast_specials(cx, mgr)) return std::move(*r);
    PyTypeObject* tp = Py_TYPE(mgr.get());
    const unsigned int version = PyUnstable_Type_AssignVersionTag(tp) ? tp->tp_version_tag : 0;
#if PY_VERSION_HEX >= 0x030E0000
    // From 3.14 the statement looks __exit__ up first.
    Special exit(mgr, cx["__exit__"_n]);
    if (!exit) no_context_manager(mgr, " (missed __exit__ method)");
    Special enter(mgr, cx["__enter__"_n]);
    if (!enter) no_context_manager(mgr, " (missed __enter__ method)");
#else
    Special enter(mgr, cx["__enter__"_n]);
    if (!enter) no_context_manager(mgr, "");
    Special exit(mgr, cx["__exit__"_n]);
    if (!exit) no_context_manager(mgr, " (missed __exit__ method)");
#endif
    auto& kept = cx.state<State>().lock_methods;
    if (version && tp->tp_version_tag == version && enter.unbound() && exit.unbound()) {
        kept.tp = Object::borrow(tp);
        kept.version = version;
        kept.enter = enter.unbound();
        kept.exit = exit.unbound();
    }
    return {std::move(enter), std::move(exit)};
}

template <class Body>
Object locked(kit::Ctx cx, const Object& mgr, Body&& body) {
    auto [enter, exit] = specials(cx, mgr);
    enter();
    Object result;
    try {
        if constexpr (std::is_void_v<decltype(body())>) {
            body();
            result = kit::None();
        } else {
            result = body();
        }
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        kit::detail::set_from_cpp_exception();
        Object exc = Object::steal(PyErr_GetRaisedException());
        bool swallow;
        {
            kit::Handling handling(exc);
            Object tb = Object::steal_or_null(PyException_GetTraceback(exc.get()));
            swallow =
                exit(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get(), tb ? tb.get() : Py_None).truthy();
        }
        if (!swallow) {
            PyErr_SetRaisedException(exc.release());
            kit::fail();
        }
        return kit::None();
    }
    exit(Py_None, Py_None, Py_None);
    return result;
}

// d.pop(k, None), result dropped
void dict_discard(kit::Ctx cx, const Object& d, PyObject* k) {
    if (PyDict_CheckExact(d.get())) {
        kit::check_rc(PyDict_Pop(d.get(), k, nullptr));
        return;
    }
    d.method(cx["pop"_n], k, Py_None);
}

// ---------------------------------------------------------------------------
// CacheEntry
constexpr Sig is_expired_sig{"is_expired", {arg("self")}, "bool"};

Object is_expired(Call& c) {
    kit::Ctx cx = c.cx();
    Object self = c.self();
    if (self.attr(cx["expires_at"_n]).is_none()) return kit::False();
    // Greater-or-equal: an entry is stale from the very instant it expires.
    Object now = cx.global("datetime"_n).method(cx["now"_n]);
    return now.compare(self.attr(cx["expires_at"_n]), Py_GE);
}

// ---------------------------------------------------------------------------
// _Cache

// self.<name> for one of _Cache's own fields, straight from the instance's
// dict while the instance is exactly a _Cache whose class is unchanged and
// holds no data descriptor of that name: attribute access would read the
// same dict.  The guard is checked at each read, so Python code that ran in
// between (a key's __hash__, a lock's holder) is seen.  No difference.
std::optional<Object> fast_field(kit::Ctx cx, const Object& self, PyObject* name) {
    State& st = cx.state<State>();
    PyObject* found = nullptr;
    if (!st.fp_field.take([&] {
            Object fields = st.cache_fields.dict_of(self);
            return fields && kit::check_rc(PyDict_GetItemRef(fields.get(), name, &found)) == 1;
        }))
        return std::nullopt;
    return Object::steal(found);
}

Object field(kit::Ctx cx, const Object& self, PyObject* name) {
    if (auto r = fast_field(cx, self, name)) return *r;
    return self.attr(name);
}
constexpr Sig init_sig{"__init__", {arg("self"), arg("enable_singleflight").def_bool(true).ann("bool")}, "None"};

Object init(Call& c) {
    kit::Ctx cx = c.cx();
    Object self = c.self();
    Object enable = c[init_sig["enable_singleflight"]];
    self.set_attr(cx["_store"_n], kit::dict());
    self.set_attr(cx["_lock"_n], cx.global("RLock"_n)());
    self.set_attr(cx["_inflight"_n], enable.truthy() ? kit::dict() : kit::None());
    // Kept as given; only its truth value is ever used.
    self.set_attr(cx["_singleflight"_n], enable);
    return {};
}

constexpr Sig get_sig{
    "get", {arg("self"), arg("ns").ann("Namespace"), arg("key").ann("CacheKey")}, "Optional[CacheEntry]"};

Object get(Call& c) {
    kit::Ctx cx = c.cx();
    Object self = c.self();
    PyObject* ns = c.raw(get_sig["ns"]);
    PyObject* key = c.raw(get_sig["key"]);
    return locked(cx, field(cx, self, cx["_lock"_n]), [&]() -> Object {
        Object bucket = cx.dict_get(field(cx, self, cx["_store"_n]), ns);
        if (!bucket.truthy()) return kit::None();
        Object entry = cx.dict_get(bucket, key);
        if (!entry.truthy()) return kit::None();
        if (entry.method(cx["is_expired"_n]).truthy()) {
            // The bucket stays, even when this was its last entry.
            dict_discard(cx, bucket, key);
            return kit::None();
        }
        return entry;
    });
}

constexpr Sig set_sig{
    "set",
    {arg("self"), arg("ns").ann("Namespace"), arg("key").ann("CacheKey"), arg("data").ann("pd.DataFrame"),
     kwonly("params").dict().opt().def_none().ann("Optional[Dict[str, Any]]"),
     kwonly("ttl").def_none().ann("Optional[timedelta]")},
    "CacheEntry"};

Object set(Call& c) {
    kit::Ctx cx = c.cx();
    Object self = c.self();
    PyObject* ns = c.raw(set_sig["ns"]);
    PyObject* key = c.raw(set_sig["key"]);
    Object data = c[set_sig["data"]], params = c[set_sig["params"]], ttl = c[set_sig["ttl"]];
    return locked(cx, field(cx, self, cx["_lock"_n]), [&]() -> Object {
        if (!kit::contains(field(cx, self, cx["_store"_n]), Object::borrow(ns))) {
            Object bucket = kit::dict();
            field(cx, self, cx["_store"_n]).set_item(ns, bucket);
        }

        // A zero timedelta is false: such an entry never expires.
        Object expires_at = kit::None();
        if (ttl.truthy()) expires_at = kit::add(cx.global("datetime"_n).method(cx["now"_n]), ttl);

        Object CacheEntry = cx.global("CacheEntry"_n);
        Object fetched_at = cx.global("datetime"_n).method(cx["now"_n]);
        // The caller's dict is kept when it has content; an empty or missing
        // one becomes a fresh dict that belongs to the entry.
        Object entry_params = params.truthy() ? params : kit::dict();
        // CacheEntry(data=data, fetched_at=..., params=..., expires_at=...)
        PyObject* args[] = {nullptr, data.get(), fetched_at.get(), entry_params.get(), expires_at.get()};
        Object entry = Object::steal(PyObject_Vectorcall(CacheEntry.get(), args + 1, PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                         cx.state<State>().entry_kwnames.get()));

        field(cx, self, cx["_store"_n]).item(ns).set_item(key, entry);
        return entry;
    });
}

constexpr Sig clear_ns_sig{"clear_ns", {arg("self"), arg("ns").ann("Namespace")}, "None"};

Object clear_ns(Call& c) {
    kit::Ctx cx = c.cx();
    Object self = c.self();
    PyObject* ns = c.raw(clear_ns_sig["ns"]);
    locked(cx, field(cx, self, cx["_lock"_n]), [&] { dict_discard(cx, field(cx, self, cx["_store"_n]), ns); });
    return {};
}

constexpr Sig clear_all_sig{"clear_all", {arg("self")}, "None"};

Object clear_all(Call& c) {
    kit::Ctx cx = c.cx();
    Object self = c.self();
    // In-flight counts are left alone: the fetches they stand for still run.
    locked(cx, field(cx, self, cx["_lock"_n]), [&] { field(cx, self, cx["_store"_n]).method(cx["clear"_n]); });
    return {};
}

constexpr Sig begin_inflight_sig{
    "_begin_inflight", {arg("self"), arg("ns").ann("Namespace"), arg("key").ann("CacheKey")}, "bool"};

Object begin_inflight(Call& c) {
    kit::Ctx cx = c.cx();
    Object self = c.self();
    if (!field(cx, self, cx["_singleflight"_n]).truthy()) return kit::True();
    assert_inflight(cx, self);
    Object k = kit::tuple(c.raw(begin_inflight_sig["ns"]), c.raw(begin_inflight_sig["key"]));
    return locked(cx, field(cx, self, cx["_lock"_n]), [&]() -> Object {
        Object zero = kit::integer(0);
        Object cnt = cx.dict_get(field(cx, self, cx["_inflight"_n]), k.get(), zero.get());
        Object more = kit::add(cnt, kit::integer(1));
        field(cx, self, cx["_inflight"_n]).set_item(k, more);
        // Waiters are counted too, so the pair stays claimed until the last
        // registered caller has ended.
        return cnt.compare(zero, Py_EQ);
    });
}

constexpr Sig end_inflight_sig{
    "_end_inflight", {arg("self"), arg("ns").ann("Namespace"), arg("key").ann("CacheKey")}, "None"};

Object end_inflight(Call& c) {
    kit::Ctx cx = c.cx();
    Object self = c.self();
    if (!field(cx, self, cx["_singleflight"_n]).truthy()) return {};
    assert_inflight(cx, self);
    Object k = kit::tuple(c.raw(end_inflight_sig["ns"]), c.raw(end_inflight_sig["key"]));
    locked(cx, field(cx, self, cx["_lock"_n]), [&] {
        Object one = kit::integer(1);
        // An end without a matching begin finds the default and changes nothing.
        Object cnt = cx.dict_get(field(cx, self, cx["_inflight"_n]), k.get(), one.get());
        if (cnt.le(one)) {
            dict_discard(cx, field(cx, self, cx["_inflight"_n]), k.get());
        } else {
            Object less = kit::sub(cnt, one);
            field(cx, self, cx["_inflight"_n]).set_item(k, less);
        }
    });
    return {};
}

// ---------------------------------------------------------------------------
// Date helpers
constexpr Sig to_date_sig{"to_date", {arg("d").ann("Any")}, "date"};

Object to_date(Call& c) {
    kit::Ctx cx = c.cx();
    Object d = c[to_date_sig["d"]];
    Object datetime = cx.global("datetime"_n);
    if (d.is_none()) return datetime.method(cx["now"_n]).method(cx["date"_n]);
    // A datetime is also a date: test for the plain date first.
    if (d.isinstance(cx.global("date"_n)) && !d.isinstance(datetime)) return d;
    if (d.isinstance(datetime)) return d.method(cx["date"_n]);
    if (PyUnicode_Check(d.get())) return datetime.method(cx["strptime"_n], d, "%Y-%m-%d").method(cx["date"_n]);
    Object type = kit::type(Py_TYPE(d.get()));
    kit::raise(PyExc_ValueError, kit::cat({"Unsupported date type: ", type.str()}));
}

constexpr Sig is_today_sig{"is_today", {arg("d").ann("Any")}, "bool"};

Object is_today(Call& c) {
    kit::Ctx cx = c.cx();
    Object day = cx.global("to_date"_n)(c[is_today_sig["d"]]);
    Object today = cx.global("datetime"_n).method(cx["now"_n]).method(cx["date"_n]);
    return day.compare(today, Py_EQ);
}

// ---------------------------------------------------------------------------
void body(kit::Module& m) {
    kit::Ctx cx = m.cx;
    State& st = m.state<State>();
    st.assertions = cx.global("__debug__"_n).truthy();
    st.entry_kwnames = kit::tuple(cx["data"_n], cx["fetched_at"_n], cx["params"_n], cx["expires_at"_n]);
    m.from_import("dataclasses", {"dataclass", "field"});
    m.from_import("datetime", {"date", "datetime", "timedelta"});
    m.from_import("threading", {"RLock"});
    m.from_import("typing", {"Any", "Dict", "Hashable", "Optional", "Tuple"});
    m.set("pd", kit::import("pandas"));

    m.set("CacheKey", m.get("Tuple").item(kit::tuple(m.get("Hashable"), Py_Ellipsis)));
    m.set("Namespace", kit::type(&PyUnicode_Type));

    {
        Object str_type = kit::type(&PyUnicode_Type);
        Object dict_type = kit::type(&PyDict_Type);
        kit::ClassDef cls(m, "CacheEntry");
        cls.annotate("data", m.get("pd").attr(cx["DataFrame"_n]));
        cls.annotate("fetched_at", m.get("datetime"));
        cls.annotate("params", m.get("Dict").item(kit::tuple(str_type, m.get("Any"))));
        cls.attr("params", m.get("field")(kw(cx["default_factory"_n], dict_type)));
        cls.annotate("expires_at", m.get("Optional").item(m.get("datetime")));
        cls.attr("expires_at", kit::None());
        cls.method(is_expired_sig, is_expired);
        m.set("CacheEntry", m.get("dataclass")(cls.build()));
    }

    {
        kit::ClassDef cls(m, "_Cache",
                          "\n    Namespace-keyed cache with optional TTL and (optional) singleflight.\n"
                          "    Thread-safe via RLock.\n    ");
        cls.method(init_sig, init);
        cls.method(get_sig, get);
        cls.method(set_sig, set);
        cls.method(clear_ns_sig, clear_ns);
        cls.method(clear_all_sig, clear_all);
        cls.method(begin_inflight_sig, begin_inflight,
                   "Returns True if caller should fetch; False if another fetch in progress.");
        cls.method(end_inflight_sig, end_inflight);
        Object cache_cls = cls.build();
        m.state<State>().cache_fields.bind(
            cache_cls, {m.cx["_store"_n], m.cx["_lock"_n], m.cx["_inflight"_n], m.cx["_singleflight"_n]});
        m.set("_Cache", cache_cls);
    }

    m.def(to_date_sig, to_date);
    m.def(is_today_sig, is_today);

    m.set_all({"_Cache", "CacheEntry", "CacheKey", "Namespace", "to_date", "is_today"});
}

}  // namespace

KIT_MODULE(stash_store, State, body,
           "The result cache: a namespace-keyed store with expiry and in-flight counts that fold identical\n"
           "fetches, and two date helpers.")
