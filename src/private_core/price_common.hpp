// What the two bar modules share: symbol normalisation, the plain text
// progress bar, and the per-symbol fetch loop with its payload checks.  Each module compiles its own
// copy (extension modules never link against each other); include it inside
// the module's anonymous namespace, after its `using` declarations.
#pragma once

// Cells of the text progress bar.
constexpr long long kBarWidth = 49;

// ---------------------------------------------------------------------------
constexpr Sig normalize_symbols_sig{"_normalize_symbols", {arg("symbols").ann("Union[str, Sequence[str]]")}, "List[str]"};

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

constexpr Sig render_progress_sig{"_render_progress",
                              {arg("current").int_().ann("int"), arg("total").int_().ann("int"),
                               arg("symbol").str().ann("str")},
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
constexpr Texts kTapeTexts{"Unable to decode orderbook response as JSON",
                           "Unexpected payload structure for orderbook response.",
                           "Unexpected payload format for orderbook series.", "Each orderbook row must be a dictionary."};

// Decodes one symbol's answer and appends its rows, checking the payload in
// the order the error messages are documented.
void collect_rows(kit::Ctx cx, const Object& response, const Object& sym, const Object& all_rows, const Texts& t) {
    Object payload;
    try {
        payload = response.method(cx["json"_n]);
    } catch (kit::Error&) {
        Object exc = kit::catch_if(PyExc_ValueError);
        cx.raise_global("DataDecodingError"_n, t.not_json, exc);
    }
    if (!PyDict_Check(payload.get())) cx.raise_global("DataDecodingError"_n, t.not_object);
    if (payload.method(cx["get"_n], "error").truthy()) {
        Object error = payload.item(kit::str("error")).str();
        cx.raise_global("DataDecodingError"_n, kit::cat({"Backend returned error for ", sym, ": ", error}));
    }
    Object data = payload.method(cx["get"_n], "data");
    if (!PyList_Check(data.get())) cx.raise_global("DataDecodingError"_n, t.not_series);

    Object key_symbol = kit::str("symbol");
    for (const Object& item : kit::iter(data)) {
        if (!PyDict_Check(item.get())) cx.raise_global("DataDecodingError"_n, t.not_row);
        // "symbol" leads every row; the entry's own "symbol" replaces the value in place.
        Object row = kit::dict();
        row.set_item(key_symbol, sym);
        kit::check_rc(PyDict_Update(row.get(), item.get()));
        kit::append(all_rows, row);
    }
}

// One GET per symbol, in order, with the progress calls around the batch.
// `params_for` builds the query of one symbol; the endpoint is the module
// global of that name, read at each request.
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
        collect_rows(cx, response, sym, all_rows, t);
        if (show_progress.truthy()) cx.global("update_progress"_n)(index);
    }
    cx.global("finish_progress"_n)();
    return all_rows;
}

// The two private functions both modules define, in their order.
inline void def_shared(kit::Module& m) {
    m.def(normalize_symbols_sig, normalize_symbols, "Return a normalised, non-empty list of uppercase symbols.");
    m.def(render_progress_sig, render_progress, "Render a progress bar");
}
