// What the two bar modules share: symbol normalisation, the plain text
// progress bar, and the per-symbol fetch loop with its payload checks, which
// builds the row records as the fetchers document them.  Each module compiles
// its own copy (extension modules never link against each other): include it
// inside the module's anonymous namespace, after its `using` declarations and
// its names kPathTable and kPathTimes (its fast paths' names).
#pragma once

#include "kit/kit.hpp"
#include "private_core/columnar.hpp"

// Cells of the text progress bar.
constexpr long long kBarWidth = 49;

// What the bar modules keep: helpers' table builder as imported, what of
// helpers the table accelerators stand on (price_tables_fast.hpp), and the
// columnar builder's handles.
struct State : kit::ObjectsState<State> {
    kit::FastPath fp_table{kPathTable};
    kit::FastPath fp_times{kPathTimes};
    Object helpers;              // the helpers module
    kit::Original to_dataframe;  // helpers._to_dataframe, as imported here
    // helpers' own, watched; each optional (absent: never fast).
    kit::ModuleAttr typed_table;  // helpers._typed_table
    kit::ModuleAttr pandas;       // helpers.pd
    kit::ModuleAttr parse_time;   // helpers._parse_time
    kit::ModuleAttr time_keys;    // helpers._TIME_KEYS
    pc::Columnar columnar;

    State() { fast_paths = {&fp_table, &fp_times}; }

    template <class F>
    void each(F&& f) {
        for (Object* o :
             {&helpers, &to_dataframe.obj, &typed_table.module, &typed_table.original, &pandas.module, &pandas.original,
              &parse_time.module, &parse_time.original, &time_keys.module, &time_keys.original})
            f(*o);
        columnar.each(f);
    }
};

// ---------------------------------------------------------------------------
constexpr Sig normalize_symbols_sig{
    "_normalize_symbols", {arg("symbols").ann("Union[str, Sequence[str]]")}, "List[str]"};

Object normalize_symbols(Call& c) {
    kit::Ctx cx = c.cx();
    Object symbols = c[normalize_symbols_sig["symbols"]];
    if (PyUnicode_Check(symbols.get())) {
        Object cleaned = symbols.method(cx["strip"_n]);
        if (!cleaned.truthy()) kit::raise(PyExc_ValueError, "symbol must not be empty.");
        return kit::list_of(cleaned.method(cx["upper"_n]));
    }
    if (!symbols.isinstance(cx.global("Sequence"_n)) || PyBytes_Check(symbols.get()))
        kit::raise(PyExc_TypeError, "symbol must be a string or a sequence of strings.");

    // The raw items are made unique first and visited in the set's order.
    // Items that only differ in case or surrounding blanks survive that
    // step, so repeats are dropped again once normalised: each symbol is
    // requested once (the first in the set's order wins), never twice.
    Object raw_set = Object::steal(PySet_New(symbols.get()));
    Object unique = Object::steal(PySequence_List(raw_set.get()));
    Object normalised = kit::list();
    Object seen = Object::steal(PySet_New(nullptr));
    const Py_ssize_t n = PyList_GET_SIZE(unique.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        Object item = Object::borrow(PyList_GET_ITEM(unique.get(), i));
        if (!PyUnicode_Check(item.get())) kit::raise(PyExc_TypeError, "All symbols in the sequence must be strings.");
        Object cleaned = item.method(cx["strip"_n]);
        if (!cleaned.truthy()) continue;
        Object upper = cleaned.method(cx["upper"_n]);
        if (kit::check_rc(PySet_Contains(seen.get(), upper.get()))) continue;
        kit::check_rc(PySet_Add(seen.get(), upper.get()));
        kit::append(normalised, upper);
    }
    if (PyList_GET_SIZE(normalised.get()) == 0)
        kit::raise(PyExc_ValueError, "symbol sequence must contain at least one non-empty string.");
    return normalised;
}

// ---------------------------------------------------------------------------
Object times(const Object& a, long long k) { return kit::mul(a, kit::integer(k)); }

constexpr Sig render_progress_sig{
    "_render_progress",
    {arg("current").int_().ann("int"), arg("total").int_().ann("int"), arg("symbol").str().ann("str")},
    "None"};

Object render_progress(Call& c) {
    kit::Ctx cx = c.cx();
    Object current = c[render_progress_sig["current"]], total = c[render_progress_sig["total"]];
    if (total.le(kit::integer(0))) return {};
    // Integer arithmetic throughout: through floats 29 of 100 would read 28%.
    Object percent = kit::trunc_div(times(current, 100), total);
    Object filled = kit::trunc_div(times(current, kBarWidth), total);
    Object empty = kit::sub(kit::integer(kBarWidth), filled);
    Object stars = kit::mul(kit::str("*"), filled);
    Object blanks = kit::mul(kit::str(" "), empty);
    Object line = kit::cat({"[", stars, blanks, "] ", kit::format(percent, "3d"), "%  ", current.str(), " of ",
                            total.str(), " completed | ", c[render_progress_sig["symbol"]]});
    auto stdout_ = [&] { return cx.global("sys"_n).attr(cx["stdout"_n]); };
    stdout_().method(cx["write"_n], kit::cat({"\r", line}));
    stdout_().method(cx["flush"_n]);
    if (current.eq(total)) {
        stdout_().method(cx["write"_n], "\n");
        stdout_().method(cx["flush"_n]);
    }
    return {};
}

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
constexpr Texts kTapeTexts{
    "Unable to decode orderbook response as JSON", "Unexpected payload structure for orderbook response.",
    "Unexpected payload format for orderbook series.", "Each orderbook row must be a dictionary."};

