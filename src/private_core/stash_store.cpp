// private_core.stash_store: the namespace-keyed result cache, its entries,
// the in-flight counts that fold identical fetches, and two date helpers.
#include "kit/kit.hpp"
#include "private_core/store_api.hpp"

// The datetime object layout and the C API struct are used; the header's own
// static pointer to that struct is not (the module keeps it in its state).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-variable"
#include <datetime.h>
#pragma GCC diagnostic pop
#include <time.h>

#include <algorithm>
#include <cstring>

namespace {

using namespace kit::literals;
using kit::Call;
using kit::Object;
using kit::Sig;
using kit::arg;
using kit::kw;
using kit::kwonly;

// ---------------------------------------------------------------------------
struct State : kit::ModState {
    Object rlock_type;  // _thread.RLock, the lock each store makes for itself
    // Its acquire and release as C functions (taken from the type's method
    // descriptors when they have the expected shape), and the empty
    // argument tuple acquire is called with.
    PyCFunctionWithKeywords rlock_acquire = nullptr;
    PyCFunction rlock_release = nullptr;
    Object no_args;
    Object scratch_pair;   // see PairKey
    Object datetime_type;  // datetime.datetime, as the module binds it
    PyDateTime_CAPI* datetime_api = nullptr;  // the datetime module's C API (static in that module)
    kit::FieldGuard cache;  // _Cache's own fields
    kit::FieldGuard entry;  // CacheEntry's expires_at, and its own is_expired
    kit::FieldGuard entry_init;  // CacheEntry's four fields, and its generated __init__
    Object cache_type;           // _Cache, as built here
    pc::StoreApi api{};          // published for the cache layer

    int traverse(visitproc visit, void* arg) {
        if (int r = kit::visit(rlock_type, visit, arg)) return r;
        if (int r = kit::visit(datetime_type, visit, arg)) return r;
        if (int r = entry.traverse(visit, arg)) return r;
        if (int r = entry_init.traverse(visit, arg)) return r;
        if (int r = kit::visit(cache_type, visit, arg)) return r;
        if (int r = kit::visit(scratch_pair, visit, arg)) return r;
        return cache.traverse(visit, arg);
    }
    void clear() {
        rlock_type = {};
        no_args = {};
        datetime_type = {};
        cache.clear();
        entry.clear();
        entry_init.clear();
        cache_type = {};
        scratch_pair = {};
    }
};

// The C function behind the method descriptor `name` of `type`, when it is
// one with the calling convention `flags`.
PyCFunction c_method(const Object& type, const char* name, int flags) {
    Object dict = Object::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(type.get())));
    PyObject* d = PyDict_GetItemString(dict.get(), name);
    if (!d || !Py_IS_TYPE(d, &PyMethodDescr_Type)) return nullptr;
    PyMethodDef* def = reinterpret_cast<PyMethodDescrObject*>(d)->d_method;
    return def->ml_flags == flags ? def->ml_meth : nullptr;
}

// `with self._lock: body()`.  The store's own lock (exactly an RLock; a
// subclass may override anything) is taken and given back through its C
// functions: its __exit__ is its release and never swallows.  Any other
// context manager goes through the protocol.
template <class Body>
Object locked(kit::Ctx cx, const Object& lock, Body&& body) {
    State& st = cx.state<State>();
    if (!Py_IS_TYPE(lock.get(), reinterpret_cast<PyTypeObject*>(st.rlock_type.get())))
        return kit::with(cx, lock, std::forward<Body>(body));
    auto release = [&] {
        if (st.rlock_release) Object::steal(st.rlock_release(lock.get(), nullptr));
        else lock.method(cx["release"_n]);
    };
    if (st.rlock_acquire) Object::steal(st.rlock_acquire(lock.get(), st.no_args.get(), nullptr));
    else lock.method(cx["acquire"_n]);
    if constexpr (std::is_void_v<decltype(body())>) {
        kit::try_finally(std::forward<Body>(body), release);
        return kit::None();
    } else {
        return kit::try_finally(std::forward<Body>(body), release);
    }
}

