// What the two bar modules share: symbol normalisation, the plain text
// progress bar, the per-symbol fetch loop with its payload checks, and
// raising the decoding error.  Each module compiles its own
// copy (extension modules never link against each other); include it inside
// the module's anonymous namespace, after its `using` declarations.
#pragma once

// Cells of the text progress bar.
constexpr long long kBarWidth = 49;

// ---------------------------------------------------------------------------
const Sig normalize_symbols_sig{"_normalize_symbols", {arg("symbols").ann("Union[str, Sequence[str]]")}, "List[str]"};

Object normalize_symbols(Call& c) {
    Object symbols = c.arg(0);
    if (PyUnicode_Check(symbols.get())) {
        Object cleaned = symbols.method("strip");
        if (!cleaned.truthy()) kit::raise(PyExc_ValueError, "symbol must not be empty.");
        Object out = kit::list();
        kit::check_rc(PyList_Append(out.get(), cleaned.method("upper").get()));
        return out;
    }
    if (!symbols.isinstance(kit::global("Sequence")) || PyBytes_Check(symbols.get()))
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
        Object cleaned = item.method("strip");
        if (!cleaned.truthy()) continue;
        Object upper = cleaned.method("upper");
        if (kit::check_rc(PySet_Contains(seen.get(), upper.get()))) continue;
        kit::check_rc(PySet_Add(seen.get(), upper.get()));
        kit::check_rc(PyList_Append(normalised.get(), upper.get()));
    }
    if (PyList_GET_SIZE(normalised.get()) == 0)
        kit::raise(PyExc_ValueError, "symbol sequence must contain at least one non-empty string.");
    return normalised;
}

// ---------------------------------------------------------------------------
// a / b truncated toward zero, for b > 0, on Python integers of any size.
Object trunc_div(const Object& a, const Object& b) {
    if (a.lt(kit::integer(0))) {
        Object neg = Object::steal(PyNumber_Negative(a.get()));
        Object q = Object::steal(PyNumber_FloorDivide(neg.get(), b.get()));
        return Object::steal(PyNumber_Negative(q.get()));
    }
    return Object::steal(PyNumber_FloorDivide(a.get(), b.get()));
}

Object times(const Object& a, long long k) {
    return Object::steal(PyNumber_Multiply(a.get(), kit::integer(k).get()));
}

const Sig render_progress_sig{"_render_progress",
                              {arg("current").int_().ann("int"), arg("total").int_().ann("int"),
                               arg("symbol").str().ann("str")},
                              "None"};

Object render_progress(Call& c) {
    Object current = c.arg(0), total = c.arg(1);
    if (total.le(kit::integer(0))) return {};
    // Integer arithmetic throughout: through floats 29 of 100 would read 28%.
    Object percent = trunc_div(times(current, 100), total);
    Object filled = trunc_div(times(current, kBarWidth), total);
    Object empty = Object::steal(PyNumber_Subtract(kit::integer(kBarWidth).get(), filled.get()));
    Object stars = Object::steal(PyNumber_Multiply(kit::str("*").get(), filled.get()));
    Object blanks = Object::steal(PyNumber_Multiply(kit::str(" ").get(), empty.get()));
    Object line = kit::cat({"[", stars, blanks, "] ", kit::format(percent, "3d"), "%  ", current.str(), " of ",
                            total.str(), " completed | ", c.arg(2)});
    kit::global("sys").attr("stdout").method("write", kit::cat({"\r", line}));
    kit::global("sys").attr("stdout").method("flush");
    if (current.eq(total)) {
        kit::global("sys").attr("stdout").method("write", "\n");
        kit::global("sys").attr("stdout").method("flush");
    }
    return {};
}

// raise DataDecodingError(message) [from cause], with the class read from the
// module globals as `raise` would: a rebound name that does not produce an
// exception is a TypeError, never a corrupted exception state.
[[noreturn]] void raise_decoding(kit::Arg message, const Object& cause = {}) {
    Object exc = kit::global("DataDecodingError")(std::move(message));
    if (!PyExceptionInstance_Check(exc.get())) kit::raise(PyExc_TypeError, "exceptions must derive from BaseException");
    if (cause) kit::raise_from(std::move(exc), cause);
    kit::raise(std::move(exc));
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

// The two private functions both modules define, in their order.
inline void def_shared(kit::Module& m) {
    m.def({normalize_symbols_sig, normalize_symbols,
           "_normalize_symbols(symbols: Union[str, Sequence[str]]) -> List[str]\n\n"
           "Return a normalised, non-empty list of uppercase symbols."});
    m.def({render_progress_sig, render_progress,
           "_render_progress(int current: int, int total: int, str symbol: str) -> None\n\n"
           "Render a progress bar"});
}
