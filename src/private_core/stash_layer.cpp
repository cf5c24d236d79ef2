// private_core.stash_layer: BaseStashLayer, the mixin that gives each client
// object its own result cache and the get-or-fetch routine around it.
#include "kit/kit.hpp"

namespace {

using namespace kit::literals;
using kit::arg;
using kit::Call;
using kit::kw;
using kit::kwonly;
using kit::Object;
using kit::Sig;
using kit::star;
using kit::starstar;

// ---------------------------------------------------------------------------
constexpr Sig init_sig{"__init__", {arg("self"), star("args"), starstar("kwargs")}};

Object init(Call& c) {
    kit::Ctx cx = c.cx();
    Object self = c.self();
    // super().__init__(*args, **kwargs): the rest of the MRO runs first, so
    // cooperative client constructors chain through this class unchanged.
    Object parent = cx.global("super"_n)(c.owner(), self);
    kit::call_star(parent.attr(cx["__init__"_n]), c[init_sig["args"]], c[init_sig["kwargs"]]);
    self.set_attr(cx["_cache"_n], cx.global("_Cache"_n)(kw(cx["enable_singleflight"_n], true)));
    return {};
}

// ---------------------------------------------------------------------------
constexpr Sig clear_cache_sig{
    "clear_cache", {arg("self"), arg("ns").str().opt().def_none().ann("Optional[str]")}, "None"};

Object clear_cache(Call& c) {
    kit::Ctx cx = c.cx();
    Object ns = c[clear_cache_sig["ns"]];
    // The empty string means "everything", as no argument does.
    if (ns.truthy())
        c.self().attr(cx["_cache"_n]).method(cx["clear_ns"_n], ns);
    else
        c.self().attr(cx["_cache"_n]).method(cx["clear_all"_n]);
    return {};
}

// ---------------------------------------------------------------------------
constexpr Sig fetch_with_cache_sig{
    "_fetch_with_cache",
    {arg("self"), arg("namespace").ann("Namespace"), arg("key").ann("CacheKey"), kwonly("live").ann("bool"),
     kwonly("fetcher").ann("Callable[[], pd.DataFrame]"), kwonly("ttl_live").ann("Optional[timedelta]"),
     kwonly("ttl_history").ann("Optional[timedelta]"),
     kwonly("params").dict().opt().def_none().ann("Optional[Dict[str, Any]]"),
     kwonly("wait_timeout").dbl().def_float(1.0).ann("float"),
     kwonly("wait_interval").dbl().def_float(0.05).ann("float")},
    "pd.DataFrame"};

Object monotonic(kit::Ctx cx) { return cx.global("time"_n).method(cx["monotonic"_n]); }

Object fetch_with_cache(Call& c) {
    constexpr const Sig& s = fetch_with_cache_sig;
    kit::Ctx cx = c.cx();
    Object self = c.self();
    PyObject* ns = c.raw(s["namespace"]);
    PyObject* key = c.raw(s["key"]);
    Object live = c[s["live"]];

    // Historical data may be answered straight from the store.  A live
    // request never is: it must register first, so that it either fetches
    // fresh data or waits for the fetch already under way.
    if (!live.truthy()) {
        Object hit = self.attr(cx["_cache"_n]).method(cx["get"_n], ns, key);
        if (hit.truthy()) return hit.attr(cx["data"_n]);
    }

    // Registered outside the protected block: if this raises there is no
    // count to give back.
    const bool should_fetch = self.attr(cx["_cache"_n]).method(cx["_begin_inflight"_n], ns, key).truthy();

    return kit::try_finally(
        [&]() -> Object {
            if (!should_fetch) {
                // Someone else is fetching this pair: look into the store every
                // wait_interval until wait_timeout has passed, then fetch
                // ourselves.  No lock is held while sleeping.
                Object deadline = kit::add(monotonic(cx), c[s["wait_timeout"]]);
                while (monotonic(cx).lt(deadline)) {
                    Object hit = self.attr(cx["_cache"_n]).method(cx["get"_n], ns, key);
                    if (hit.truthy()) return hit.attr(cx["data"_n]);
                    cx.global("time"_n).method(cx["sleep"_n], c.raw(s["wait_interval"]));
                    // No bytecode runs in this loop: an interrupt that arrived
                    // during the sleep (SIGINT, interrupt_main) is raised here,
                    // within one poll, as a Python loop would raise it.
                    kit::check_rc(PyErr_CheckSignals());
                }
            }
            Object data = c[s["fetcher"]]();
            Object ttl = live.truthy() ? c[s["ttl_live"]] : c[s["ttl_history"]];
            self.attr(cx["_cache"_n])
                .method(cx["set"_n], ns, key, data, kw(cx["params"_n], c.raw(s["params"])), kw(cx["ttl"_n], ttl));
            return data;
        },
        [&] { self.attr(cx["_cache"_n]).method(cx["_end_inflight"_n], ns, key); });
}

// ---------------------------------------------------------------------------
void body(kit::Module& m) {
    m.set("time", kit::import("time"));
    m.from_import("datetime", {"timedelta"});
    m.from_import("typing", {"Any", "Callable", "Dict", "Optional"});
    m.set("pd", kit::import("pandas"));
    m.from_import("stash_store", {"CacheKey", "Namespace", "_Cache"}, 1);

    kit::ClassDef cls(m, "BaseStashLayer", "Mixin providing a shared _Cache instance and helper utilities.");
    cls.method(init_sig, init);
    cls.method(clear_cache_sig, clear_cache);
    cls.method(fetch_with_cache_sig, fetch_with_cache,
               "Shared helper encapsulating get/set + singleflight orchestration.");
    m.set("BaseStashLayer", cls.build());

    m.set_all({"BaseStashLayer"});
}

}  // namespace

KIT_MODULE(stash_layer, kit::ModState, body,
           "BaseStashLayer: the mixin that gives each client object its own result cache and the get-or-fetch\n"
           "routine that folds concurrent identical fetches.")
