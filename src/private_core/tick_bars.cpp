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
// The messages of one kind of answer; bars and tapes are checked alike.
struct Texts {
    const char* not_json;
    const char* not_object;
    const char* not_series;
    const char* not_row;
};

constexpr Texts kBarTexts{"Unable to decode OHLCV response as JSON", "Unexpected payload structure for OHLCV response.",
                          "Unexpected payload format for OHLCV series.", "Each OHLCV row must be a dictionary."};
constexpr Texts kTapeTexts{"Unable to decode orderbook response as JSON",
                           "Unexpected payload structure for orderbook response.",
                           "Unexpected payload format for orderbook series.", "Each orderbook row must be a dictionary."};


// Decodes one symbol's answer and appends its rows, checking the payload in
// the order the error messages are documented.
void collect_rows(const Object& response, const Object& sym, const Object& all_rows, const Texts& t) {
    Object payload;
    try {
        payload = response.method("json");
    } catch (kit::Error&) {
        Object exc = kit::catch_if(PyExc_ValueError);
        raise_decoding(t.not_json, exc);
    }
    if (!PyDict_Check(payload.get())) raise_decoding(t.not_object);
    if (payload.method("get", "error").truthy()) {
        Object error = payload.item(kit::str("error")).str();
        raise_decoding(kit::cat({"Backend returned error for ", sym, ": ", error}));
    }
    Object data = payload.method("get", "data");
    if (!PyList_Check(data.get())) raise_decoding(t.not_series);

    Object it = Object::steal(PyObject_GetIter(data.get()));
    Object key_symbol = kit::str("symbol");
    while (Object item = Object::steal_or_null(PyIter_Next(it.get()))) {
        if (!PyDict_Check(item.get())) raise_decoding(t.not_row);
        // "symbol" leads every row; the entry's own "symbol" replaces the value in place.
        Object row = kit::dict();
        row.set_item(key_symbol, sym);
        kit::check_rc(PyDict_Update(row.get(), item.get()));
        kit::check_rc(PyList_Append(all_rows.get(), row.get()));
    }
    if (PyErr_Occurred()) kit::fail();
}

// One GET per symbol, in order, with the progress calls around the batch.
// `params_for` builds the query of one symbol; the endpoint is the module
// global of that name, read at each request.
template <std::size_t N, class Params>
Object fetch_rows(const Object& session, const Object& symbols, const char* label, const char (&endpoint)[N],
                  const Object& show_progress, const Texts& t, Params&& params_for) {
    const Py_ssize_t total = symbols.len();
    Object all_rows = kit::list();
    kit::global("start_progress")(total, label);
    Object it = Object::steal(PyObject_GetIter(symbols.get()));
    long long index = 0;
    while (Object sym = Object::steal_or_null(PyIter_Next(it.get()))) {
        ++index;
        Object response = session.method("get", kit::global(endpoint), kw("params", params_for(sym)));
        collect_rows(response, sym, all_rows, t);
        if (show_progress.truthy()) kit::global("update_progress")(index);
    }
    if (PyErr_Occurred()) kit::fail();
    kit::global("finish_progress")();
    return all_rows;
}

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

    m.def({normalize_symbols_sig, normalize_symbols,
           "_normalize_symbols(symbols: Union[str, Sequence[str]]) -> List[str]\n\n"
           "Return a normalised, non-empty list of uppercase symbols."});
    m.def({render_progress_sig, render_progress,
           "_render_progress(int current: int, int total: int, str symbol: str) -> None\n\n"
           "Render a progress bar"});
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
