// private_core.tick_bars: intraday OHLCV bars and order-book tapes.
#include "kit/kit.hpp"

namespace {

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
const Sig fetch_ohlcv_sig{"fetch_ohlcv",
                          {arg("session").ann("HttpSession"), arg("symbol").ann("Union[str, Sequence[str]]"),
                           arg("start").str().opt().def_none().ann("Optional[str]"),
                           arg("end").str().opt().def_none().ann("Optional[str]"),
                           arg("interval").def_str("1m").ann("IntervalIntraday"),
                           arg("adjusted").def_none().ann("Optional[bool]"),
                           kwonly("show_progress").def_bool(true).ann("bool")},
                          "pd.DataFrame"};

Object fetch_ohlcv(Call& c) {
    Object session = c.arg(0), start = c.arg(2), end = c.arg(3), interval = c.arg(4), adjusted = c.arg(5);
    Object symbols = kit::global("_normalize_symbols")(c.arg(1));
    // The service is always asked for one-minute bars; the caller's interval
    // only shapes the resampling.
    Object all_rows = fetch_rows(session, symbols, "Batch intraday", "ENDPOINT", c.arg(6), kBarTexts,
                                 [&](const Object& sym) {
                                     Object params = kit::dict();
                                     params.set_item(kit::str("symbol"), sym);
                                     params.set_item(kit::str("interval"), kit::str("1m"));
                                     if (start.truthy()) params.set_item(kit::str("start"), start);
                                     if (end.truthy()) params.set_item(kit::str("end"), end);
                                     if (!adjusted.is_none())
                                         params.set_item(kit::str("adjusted"),
                                                         kit::str(adjusted.truthy() ? "true" : "false"));
                                     return params;
                                 });
    if (PyList_GET_SIZE(all_rows.get()) == 0) return kit::global("pd").attr("DataFrame")();
    Object df = kit::global("_to_dataframe")(all_rows);
    return kit::global("resample_ohlcv_multi")(df, kw("interval", interval));
}

const Sig fetch_orderbook_sig{"fetch_orderbook",
                              {arg("session").ann("HttpSession"), arg("symbol").ann("Union[str, Sequence[str]]"),
                               arg("target_date").str().opt().def_none().ann("Optional[str]"),
                               kwonly("show_progress").def_bool(true).ann("bool")},
                              "pd.DataFrame"};

Object fetch_orderbook(Call& c) {
    Object session = c.arg(0), target_date = c.arg(2);
    Object symbols = kit::global("_normalize_symbols")(c.arg(1));
    Object all_rows = fetch_rows(session, symbols, "Orderbook intraday", "ORDERBOOK_ENDPOINT", c.arg(3),
                                 kTapeTexts, [&](const Object& sym) {
                                     Object params = kit::dict();
                                     params.set_item(kit::str("symbol"), sym);
                                     if (target_date.truthy()) params.set_item(kit::str("target_date"), target_date);
                                     return params;
                                 });
    if (PyList_GET_SIZE(all_rows.get()) == 0) return kit::global("pd").attr("DataFrame")();
    // Tapes are raw entries: built into a table, never resampled.
    return kit::global("_to_dataframe")(all_rows);
}

// ---------------------------------------------------------------------------
void body(kit::Module& m) {
    m.set("sys", kit::import("sys"));
    m.from_import("typing", {"Any", "Dict", "List", "Optional", "Sequence", "Union"});
    m.from_import("varnix.exceptions", {"DataDecodingError"});
    m.from_import("wire_link", {"HttpSession"}, 1);
    m.from_import("helpers", {"IntervalIntraday", "_to_dataframe", "resample_ohlcv_multi"}, 1);
    m.from_import("progress", {"start_progress", "update_progress", "finish_progress"}, 1);
    m.set("pd", kit::import("pandas"));
    m.set("ENDPOINT", kit::str(kEndpoint));
    m.set("ORDERBOOK_ENDPOINT", kit::str(kOrderbookEndpoint));

    def_shared(m);
    m.def({fetch_ohlcv_sig, fetch_ohlcv,
           "fetch_ohlcv(session: HttpSession, symbol: Union[str, Sequence[str]], str start: Optional[str] = None, "
           "str end: Optional[str] = None, interval: IntervalIntraday = '1m', adjusted: Optional[bool] = None, *, "
           "show_progress: bool = True) -> pd.DataFrame\n\n"
           "Fetch raw OHLCV data for one or multiple symbols."});
    m.def({fetch_orderbook_sig, fetch_orderbook,
           "fetch_orderbook(session: HttpSession, symbol: Union[str, Sequence[str]], str target_date: Optional[str] = "
           "None, *, show_progress: bool = True) -> pd.DataFrame\n\n"
           "Fetch raw orderbook (tape) data for one or multiple symbols."});
}

}  // namespace

KIT_MODULE(tick_bars, body)