// `datetime.now() >= expires_at` for a naive `expires_at` of exactly the
// datetime type, while the module's `datetime` is that type: the local wall
// clock, read as datetime.now() reads it (the system clock floored to the
// microsecond, the local time of its second, leap seconds as 59), compared
// field by field as naive datetimes compare, without making the datetime.
// -1 when that does not apply: the caller asks datetime.now() itself.
int wall_clock_reached(kit::Ctx cx, PyObject* expires_at) {
    const State& st = cx.state<State>();
    if (Py_TYPE(expires_at) != reinterpret_cast<PyTypeObject*>(st.datetime_type.get())) return -1;
    if (_PyDateTime_HAS_TZINFO(expires_at)) return -1;
    if (!cx.global("datetime"_n).is(st.datetime_type)) return -1;
    struct timespec ts;
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return -1;
    const time_t secs = ts.tv_sec;
    struct tm tm;
    if (!localtime_r(&secs, &tm)) return -1;
    const int year = tm.tm_year + 1900;
    if (year < 1 || year > 9999) return -1;
    const long us = ts.tv_nsec / 1000;
    // The layout naive datetimes compare by: big-endian year, then one byte
    // each for month to second, then three bytes of microseconds.
    const unsigned char now[_PyDateTime_DATETIME_DATASIZE] = {
        static_cast<unsigned char>(year >> 8), static_cast<unsigned char>(year & 0xff),
        static_cast<unsigned char>(tm.tm_mon + 1), static_cast<unsigned char>(tm.tm_mday),
        static_cast<unsigned char>(tm.tm_hour), static_cast<unsigned char>(tm.tm_min),
        static_cast<unsigned char>(std::min(59, tm.tm_sec)), static_cast<unsigned char>((us >> 16) & 0xff),
        static_cast<unsigned char>((us >> 8) & 0xff), static_cast<unsigned char>(us & 0xff)};
    const auto* at = reinterpret_cast<PyDateTime_DateTime*>(expires_at);
    return std::memcmp(now, at->data, _PyDateTime_DATETIME_DATASIZE) >= 0 ? 1 : 0;
}

// datetime.now(), made as the datetime type makes it while the module's
// `datetime` is that type: the system clock floored to the microsecond, its
// local time (leap seconds as 59), and `fold` set by the same probe of the
// local time a day earlier.  Anything this cannot do the same way (a year
// out of range, a failing clock) is left to datetime.now() itself.
namespace now_detail {
constexpr long long kEpoch = 719163LL * 24 * 60 * 60;  // 0001-01-01 to 1970-01-01, in seconds
constexpr long long kMaxFold = 24 * 3600;

long long days_before_year(long long y) { return (y - 1) * 365 + (y - 1) / 4 - (y - 1) / 100 + (y - 1) / 400; }
bool is_leap(int y) { return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0); }
long long utc_to_seconds(int year, int month, int day, int hour, int minute, int second) {
    static constexpr int before_month[] = {0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    long long ordinal = days_before_year(year) + before_month[month] + (month > 2 && is_leap(year)) + day;
    return ((ordinal * 24 + hour) * 60 + minute) * 60 + second;
}
bool in_range(const struct tm& t) { return t.tm_year + 1900 >= 1 && t.tm_year + 1900 <= 9999; }
// The local time of `u` (seconds since 0001-01-01) as such seconds again.
bool local(long long u, long long& out) {
    const time_t t = static_cast<time_t>(u - kEpoch);
    struct tm lt;
    if (!localtime_r(&t, &lt) || !in_range(lt)) return false;
    out = utc_to_seconds(lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec);
    return true;
}
}  // namespace now_detail

