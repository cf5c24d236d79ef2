// private_core.tick_bars: intraday OHLCV bars and order-book tapes.
#include "kit/kit.hpp"
#include "private_core/array_view.hpp"
#include "private_core/iso_time.hpp"

#include <algorithm>

namespace {

using namespace kit::literals;
using kit::Call;
using kit::Object;
using kit::Sig;
using kit::arg;
using kit::kw;
using kit::kwonly;

constexpr const char* kEndpoint = "/market-data/intraday/ohlcv";
constexpr const char* kOrderbookEndpoint = "/market-data/intraday/orderbook";

#include "price_common.hpp"

// ---------------------------------------------------------------------------
constexpr Sig fetch_ohlcv_sig{"fetch_ohlcv",
                          {arg("session").ann("HttpSession"), arg("symbol").ann("Union[str, Sequence[str]]"),
                           arg("start").str().opt().def_none().ann("Optional[str]"),
                           arg("end").str().opt().def_none().ann("Optional[str]"),
                           arg("interval").def_str("1m").ann("IntervalIntraday"),
                           arg("adjusted").def_none().ann("Optional[bool]"),
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
    Batch batch;
    fetch_batch(cx, batch, session, symbols, "Batch intraday", cx["ENDPOINT"_n],
                c[fetch_ohlcv_sig["show_progress"]], kBarTexts,
                [&](const Object& sym) {
                    Object params = bar_query(sym, kit::str("1m"), start, end);
                    if (!adjusted.is_none())
                        params.set_item(kit::str("adjusted"),
                                        kit::str(adjusted.truthy() ? "true" : "false"));
                    return params;
                });
    return resampled_bars(cx, batch, interval);
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
    Batch batch;
    fetch_batch(cx, batch, session, symbols, "Orderbook intraday", cx["ORDERBOOK_ENDPOINT"_n],
                c[fetch_orderbook_sig["show_progress"]],
                kTapeTexts, [&](const Object& sym) {
                    Object params = kit::dict();
                    params.set_item(kit::str("symbol"), sym);
                    if (target_date.truthy()) params.set_item(kit::str("target_date"), target_date);
                    return params;
                });
    // Tapes are raw entries: built into a table, never resampled.
    return batch_table(cx, batch);
}

// ---------------------------------------------------------------------------
void body(kit::Module& m) {
    setup_shared(m, "IntervalIntraday");
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
