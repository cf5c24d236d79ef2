// private_core.stash_rules: whether a request reaches the latest trading day,
// and how long cached results of each kind of data stay valid.
#include "kit/kit.hpp"

namespace {

using kit::Call;
using kit::Object;
using kit::Sig;
using kit::arg;
using kit::kw;

// Every live period is one minute; every historical one is "never expires".
Object one_minute() { return kit::global("timedelta")(kw("minutes", 1)); }

const Sig touches_latest_trading_day_sig{"touches_latest_trading_day", {arg("end").ann("object")}, "bool"};

// The latest trading day is taken to be today's local date: no calendar of
// weekends or holidays is consulted.
Object touches_latest_trading_day(Call& c) { return kit::global("is_today")(c.arg(0)); }

const Sig ttl_intraday_live_sig{"ttl_intraday_live", {}, "timedelta"};
Object ttl_intraday_live(Call&) { return one_minute(); }

const Sig ttl_intraday_history_sig{"ttl_intraday_history", {}, "Optional[timedelta]"};
Object ttl_intraday_history(Call&) { return kit::None(); }

const Sig ttl_orderbook_live_sig{"ttl_orderbook_live", {}, "timedelta"};
Object ttl_orderbook_live(Call&) { return one_minute(); }

const Sig ttl_eod_latest_sig{"ttl_eod_latest", {}, "timedelta"};
Object ttl_eod_latest(Call&) { return one_minute(); }

const Sig ttl_eod_history_sig{"ttl_eod_history", {}, "Optional[timedelta]"};
Object ttl_eod_history(Call&) { return kit::None(); }

void body(kit::Module& m) {
    m.from_import("datetime", {"timedelta"});
    m.from_import("typing", {"Optional"});
    m.from_import("stash_store", {"is_today"}, 1);

    m.def({touches_latest_trading_day_sig, touches_latest_trading_day,
           "touches_latest_trading_day(end: object) -> bool"});
    m.def({ttl_intraday_live_sig, ttl_intraday_live, "ttl_intraday_live() -> timedelta"});
    m.def({ttl_intraday_history_sig, ttl_intraday_history, "ttl_intraday_history() -> Optional[timedelta]"});
    m.def({ttl_orderbook_live_sig, ttl_orderbook_live, "ttl_orderbook_live() -> timedelta"});
    m.def({ttl_eod_latest_sig, ttl_eod_latest, "ttl_eod_latest() -> timedelta"});
    m.def({ttl_eod_history_sig, ttl_eod_history, "ttl_eod_history() -> Optional[timedelta]"});

    Object all = kit::list();
    for (const char* n : {"touches_latest_trading_day", "ttl_intraday_live", "ttl_intraday_history",
                          "ttl_orderbook_live", "ttl_eod_latest", "ttl_eod_history"})
        kit::check_rc(PyList_Append(all.get(), kit::str(n).get()));
    m.set("__all__", all);
}

}  // namespace

KIT_MODULE(stash_rules, body)