Object local_now(kit::Ctx cx) {
    using namespace now_detail;
    const State& st = cx.state<State>();
    Object datetime = cx.global("datetime"_n);
    struct timespec ts;
    struct tm tm;
    if (!st.datetime_api || !datetime.is(st.datetime_type) || clock_gettime(CLOCK_REALTIME, &ts) != 0)
        return datetime.method(cx["now"_n]);
    const time_t secs = ts.tv_sec;
    if (!localtime_r(&secs, &tm) || !in_range(tm)) return datetime.method(cx["now"_n]);
    const int year = tm.tm_year + 1900, month = tm.tm_mon + 1, second = std::min(59, tm.tm_sec);
    int fold = 0;
    const long long result = utc_to_seconds(year, month, tm.tm_mday, tm.tm_hour, tm.tm_min, second);
    long long probe = 0;
    if (!local(kEpoch + secs - kMaxFold, probe)) return datetime.method(cx["now"_n]);
    const long long transition = result - probe - kMaxFold;
    if (transition < 0) {
        if (!local(kEpoch + secs + transition, probe)) return datetime.method(cx["now"_n]);
        if (probe == result) fold = 1;
    }
    return Object::steal(st.datetime_api->DateTime_FromDateAndTimeAndFold(
        year, month, tm.tm_mday, tm.tm_hour, tm.tm_min, second, static_cast<int>(ts.tv_nsec / 1000), Py_None, fold,
        st.datetime_api->DateTimeType));
}

// entry.is_expired(): an entry of the module's own CacheEntry (whose
// is_expired is still this module's, not shadowed on the instance) without
// an expiry is known fresh without the call; every other entry is asked.
bool expired(kit::Ctx cx, const Object& entry) {
    Object fields = cx.state<State>().entry.dict_of(entry);
    if (fields && !PyDict_GetItemWithError(fields.get(), cx["is_expired"_n])) {
        if (PyErr_Occurred()) kit::fail();
        PyObject* expires_at = PyDict_GetItemWithError(fields.get(), cx["expires_at"_n]);
        if (expires_at == Py_None) return false;
        if (!expires_at && PyErr_Occurred()) kit::fail();
        if (expires_at) {
            int reached = wall_clock_reached(cx, expires_at);
            if (reached >= 0) return reached != 0;
        }
    }
    return entry.method(cx["is_expired"_n]).truthy();
}

// CacheEntry(data=..., fetched_at=..., params=..., expires_at=...).  For the
// module's own dataclass, while nothing about it has changed, this does what
// its generated __init__ does, setting the four attributes in order on a new
// instance, without running it; any other class is called.
Object new_entry(kit::Ctx cx, const Object& cls, const Object& data, const Object& fetched_at, const Object& params,
                 const Object& expires_at) {
    auto* tp = reinterpret_cast<PyTypeObject*>(cls.get());
    if (PyType_CheckExact(cls.get()) && tp->tp_new == PyBaseObject_Type.tp_new &&
        tp->tp_setattro == PyObject_GenericSetAttr && cx.state<State>().entry_init.holds(tp)) {
        Object entry = Object::steal(tp->tp_alloc(tp, 0));
        kit::check_rc(PyObject_GenericSetAttr(entry.get(), cx["data"_n], data.get()));
        kit::check_rc(PyObject_GenericSetAttr(entry.get(), cx["fetched_at"_n], fetched_at.get()));
        kit::check_rc(PyObject_GenericSetAttr(entry.get(), cx["params"_n], params.get()));
        kit::check_rc(PyObject_GenericSetAttr(entry.get(), cx["expires_at"_n], expires_at.get()));
        return entry;
    }
    return cls(kw(cx["data"_n], data), kw(cx["fetched_at"_n], fetched_at), kw(cx["params"_n], params),
               kw(cx["expires_at"_n], expires_at));
}

// self.<name> for a _Cache: from its own dict while the guard holds.
constexpr auto field = &kit::FieldGuard::field;

