// private_core.tick_bars: intraday OHLCV bars and order-book tapes.
#include "kit/kit.hpp"
#include "private_core/columnar.hpp"

namespace {

using namespace kit::literals;
using kit::arg;
using kit::Call;
using kit::kw;
using kit::kwonly;
using kit::Object;
using kit::Sig;

constexpr const char* kEndpoint = "/market-data/intraday/ohlcv";
constexpr const char* kOrderbookEndpoint = "/market-data/intraday/orderbook";

constexpr const char* kPathTable = "tick_bars.table";
constexpr const char* kPathTimes = "tick_bars.times";

#include "private_core/price_fetch.hpp"
#include "private_core/price_tables_fast.hpp"

// ---------------------------------------------------------------------------
constexpr Sig fetch_ohlcv_sig{
    "fetch_ohlcv",
    {arg("session").ann("HttpSession"), arg("symbol").ann("Union[str, Sequence[str]]"),
     arg("start").str().opt().def_none().ann("Optional[str]"), arg("end").str().opt().def_none().ann("Optional[str]"),
     arg("interval").def_str("1m").ann("IntervalIntraday"), arg("adjusted").def_none().ann("Optional[bool]"),
     kwonly("show_progress").def_bool(true).ann("bool")},
    "pd.DataFrame"};

Object fetch_ohlcv(Call& c) {
    kit::Ctx cx = c.cx();
    Object session = c[fetch_ohlcv_sig["session"]], start = c[fetch_ohlcv_sig["start"]];
    Object end = c[fetch_ohlcv_sig["end"]], interval = c[fetch_ohlcv_sig["interval"]];
    Object adjusted = c[fetch_ohlcv_sig["adjusted"]];
    Object symbols = cx.global("_normalize_symbols"_n)(c[fetch_ohlcv_sig["symbol"]]);
    // The service is always asked for one-minute bars; the caller's interval
    // only shapes the resampling.
    Object all_rows =
        fetch_rows(cx, session, symbols, "Batch intraday", cx["ENDPOINT"_n], c[fetch_ohlcv_sig["show_progress"]],
                   kBarTexts, [&](const Object& sym) {
                       Object params = bar_query(sym, kit::str("1m"), start, end);
                       if (!adjusted.is_none())
                           params.set_item(kit::str("adjusted"), kit::str(adjusted.truthy() ? "true" : "false"));
                       return params;
                   });
    if (PyList_GET_SIZE(all_rows.get()) == 0) return cx.global("pd"_n).attr(cx["DataFrame"_n])();
    if (auto r = fast_bars(cx, all_rows, interval)) return *r;
    Object df = cx.global("_to_dataframe"_n)(all_rows);
    return cx.global("resample_ohlcv_multi"_n)(df, kw(cx["interval"_n], interval));
}

constexpr Sig fetch_orderbook_sig{"fetch_orderbook",
                                  {arg("session").ann("HttpSession"), arg("symbol").ann("Union[str, Sequence[str]]"),
                                   arg("target_date").str().opt().def_none().ann("Optional[str]"),
                                   kwonly("show_progress").def_bool(true).ann("bool")},
                                  "pd.DataFrame"};

Object fetch_orderbook(Call& c) {
    kit::Ctx cx = c.cx();
    Object session = c[fetch_orderbook_sig["session"]], target_date = c[fetch_orderbook_sig["target_date"]];
    Object symbols = cx.global("_normalize_symbols"_n)(c[fetch_orderbook_sig["symbol"]]);
    Object all_rows = fetch_rows(cx, session, symbols, "Orderbook intraday", cx["ORDERBOOK_ENDPOINT"_n],
                                 c[fetch_orderbook_sig["show_progress"]], kTapeTexts, [&](const Object& sym) {
                                     Object params = kit::dict();
                                     params.set_item(kit::str("symbol"), sym);
                                     if (target_date.truthy()) params.set_item(kit::str("target_date"), target_date);
                                     return params;
                                 });
    if (PyList_GET_SIZE(all_rows.get()) == 0) return cx.global("pd"_n).attr(cx["DataFrame"_n])();
    // Tapes are raw entries: built into a table, never resampled.
    if (auto r = fast_table(cx, all_rows)) return *r;
    return cx.global("_to_dataframe"_n)(all_rows);
}

// ---------------------------------------------------------------------------
void body(kit::Module& m) {
    setup_shared(m, "IntervalIntraday", false);
    m.set("ENDPOINT", kit::str(kEndpoint));
    m.set("ORDERBOOK_ENDPOINT", kit::str(kOrderbookEndpoint));

    def_shared(m);
    m.def(fetch_ohlcv_sig, fetch_ohlcv, "Fetch raw OHLCV data for one or multiple symbols.");
    m.def(fetch_orderbook_sig, fetch_orderbook, "Fetch raw orderbook (tape) data for one or multiple symbols.");

    m.set_all({"fetch_ohlcv", "fetch_orderbook", "ENDPOINT", "ORDERBOOK_ENDPOINT", "IntervalIntraday"});
}

}  // namespace

KIT_MODULE(tick_bars, State, body,
           "fetch_ohlcv and fetch_orderbook: intraday OHLCV bars and order-book tapes for one symbol or a batch.")
