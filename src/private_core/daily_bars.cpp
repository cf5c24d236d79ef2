// private_core.daily_bars: end-of-day OHLCV bars for one symbol or a batch.
#include "kit/kit.hpp"

namespace {

using kit::Call;
using kit::Object;
using kit::Sig;
using kit::arg;
using kit::kw;
using kit::kwonly;

constexpr const char* kEndpoint = "/market-data/eod/ohlcv";

#include "price_common.hpp"

// ---------------------------------------------------------------------------
const Sig fetch_ohlcv_sig{"fetch_ohlcv",
                          {arg("session").ann("HttpSession"), arg("symbol").ann("Union[str, Sequence[str]]"),
                           arg("start").str().opt().def_none().ann("Optional[str]"),
                           arg("end").str().opt().def_none().ann("Optional[str]"),
                           arg("interval").def_str("1D").ann("Interval"),
                           kwonly("show_progress").def_bool(true).ann("bool")},
                          "pd.DataFrame"};

Object fetch_ohlcv(Call& c) {
    Object session = c.arg(0), start = c.arg(2), end = c.arg(3), interval = c.arg(4), show_progress = c.arg(5);
    Object symbols = kit::global("_normalize_symbols")(c.arg(1));
    Object all_rows = fetch_rows(session, symbols, "Batch EOD", "ENDPOINT", show_progress, kBarTexts,
                                 [&](const Object& sym) {
                                     Object params = kit::dict();
                                     params.set_item(kit::str("symbol"), sym);
                                     params.set_item(kit::str("interval"), interval);
                                     if (start.truthy()) params.set_item(kit::str("start"), start);
                                     if (end.truthy()) params.set_item(kit::str("end"), end);
                                     return params;
                                 });
    if (PyList_GET_SIZE(all_rows.get()) == 0) return kit::global("pd").attr("DataFrame")();
    Object df = kit::global("_to_dataframe")(all_rows);
    return kit::global("resample_ohlcv_multi")(df, kw("interval", interval));
}

// ---------------------------------------------------------------------------
void body(kit::Module& m) {
    m.set("sys", kit::import("sys"));
    m.from_import("typing", {"Any", "Dict", "List", "Optional", "Sequence", "Union"});
    m.from_import("varnix.exceptions", {"DataDecodingError"});
    m.from_import("wire_link", {"HttpSession"}, 1);
    m.from_import("helpers", {"Interval", "_to_dataframe", "resample_ohlcv_multi"}, 1);
    m.from_import("progress", {"start_progress", "update_progress", "finish_progress"}, 1);
    m.set("pd", kit::import("pandas"));
    m.set("ENDPOINT", kit::str(kEndpoint));

    def_shared(m);
    m.def({fetch_ohlcv_sig, fetch_ohlcv,
           "fetch_ohlcv(session: HttpSession, symbol: Union[str, Sequence[str]], str start: Optional[str] = None, "
           "str end: Optional[str] = None, interval: Interval = '1D', *, show_progress: bool = True) -> pd.DataFrame\n\n"
           "Fetch raw OHLCV data for one or multiple symbols."});
}

}  // namespace

KIT_MODULE(daily_bars, body)