// d.pop(k, None), result dropped
void dict_discard(kit::Ctx cx, const Object& d, PyObject* k) {
    if (PyDict_CheckExact(d.get())) {
        kit::check_rc(PyDict_Pop(d.get(), k, nullptr));
        return;
    }
    d.method(cx["pop"_n], k, Py_None);
}

// `assert self._inflight is not None`: only evaluated when the interpreter
// runs with assertions enabled.  The flag is consulted only once the
// invariant is found broken, so the usual path pays nothing for it.
void assert_inflight(kit::Ctx cx, const Object& inflight) {
    if (inflight.is_none() && cx.global("__debug__"_n).truthy()) {
        PyErr_SetNone(PyExc_AssertionError);
        kit::fail();
    }
}

// `count <= than` (or `==`), straight from the value when the count is an
// exact int, as the counts the store keeps are; otherwise Python compares.
bool count_le(const Object& count, long than) {
    if (PyLong_CheckExact(count.get())) {
        int overflow = 0;
        long v = PyLong_AsLongAndOverflow(count.get(), &overflow);
        if (!overflow) return v <= than;
    }
    return count.le(kit::integer(than));
}
bool count_is(const Object& count, long value) {
    if (PyLong_CheckExact(count.get())) {
        int overflow = 0;
        long v = PyLong_AsLongAndOverflow(count.get(), &overflow);
        if (!overflow) return v == value;
    }
    return count.eq(kit::integer(value));
}

// Whether hashing `o` runs no Python code and has no effect to observe: str,
// int, float, bool and None, and exact tuples of them (one level deep).
bool plain_hash(PyObject* o, int depth = 0) {
    if (PyUnicode_CheckExact(o) || PyLong_CheckExact(o) || PyFloat_CheckExact(o) || PyBool_Check(o) || o == Py_None)
        return true;
    if (depth > 1 || !PyTuple_CheckExact(o)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(o); ++i) {
        if (!plain_hash(PyTuple_GET_ITEM(o, i), depth + 1)) return false;
    }
    return true;
}

// The pair (ns, key) as a key to search an exact dict with or remove by.
// Such a dict keeps no reference to the key it was searched with, so while
// hashing and comparing the key runs no Python code, the tuple the module
// keeps for this is refilled instead of a new one made (refilling is
// allowed while nobody else holds the tuple); otherwise, for any other
// mapping, or while the tuple is in use, it is a new tuple.
class PairKey {
    Object tuple_;
    bool scratch_ = false;

public:
    PairKey(State& st, const Object& mapping, PyObject* ns, PyObject* key) {
        PyObject* t = st.scratch_pair.get();
        if (t && Py_REFCNT(t) == 1 && PyDict_CheckExact(mapping.get()) && plain_hash(ns, 1) && plain_hash(key, 1)) {
            kit::release_ref(PyTuple_GET_ITEM(t, 0));
            PyTuple_SET_ITEM(t, 0, Py_NewRef(ns));
            kit::release_ref(PyTuple_GET_ITEM(t, 1));
            PyTuple_SET_ITEM(t, 1, Py_NewRef(key));
            tuple_ = Object::borrow(t);
            scratch_ = true;
        } else {
            tuple_ = kit::tuple(ns, key);
        }
    }
    ~PairKey() {
        if (!scratch_ || !PyThreadState_GetUnchecked()) return;
        PyObject* t = tuple_.get();
        for (Py_ssize_t i = 0; i < 2; ++i) {
            PyObject* old = PyTuple_GET_ITEM(t, i);
            PyTuple_SET_ITEM(t, i, Py_NewRef(Py_None));
            Py_DECREF(old);
        }
    }
    PairKey(const PairKey&) = delete;
    PairKey& operator=(const PairKey&) = delete;
    PyObject* get() const { return tuple_.get(); }
};

// ---------------------------------------------------------------------------
// CacheEntry
constexpr Sig is_expired_sig{"is_expired", {arg("self")}, "bool"};

