// private_core.stash_layer: BaseStashLayer, the mixin that gives each client
// object its own result cache and the get-or-fetch routine around it.
#include "kit/kit.hpp"

namespace {

using kit::Call;
using kit::Object;
using kit::Sig;
using kit::arg;
using kit::kw;
using kit::kwonly;
using kit::star;
using kit::starstar;

// ---------------------------------------------------------------------------
const Sig init_sig{"__init__", {arg("self"), star("args"), starstar("kwargs")}};

Object init(Call& c) {
    Object self = c.self();
    // super().__init__(*args, **kwargs): the rest of the MRO runs first, so
    // cooperative client constructors chain through this class unchanged.
    Object parent = kit::global("super")(c.owner(), self);
    kit::call_star(parent.attr("__init__"), c.arg(1), c.arg(2));
    self.set_attr("_cache", kit::global("_Cache")(kw("enable_singleflight", true)));
    return {};
}

// ---------------------------------------------------------------------------
const Sig clear_cache_sig{"clear_cache", {arg("self"), arg("ns").str().opt().def_none().ann("Optional[str]")}, "None"};

Object clear_cache(Call& c) {
    Object ns = c.arg(1);
    // The empty string means "everything", as no argument does.
    if (ns.truthy()) c.self().attr("_cache").method("clear_ns", ns);
    else c.self().attr("_cache").method("clear_all");
    return {};
}

// ---------------------------------------------------------------------------
const Sig fetch_with_cache_sig{
    "_fetch_with_cache",
    {arg("self"), arg("namespace").ann("Namespace"), arg("key").ann("CacheKey"), kwonly("live").ann("bool"),
     kwonly("fetcher").ann("Callable[[], pd.DataFrame]"), kwonly("ttl_live").ann("Optional[timedelta]"),
     kwonly("ttl_history").ann("Optional[timedelta]"),
     kwonly("params").dict().opt().def_none().ann("Optional[Dict[str, Any]]"),
     kwonly("wait_timeout").dbl().def_float(1.0).ann("float"),
     kwonly("wait_interval").dbl().def_float(0.05).ann("float")},
    "pd.DataFrame"};

enum : int { kNamespace = 1, kKey, kLive, kFetcher, kTtlLive, kTtlHistory, kParams, kWaitTimeout, kWaitInterval };

Object monotonic() { return kit::global("time").method("monotonic"); }

Object fetch_with_cache(Call& c) {
    Object self = c.self();
    PyObject* ns = c.raw(kNamespace);
    PyObject* key = c.raw(kKey);
    Object live = c.arg(kLive);

    // Historical data may be answered straight from the store.  A live
    // request never is: it must register first, so that it either fetches
    // fresh data or waits for the fetch already under way.
    if (!live.truthy()) {
        Object hit = self.attr("_cache").method("get", ns, key);
        if (hit.truthy()) return hit.attr("data");
    }

    // Registered outside the protected block: if this raises there is no
    // count to give back.
    const bool should_fetch = self.attr("_cache").method("_begin_inflight", ns, key).truthy();

    return kit::try_finally(
        [&]() -> Object {
            if (!should_fetch) {
                // Someone else is fetching this pair: look into the store every
                // wait_interval until wait_timeout has passed, then fetch
                // ourselves.  No lock is held while sleeping.
                Object deadline = Object::steal(PyNumber_Add(monotonic().get(), c.raw(kWaitTimeout)));
                while (monotonic().lt(deadline)) {
                    Object hit = self.attr("_cache").method("get", ns, key);
                    if (hit.truthy()) return hit.attr("data");
                    kit::global("time").method("sleep", c.raw(kWaitInterval));
                }
            }
            Object data = c.arg(kFetcher)();
            Object ttl = live.truthy() ? c.arg(kTtlLive) : c.arg(kTtlHistory);
            self.attr("_cache").method("set", ns, key, data, kw("params", c.raw(kParams)), kw("ttl", ttl));
            return data;
        },
        [&] { self.attr("_cache").method("_end_inflight", ns, key); });
}

// ---------------------------------------------------------------------------
void body(kit::Module& m) {
    m.set("time", kit::import("time"));
    m.from_import("datetime", {"timedelta"});
    m.from_import("typing", {"Any", "Callable", "Dict", "Optional"});
    m.set("pd", kit::import("pandas"));
    m.from_import("stash_store", {"CacheKey", "Namespace", "_Cache"}, 1);

    kit::ClassDef cls(m, "BaseStashLayer", "Mixin providing a shared _Cache instance and helper utilities.");
    cls.method(init_sig, init, "BaseStashLayer.__init__(self, *args, **kwargs)");
    cls.method(clear_cache_sig, clear_cache, "BaseStashLayer.clear_cache(self, str ns: Optional[str] = None) -> None");
    cls.method(fetch_with_cache_sig, fetch_with_cache,
               "BaseStashLayer._fetch_with_cache(self, namespace: Namespace, key: CacheKey, *, live: bool, "
               "fetcher: Callable[[], pd.DataFrame], ttl_live: Optional[timedelta], ttl_history: Optional[timedelta], "
               "dict params: Optional[Dict[str, Any]] = None, double wait_timeout: float = 1.0, "
               "double wait_interval: float = 0.05) -> pd.DataFrame\n\n"
               "Shared helper encapsulating get/set + singleflight orchestration.");
    m.set("BaseStashLayer", cls.build());

    m.set("__all__", kit::list());
    kit::check_rc(PyList_Append(m.get("__all__").get(), kit::str("BaseStashLayer").get()));
}

}  // namespace

KIT_MODULE(stash_layer, body)
