// private_core.daily_bars: end-of-day OHLCV bars for one symbol or a batch.
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

constexpr const char* kEndpoint = "/market-data/eod/ohlcv";

constexpr const char* kPathTable = "daily_bars.table";
constexpr const char* kPathTimes = "daily_bars.times";

#include "private_core/price_fetch.hpp"
#include "private_core/price_tables_fast.hpp"

// ---------------------------------------------------------------------------
constexpr Sig fetch_ohlcv_sig{
    "fetch_ohlcv",
    {arg("session").ann("HttpSession"), arg("symbol").ann("Union[str, Sequence[str]]"),
     arg("start").str().opt().def_none().ann("Optional[str]"), arg("end").str().opt().def_none().ann("Optional[str]"),
     arg("interval").def_str("1D").ann("Interval"), kwonly("show_progress").def_bool(true).ann("bool")},
    "pd.DataFrame"};

Object fetch_ohlcv(Call& c) {
    kit::Ctx cx = c.cx();
    Object session = c[fetch_ohlcv_sig["session"]], start = c[fetch_ohlcv_sig["start"]];
    Object end = c[fetch_ohlcv_sig["end"]], interval = c[fetch_ohlcv_sig["interval"]];
    Object symbols = cx.global("_normalize_symbols"_n)(c[fetch_ohlcv_sig["symbol"]]);
    Object all_rows =
        fetch_rows(cx, session, symbols, "Batch EOD", cx["ENDPOINT"_n], c[fetch_ohlcv_sig["show_progress"]], kBarTexts,
                   [&](const Object& sym) { return bar_query(sym, interval, start, end); });
    if (PyList_GET_SIZE(all_rows.get()) == 0) return cx.global("pd"_n).attr(cx["DataFrame"_n])();
    if (auto r = fast_bars(cx, all_rows, interval)) return *r;
    Object df = cx.global("_to_dataframe"_n)(all_rows);
    return cx.global("resample_ohlcv_multi"_n)(df, kw(cx["interval"_n], interval));
}

// ---------------------------------------------------------------------------
void body(kit::Module& m) {
    setup_shared(m, "Interval", true);
    m.set("ENDPOINT", kit::str(kEndpoint));

    def_shared(m);
    m.def(fetch_ohlcv_sig, fetch_ohlcv, "Fetch raw OHLCV data for one or multiple symbols.");

    m.set_all({"fetch_ohlcv", "ENDPOINT", "Interval"});
}

}  // namespace

KIT_MODULE(daily_bars, State, body,
           "fetch_ohlcv: end-of-day OHLCV bars for one symbol or a batch, as one pandas DataFrame.")