Object is_expired(Call& c) {
    kit::Ctx cx = c.cx();
    Object expires_at = c.self().attr(cx["expires_at"_n]);
    if (expires_at.is_none()) return kit::False();
    // Greater-or-equal: an entry is stale from the very instant it expires.
    int reached = wall_clock_reached(cx, expires_at.get());
    if (reached >= 0) return kit::boolean(reached != 0);
    Object now = cx.global("datetime"_n).method(cx["now"_n]);
    return Object::steal(PyObject_RichCompare(now.get(), expires_at.get(), Py_GE));
}

// ---------------------------------------------------------------------------
// _Cache
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

constexpr Sig get_sig{"get", {arg("self"), arg("ns").ann("Namespace"), arg("key").ann("CacheKey")},
                  "Optional[CacheEntry]"};

// self.get(ns, key); `known_fields` is self's instance dict when the caller
// has it already.
Object cache_get(kit::Ctx cx, const Object& self, PyObject* ns, PyObject* key, PyObject* known_fields = nullptr) {
    kit::FieldGuard& guard = cx.state<State>().cache;
    Object fields = !known_fields                    ? guard.dict_of(self)
                    : guard.holds(Py_TYPE(self.get())) ? Object::borrow(known_fields)
                                                       : Object();
    return locked(cx, field(self, cx["_lock"_n], fields), [&]() -> Object {
        Object bucket = cx.dict_get(field(self, cx["_store"_n], fields), ns);
        if (!bucket.truthy()) return kit::None();
        Object entry = cx.dict_get(bucket, key);
        if (!entry.truthy()) return kit::None();
        if (expired(cx, entry)) {
            // The bucket stays, even when this was its last entry.
            dict_discard(cx, bucket, key);
            return kit::None();
        }
        return entry;
    });
}

Object get(Call& c) { return cache_get(c.cx(), c.self(), c.raw(get_sig["ns"]), c.raw(get_sig["key"])); }

PyObject* api_get(kit::ModState* st, PyObject* self, PyObject* fields, PyObject* ns, PyObject* key) noexcept {
    return kit::detail::guarded(
        [&]() -> PyObject* { return cache_get(kit::Ctx{st}, Object::borrow(self), ns, key, fields).release(); }, nullptr);
}

// Publishes the C entry (see store_api.hpp); the capsule holds the module.
void publish_api(kit::Module& m, State& st, const Object& get_fn) {
    st.api = pc::StoreApi{&st, st.cache_type.get(), get_fn.get(), api_get};
    Object capsule = Object::steal(PyCapsule_New(&st.api, pc::kStoreApiKey, [](PyObject* cap) {
        Py_XDECREF(static_cast<PyObject*>(PyCapsule_GetContext(cap)));
    }));
    kit::check_rc(PyCapsule_SetContext(capsule.get(), Py_NewRef(m.m)));
    PyObject* idict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!idict) kit::raise(PyExc_RuntimeError, "no interpreter state dict");
    kit::check_rc(PyDict_SetItemString(idict, pc::kStoreApiKey, capsule.get()));
}

constexpr Sig set_sig{"set",
                  {arg("self"), arg("ns").ann("Namespace"), arg("key").ann("CacheKey"),
                   arg("data").ann("pd.DataFrame"),
                   kwonly("params").dict().opt().def_none().ann("Optional[Dict[str, Any]]"),
                   kwonly("ttl").def_none().ann("Optional[timedelta]")},
                  "CacheEntry"};