// Decodes one symbol's answer and gives back its list of entries, checking
// the payload in the order the error messages are documented.
Object answer_entries(kit::Ctx cx, const Object& response, const Object& sym, const Texts& t) {
    Object payload;
    try {
        payload = response.method(cx["json"_n]);
    } catch (kit::Error&) {
        Object exc = kit::catch_if(PyExc_ValueError);
        cx.raise_global("DataDecodingError"_n, t.not_json, exc);
    }
    if (!PyDict_Check(payload.get())) cx.raise_global("DataDecodingError"_n, t.not_object);
    if (payload.method(cx["get"_n], "error").truthy()) {
        Object error = payload.item(cx["error"_n]).str();
        cx.raise_global("DataDecodingError"_n, kit::cat({"Backend returned error for ", sym, ": ", error}));
    }
    Object data = payload.method(cx["get"_n], "data");
    if (!PyList_Check(data.get())) cx.raise_global("DataDecodingError"_n, t.not_series);
    return data;
}

// Appends one row record per entry: "symbol" leads every row, and an entry's
// own "symbol" replaces the value in place.
void append_rows(kit::Ctx cx, const Object& data, const Object& sym, const Object& all_rows, const Texts& t) {
    Object key_symbol = cx.obj("symbol"_n);
    for (const Object& item : kit::iter(data)) {
        if (!PyDict_Check(item.get())) cx.raise_global("DataDecodingError"_n, t.not_row);
        Object row = kit::dict();
        row.set_item(key_symbol, sym);
        kit::check_rc(PyDict_Update(row.get(), item.get()));
        kit::append(all_rows, row);
    }
}

// The rows of a batch: one GET per symbol, in order, with the progress calls
// around it.  `params_for` builds the query of one symbol; the endpoint is
// the module global of that name, read at each request.
template <class Params>
Object fetch_rows(kit::Ctx cx, const Object& session, const Object& symbols, const char* label, PyObject* endpoint,
                  const Object& show_progress, const Texts& t, Params&& params_for) {
    const Py_ssize_t total = symbols.len();
    Object all_rows = kit::list();
    cx.global("start_progress"_n)(total, label);
    long long index = 0;
    for (const Object& sym : kit::iter(symbols)) {
        ++index;
        Object response = session.method(cx["get"_n], cx.global(endpoint), kw(cx["params"_n], params_for(sym)));
        append_rows(cx, answer_entries(cx, response, sym, t), sym, all_rows, t);
        if (show_progress.truthy()) cx.global("update_progress"_n)(index);
    }
    cx.global("finish_progress"_n)();
    return all_rows;
}

// An attribute of helpers that the accelerators stand on, watched when
// helpers has it (else the guard never holds).
inline void watch_helper(kit::ModuleAttr& guard, const Object& helpers, const char* name) {
    if (helpers.attr_opt(kit::str(name).get())) guard.bind(helpers, kit::str(name).get());
}

// Binds the names the bar modules share.  Of helpers only the interval
// alias, `_to_dataframe` and `resample_ohlcv_multi` are required (tick_bars'
// `IntervalIntraday` falls back to `str` when helpers has none); the rest
// is what the accelerators use when helpers has it.
inline void setup_shared(kit::Module& m, const char* interval_alias, bool alias_required) {
    m.set("sys", kit::import("sys"));
    m.from_import("typing", {"Any", "Dict", "List", "Optional", "Sequence", "Union"});
    m.from_import("varnix.exceptions", {"DataDecodingError"});
    m.from_import("wire_link", {"HttpSession"}, 1);
    State& st = m.state<State>();
    if (alias_required) {
        st.helpers = m.from_import("helpers", {interval_alias, "_to_dataframe", "resample_ohlcv_multi"}, 1);
    } else {
        st.helpers = m.from_import("helpers", {"_to_dataframe", "resample_ohlcv_multi"}, 1);
        Object alias = st.helpers.attr_opt(kit::str(interval_alias).get());
        m.set(interval_alias, alias ? alias : kit::type(&PyUnicode_Type));
        // The names keep their documented order in the module.
        for (const char* n : {"_to_dataframe", "resample_ohlcv_multi"}) {
            Object v = m.get(n);
            kit::check_rc(PyDict_DelItemString(m.dict().get(), n));
            m.set(n, v);
        }
    }
    m.from_import("progress", {"start_progress", "update_progress", "finish_progress"}, 1);
    m.set("pd", kit::import("pandas"));

    st.to_dataframe.bind(m.get("_to_dataframe"));
    watch_helper(st.typed_table, st.helpers, "_typed_table");
    watch_helper(st.parse_time, st.helpers, "_parse_time");
    watch_helper(st.time_keys, st.helpers, "_TIME_KEYS");
    // Only helpers building with the pandas imported here is stood in for.
    if (Object hp = st.helpers.attr_opt(m.cx["pd"_n]); hp && hp.is(m.get("pd")))
        watch_helper(st.pandas, st.helpers, "pd");
    st.columnar.load(m.get("pd"));
}

// The query of one symbol's bars: symbol and interval, then start and end
// when given.
Object bar_query(const Object& sym, const Object& interval, const Object& start, const Object& end) {
    Object params = kit::dict();
    params.set_item(kit::str("symbol"), sym);
    params.set_item(kit::str("interval"), interval);
    if (start.truthy()) params.set_item(kit::str("start"), start);
    if (end.truthy()) params.set_item(kit::str("end"), end);
    return params;
}

// The two private functions both modules define, in their order.
inline void def_shared(kit::Module& m) {
    m.def(normalize_symbols_sig, normalize_symbols, "Return a normalised, non-empty list of uppercase symbols.");
    m.def(render_progress_sig, render_progress, "Render a progress bar");
}
