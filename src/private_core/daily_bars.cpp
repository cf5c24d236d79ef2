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

// Decodes one symbol's answer and appends its rows, checking the payload in
// the order the error messages are documented.
void collect_rows(const Object& response, const Object& sym, const Object& all_rows) {
    Object payload;
    try {
        payload = response.method("json");
    } catch (kit::Error&) {
        Object exc = kit::catch_if(PyExc_ValueError);
        raise_decoding("Unable to decode OHLCV response as JSON", exc);
    }
    if (!PyDict_Check(payload.get()))
        raise_decoding("Unexpected payload structure for OHLCV response.");
    if (payload.method("get", "error").truthy()) {
        Object error = payload.item(kit::str("error")).str();
        raise_decoding(kit::cat({"Backend returned error for ", sym, ": ", error}));
    }
    Object data = payload.method("get", "data");
    if (!PyList_Check(data.get()))
        raise_decoding("Unexpected payload format for OHLCV series.");

    Object it = Object::steal(PyObject_GetIter(data.get()));
    Object key_symbol = kit::str("symbol");
    while (Object item = Object::steal_or_null(PyIter_Next(it.get()))) {
        // "symbol" leads every row; a bar's own "symbol" replaces the value in place.
        Object row = kit::dict();
        row.set_item(key_symbol, sym);
        if (!PyDict_Check(item.get()))
            raise_decoding("Each OHLCV row must be a dictionary.");
        kit::check_rc(PyDict_Update(row.get(), item.get()));
        kit::check_rc(PyList_Append(all_rows.get(), row.get()));
    }
    if (PyErr_Occurred()) kit::fail();
}

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
    const Py_ssize_t total = symbols.len();
    Object all_rows = kit::list();

    kit::global("start_progress")(total, "Batch EOD");
    Object it = Object::steal(PyObject_GetIter(symbols.get()));
    long long idx = 0;
    while (Object sym = Object::steal_or_null(PyIter_Next(it.get()))) {
        ++idx;
        Object params = kit::dict();
        params.set_item(kit::str("symbol"), sym);
        params.set_item(kit::str("interval"), interval);
        if (start.truthy()) params.set_item(kit::str("start"), start);
        if (end.truthy()) params.set_item(kit::str("end"), end);

        Object response = session.method("get", kit::global("ENDPOINT"), kw("params", params));
        collect_rows(response, sym, all_rows);
        if (show_progress.truthy()) kit::global("update_progress")(idx);
    }
    if (PyErr_Occurred()) kit::fail();
    kit::global("finish_progress")();

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

    m.def({normalize_symbols_sig, normalize_symbols,
           "_normalize_symbols(symbols: Union[str, Sequence[str]]) -> List[str]\n\n"
           "Return a normalised, non-empty list of uppercase symbols."});
    m.def({render_progress_sig, render_progress,
           "_render_progress(int current: int, int total: int, str symbol: str) -> None\n\n"
           "Render a progress bar"});
    m.def({fetch_ohlcv_sig, fetch_ohlcv,
           "fetch_ohlcv(session: HttpSession, symbol: Union[str, Sequence[str]], str start: Optional[str] = None, "
           "str end: Optional[str] = None, interval: Interval = '1D', *, show_progress: bool = True) -> pd.DataFrame\n\n"
           "Fetch raw OHLCV data for one or multiple symbols."});
}

}  // namespace

KIT_MODULE(daily_bars, body)