Object set(Call& c) {
    kit::Ctx cx = c.cx();
    Object self = c.self();
    Object fields = cx.state<State>().cache.dict_of(self);
    PyObject* ns = c.raw(set_sig["ns"]);
    PyObject* key = c.raw(set_sig["key"]);
    Object data = c[set_sig["data"]], params = c[set_sig["params"]], ttl = c[set_sig["ttl"]];
    return locked(cx, field(self, cx["_lock"_n], fields), [&]() -> Object {
        Object store = field(self, cx["_store"_n], fields);
        if (!kit::contains(store, Object::borrow(ns))) store.set_item(ns, kit::dict());

        // A zero timedelta is false: such an entry never expires.
        Object expires_at = kit::None();
        if (ttl.truthy()) expires_at = kit::add(local_now(cx), ttl);

        Object CacheEntry = cx.global("CacheEntry"_n);
        Object fetched_at = local_now(cx);
        // The caller's dict is kept when it has content; an empty or missing
        // one becomes a fresh dict that belongs to the entry.
        Object entry_params = params.truthy() ? params : kit::dict();
        Object entry = new_entry(cx, CacheEntry, data, fetched_at, entry_params, expires_at);

        field(self, cx["_store"_n], fields).item(ns).set_item(key, entry);
        return entry;
    });
}

constexpr Sig clear_ns_sig{"clear_ns", {arg("self"), arg("ns").ann("Namespace")}, "None"};

Object clear_ns(Call& c) {
    kit::Ctx cx = c.cx();
    Object self = c.self();
    Object fields = cx.state<State>().cache.dict_of(self);
    PyObject* ns = c.raw(clear_ns_sig["ns"]);
    locked(cx, field(self, cx["_lock"_n], fields), [&] { dict_discard(cx, field(self, cx["_store"_n], fields), ns); });
    return {};
}

constexpr Sig clear_all_sig{"clear_all", {arg("self")}, "None"};

Object clear_all(Call& c) {
    kit::Ctx cx = c.cx();
    Object self = c.self();
    Object fields = cx.state<State>().cache.dict_of(self);
    // In-flight counts are left alone: the fetches they stand for still run.
    locked(cx, field(self, cx["_lock"_n], fields), [&] { field(self, cx["_store"_n], fields).method(cx["clear"_n]); });
    return {};
}

constexpr Sig begin_inflight_sig{"_begin_inflight", {arg("self"), arg("ns").ann("Namespace"), arg("key").ann("CacheKey")},
                             "bool"};

Object begin_inflight(Call& c) {
    kit::Ctx cx = c.cx();
    Object self = c.self();
    Object fields = cx.state<State>().cache.dict_of(self);
    if (!field(self, cx["_singleflight"_n], fields).truthy()) return kit::True();
    assert_inflight(cx, field(self, cx["_inflight"_n], fields));
    Object k = kit::tuple(c.raw(begin_inflight_sig["ns"]), c.raw(begin_inflight_sig["key"]));
    return locked(cx, field(self, cx["_lock"_n], fields), [&]() -> Object {
        Object inflight = field(self, cx["_inflight"_n], fields);
        Object one = kit::integer(1);
        Object cnt;
        if (PyDict_CheckExact(inflight.get()) && plain_hash(k.get())) {
            // The first claim of a pair, the usual case, in one lookup: it
            // leaves what get-then-store leaves, and hashing such a key twice
            // or once cannot be told apart.
            PyObject* found = nullptr;
            if (kit::check_rc(PyDict_SetDefaultRef(inflight.get(), k.get(), one.get(), &found)) == 0) {
                Py_DECREF(found);
                return kit::True();
            }
            cnt = Object::steal(found);
        } else {
            cnt = cx.dict_get(inflight, k.get(), kit::integer(0).get());
        }
        inflight.set_item(k, kit::add(cnt, one));
        // Waiters are counted too, so the pair stays claimed until the last
        // registered caller has ended.
        return kit::boolean(count_is(cnt, 0));
    });
}

constexpr Sig end_inflight_sig{"_end_inflight", {arg("self"), arg("ns").ann("Namespace"), arg("key").ann("CacheKey")},
                           "None"};

Object end_inflight(Call& c) {
    kit::Ctx cx = c.cx();
    Object self = c.self();
    Object fields = cx.state<State>().cache.dict_of(self);
    if (!field(self, cx["_singleflight"_n], fields).truthy()) return {};
    assert_inflight(cx, field(self, cx["_inflight"_n], fields));
    PyObject* ns = c.raw(end_inflight_sig["ns"]);
    PyObject* key = c.raw(end_inflight_sig["key"]);
    locked(cx, field(self, cx["_lock"_n], fields), [&] {
        Object inflight = field(self, cx["_inflight"_n], fields);
        PairKey k(cx.state<State>(), inflight, ns, key);
        Object one = kit::integer(1);
        // An end without a matching begin finds the default and changes nothing.
        Object cnt = cx.dict_get(inflight, k.get(), one.get());
        if (count_le(cnt, 1)) {
            dict_discard(cx, inflight, k.get());
        } else {
            // Stored under a tuple of its own: the key may be gone by now
            // (the count's arithmetic may run code) and be added again.
            Object less = kit::sub(cnt, one);
            inflight.set_item(kit::tuple(ns, key), less);
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
    return Object::steal(PyObject_RichCompare(day.get(), today.get(), Py_EQ));
}

// ---------------------------------------------------------------------------
void body(kit::Module& m) {
    kit::Ctx cx = m.cx;
    State& st = m.state<State>();
    st.rlock_type = kit::import_name("_thread", "RLock");
    st.rlock_acquire = reinterpret_cast<PyCFunctionWithKeywords>(
        reinterpret_cast<void (*)()>(c_method(st.rlock_type, "acquire", METH_VARARGS | METH_KEYWORDS)));
    st.rlock_release = c_method(st.rlock_type, "release", METH_NOARGS);
    st.no_args = kit::tuple();
    st.scratch_pair = kit::tuple(Py_None, Py_None);
    m.from_import("dataclasses", {"dataclass", "field"});
    m.from_import("datetime", {"date", "datetime", "timedelta"});
    st.datetime_type = m.get("datetime");
    st.datetime_api = static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
    if (!st.datetime_api) kit::fail();
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
        Object own_is_expired = cls.method(is_expired_sig, is_expired);
        m.set("CacheEntry", m.get("dataclass")(cls.build()));
        st.entry.bind(m.get("CacheEntry"), {cx["expires_at"_n]}, {{cx["is_expired"_n], own_is_expired}});
        st.entry_init.bind(m.get("CacheEntry"), {cx["data"_n], cx["fetched_at"_n], cx["params"_n], cx["expires_at"_n]},
                           {{cx["__init__"_n], m.get("CacheEntry").attr(cx["__init__"_n])}});
    }

    {
        kit::ClassDef cls(m, "_Cache",
                          "\n    Namespace-keyed cache with optional TTL and (optional) singleflight.\n"
                          "    Thread-safe via RLock.\n    ");
        cls.method(init_sig, init);
        Object own_get = cls.method(get_sig, get);
        cls.method(set_sig, set,
                   nullptr);
        cls.method(clear_ns_sig, clear_ns);
        cls.method(clear_all_sig, clear_all);
        cls.method(begin_inflight_sig, begin_inflight,
                   "Returns True if caller should fetch; False if another fetch in progress.");
        cls.method(end_inflight_sig, end_inflight);
        m.set("_Cache", cls.build());
        st.cache_type = m.get("_Cache");
        publish_api(m, st, own_get);
        st.cache.bind(m.get("_Cache"), {cx["_lock"_n], cx["_store"_n], cx["_inflight"_n], cx["_singleflight"_n]});
    }

    m.def(to_date_sig, to_date);
    m.def(is_today_sig, is_today);

    m.set_all({"_Cache", "CacheEntry", "CacheKey", "Namespace", "to_date", "is_today"});
}

}  // namespace

KIT_MODULE(stash_store, State, body,
           "The result cache: a namespace-keyed store with expiry and in-flight counts that fold identical\n"
           "fetches, and two date helpers.")
