// What the two bar modules share: symbol normalisation, the plain text
// progress bar, and the per-symbol fetch loop with its payload checks.  Each module compiles its own
// copy (extension modules never link against each other); include it inside
// the module's anonymous namespace, after its `using` declarations.
#pragma once

// Cells of the text progress bar.
constexpr long long kBarWidth = 49;

// What the bar modules keep: the table helper as imported, and what the
// columnar way to its table is built with (see BarColumns).
struct State : kit::ObjectsState<State> {
    Object to_dataframe;  // helpers._to_dataframe
    Object parse_time;    // helpers._parse_time
    Object helpers;       // the helpers module
    Object pandas;
    Object np_empty, float64, int64, object_dtype;
    // What helpers' ISO parse makes of plain dates and of plain date-times:
    // the dtype, and the ticks of a second counted from 1970-01-01 (0: not
    // known, the texts are left to pandas).
    Object time_dtype;
    std::int64_t ticks_per_second = 0;

    template <class F>
    void each(F&& f) {
        for (Object* o : {&to_dataframe, &parse_time, &helpers, &pandas, &np_empty, &float64, &int64, &object_dtype,
                          &time_dtype})
            f(*o);
    }
};

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
        Object error = payload.item(kit::str("error")).str();
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

// ---------------------------------------------------------------------------
// The entries of uniform answers, kept as typed columns rather than as a row
// record each.  The table helper is then handed the columns pandas would
// make of the records, without the records being built, kept alive through
// the batch and walked again; and the records can still be made back, equal
// to the ones the fetch builds, when a later answer does not fit or the
// helper is replaced meanwhile.
//
// An entry fits when it is an exact dict with the same str keys, in the same
// order, as the batch's first entry, and each value is of its column's kind,
// set by that first entry: exact str for text, exact int within int64 or
// exact float for numbers (int64 while only ints came, float64 otherwise,
// as pandas makes of such records).  Nothing here runs Python code.
class BarColumns {
    struct Column {
        Object key;
        bool text = false;
    };
    // One column's values from one answer: texts (owned), or numbers, each
    // an int64 or the bits of a double, as `is_int` says.
    struct Part {
        std::vector<Object> texts;
        std::vector<std::int64_t> nums;
        std::vector<std::uint8_t> is_int;
        Py_ssize_t n_float = 0;  // values that came as floats

        double as_double(std::size_t i) const {
            if (is_int[i]) return static_cast<double>(nums[i]);
            double d;
            std::memcpy(&d, &nums[i], sizeof d);
            return d;
        }
    };
    // One answer's entries, column by column.
    struct Chunk {
        Object symbol;
        Py_ssize_t size = 0;
        std::vector<Part> parts;  // as cols_
    };
    std::vector<Object> schema_;       // an entry's keys, in order
    std::vector<Object> seen_;         // the key objects last matched there (an answer's entries share them)
    std::vector<std::size_t> target_;  // the column of each key
    std::vector<Column> cols_;         // "symbol" first, then the entries' other keys
    bool entry_symbol_ = false;        // the entries carry their own "symbol"
    Py_ssize_t n_ = 0;
    std::vector<Chunk> chunks_;  // one per answer that brought entries, in order

    // Whether a column holds only ints, in every answer.
    bool all_ints(std::size_t j) const {
        for (const Chunk& ch : chunks_) {
            if (ch.parts[j].n_float != 0) return false;
        }
        return true;
    }

    // Whether a number part's values never decrease (only ints: a float NaN
    // would sort last).
    static bool ints_ascend(const Part& part) {
        if (part.n_float != 0) return false;
        for (std::size_t i = 1; i < part.nums.size(); ++i) {
            if (part.nums[i - 1] > part.nums[i]) return false;
        }
        return true;
    }

    // Whether a text part's values are ISO-like date-times of one fixed
    // layout (ASCII digits at the same places, the same separator among
    // "-:T ." at the others, a digit first) that never decrease: for such
    // texts the order of the characters is the order of the times they are
    // parsed to.
    static bool texts_ascend(const Part& part) {
        PyObject* first = part.texts.front().get();
        if (!PyUnicode_IS_COMPACT_ASCII(first)) return false;
        const Py_ssize_t len = PyUnicode_GET_LENGTH(first);
        const auto* layout = static_cast<const unsigned char*>(PyUnicode_DATA(first));
        if (len == 0 || !(layout[0] >= '0' && layout[0] <= '9')) return false;
        auto digit = [](unsigned char ch) { return ch >= '0' && ch <= '9'; };
        for (Py_ssize_t k = 0; k < len; ++k) {
            if (!digit(layout[k]) && (layout[k] == 0 || !std::strchr("-:T .", layout[k]))) return false;
        }
        const unsigned char* prev = nullptr;
        for (const Object& value : part.texts) {
            PyObject* s = value.get();
            if (!PyUnicode_IS_COMPACT_ASCII(s) || PyUnicode_GET_LENGTH(s) != len) return false;
            const auto* text = static_cast<const unsigned char*>(PyUnicode_DATA(s));
            for (Py_ssize_t k = 0; k < len; ++k) {
                if (digit(layout[k]) ? !digit(text[k]) : text[k] != layout[k]) return false;
            }
            if (prev && std::memcmp(prev, text, static_cast<std::size_t>(len)) > 0) return false;
            prev = text;
        }
        return true;
    }

    static bool put(const Column& col, Part& part, PyObject* value) {
        if (col.text) {
            if (!PyUnicode_CheckExact(value)) return false;
            part.texts.push_back(Object::borrow(value));
        } else if (PyFloat_CheckExact(value)) {
            const double d = PyFloat_AS_DOUBLE(value);
            std::int64_t bits;
            std::memcpy(&bits, &d, sizeof bits);
            part.nums.push_back(bits);
            part.is_int.push_back(0);
            ++part.n_float;
        } else if (PyLong_CheckExact(value)) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
            if (overflow) return false;
            part.nums.push_back(static_cast<std::int64_t>(v));
            part.is_int.push_back(1);
        } else {
            return false;
        }
        return true;
    }

    // The columns, from the batch's first entry.
    bool start(kit::Ctx cx, PyObject* entry) {
        if (!PyDict_CheckExact(entry)) return false;
        cols_.push_back(Column{cx.obj("symbol"_n), true});
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(entry, &pos, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) return false;
            schema_.push_back(Object::borrow(key));
            if (PyUnicode_Compare(key, cx["symbol"_n]) == 0) {
                entry_symbol_ = true;
                target_.push_back(0);
                continue;
            }
            if (!PyUnicode_CheckExact(value) && !PyFloat_CheckExact(value) && !PyLong_CheckExact(value)) return false;
            target_.push_back(cols_.size());
            cols_.push_back(Column{Object::borrow(key), PyUnicode_CheckExact(value) != 0});
        }
        seen_ = schema_;
        return true;
    }

public:
    Py_ssize_t size() const { return n_; }

    // Adds one answer's entries for `sym`: all of them, or (false) none.
    bool add(kit::Ctx cx, const Object& sym, const Object& data) {
        PyObject* list = data.get();
        if (!PyList_CheckExact(list) || !PyUnicode_CheckExact(sym.get())) return false;
        const Py_ssize_t n = PyList_GET_SIZE(list);
        if (n == 0) return true;
        if (cols_.empty() && !start(cx, PyList_GET_ITEM(list, 0))) return false;

        Chunk chunk{sym, n, std::vector<Part>(cols_.size())};
        const auto rows = static_cast<std::size_t>(n);
        for (std::size_t j = 0; j < cols_.size(); ++j) {
            Part& part = chunk.parts[j];
            if (cols_[j].text) {
                part.texts.reserve(rows);
            } else {
                part.nums.reserve(rows);
                part.is_int.reserve(rows);
            }
        }
        const auto width = static_cast<Py_ssize_t>(schema_.size());
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* entry = PyList_GET_ITEM(list, i);
            if (!PyDict_CheckExact(entry) || PyDict_GET_SIZE(entry) != width) return false;
            if (!entry_symbol_) chunk.parts[0].texts.push_back(sym);
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            for (std::size_t j = 0; PyDict_Next(entry, &pos, &key, &value); ++j) {
                if (key != seen_[j].get()) {
                    if (!PyUnicode_CheckExact(key) || PyUnicode_Compare(key, schema_[j].get()) != 0) return false;
                    seen_[j] = Object::borrow(key);
                }
                const std::size_t c = target_[j];
                if (!put(cols_[c], chunk.parts[c], value)) return false;
            }
        }
        n_ += n;
        chunks_.push_back(std::move(chunk));
        return true;
    }

    // How the table can be laid out: when each chunk has a symbol of its own
    // (the entries carrying none), the chunks in the order of their symbols,
    // and the names of the columns whose values ascend within every chunk.
    // The rows then stand as a stable sort by symbol, and by any one of those
    // columns after it, would put them.  Otherwise no order (and null).
    struct Layout {
        std::vector<std::size_t> order;
        Object ascending;
    };
    // Column `time_col` (when not 0) holds the parsed `seconds` of its texts
    // (see iso_seconds): its order is read from those, not the texts again.
    Layout layout(std::size_t time_col = 0, const std::vector<std::int64_t>& seconds = {}) const {
        Layout out;
        if (entry_symbol_ || chunks_.empty()) return out;
        std::vector<std::size_t> order(chunks_.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        auto cmp = [&](std::size_t a, std::size_t b) {
            return PyUnicode_Compare(chunks_[a].symbol.get(), chunks_[b].symbol.get());
        };
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return cmp(a, b) < 0; });
        for (std::size_t i = 1; i < order.size(); ++i) {
            if (cmp(order[i - 1], order[i]) == 0) return out;
        }
        Object names = kit::list();
        for (std::size_t j = 1; j < cols_.size(); ++j) {
            bool ascends = true;
            std::size_t at = 0;  // where the chunk's values begin in `seconds`
            for (const Chunk& ch : chunks_) {
                if (j == time_col) {
                    ascends = std::is_sorted(seconds.begin() + static_cast<std::ptrdiff_t>(at),
                                             seconds.begin() + static_cast<std::ptrdiff_t>(at + static_cast<std::size_t>(ch.size)));
                    at += static_cast<std::size_t>(ch.size);
                } else {
                    ascends = cols_[j].text ? texts_ascend(ch.parts[j]) : ints_ascend(ch.parts[j]);
                }
                if (!ascends) break;
            }
            if (ascends) kit::append(names, cols_[j].key);
        }
        out.order = std::move(order);
        out.ascending = Object::steal(PyList_AsTuple(names.get()));
        return out;
    }

    // The row records the fetch would have built, in order.
    Object rows() const {
        Object out = Object::steal(PyList_New(n_));
        Py_ssize_t at = 0;
        for (const Chunk& ch : chunks_) {
            for (std::size_t i = 0; i < static_cast<std::size_t>(ch.size); ++i) {
                Object row = kit::dict();
                for (std::size_t j = 0; j < cols_.size(); ++j) {
                    const Part& part = ch.parts[j];
                    Object value = cols_[j].text   ? part.texts[i]
                                   : part.is_int[i] ? Object::steal(PyLong_FromLongLong(part.nums[i]))
                                                    : Object::steal(PyFloat_FromDouble(part.as_double(i)));
                    row.set_item(cols_[j].key, value);
                }
                PyList_SET_ITEM(out.get(), at++, row.release());
            }
        }
        return out;
    }

    // The index of the column named `key`, or 0 (the symbol's) when none is.
    std::size_t column_of(PyObject* key) const {
        for (std::size_t j = 1; j < cols_.size(); ++j) {
            if (PyUnicode_Check(key) && PyUnicode_Compare(cols_[j].key.get(), key) == 0) return j;
        }
        return 0;
    }

    // The seconds of every value of text column `j`, when all of them are
    // plain ISO texts of one kind (all dates, or all date-times).
    bool iso_seconds(std::size_t j, std::vector<std::int64_t>& out) const {
        if (j == 0 || !cols_[j].text) return false;
        out.clear();
        out.reserve(static_cast<std::size_t>(n_));
        int kind = -1;
        for (const Chunk& ch : chunks_) {
            for (const Object& value : ch.parts[j].texts) {
                bool with_time = false;
                std::int64_t seconds = 0;
                if (!pc::plain_iso(value.get(), with_time, seconds)) return false;
                if (kind < 0) kind = with_time;
                if (kind != static_cast<int>(with_time)) return false;
                out.push_back(seconds);
            }
        }
        return true;
    }

    // {key: numpy array}, in the records' key order, the chunks in `order`
    // (all of them, each once) or, when it is empty, as they came.  Column
    // `time_col` (when not 0) is given as the datetime64 array of `seconds`
    // (in the order the values came), as helpers' parse makes it of them.
    Object arrays(kit::Ctx cx, const std::vector<std::size_t>& order, std::size_t time_col = 0,
                  const std::vector<std::int64_t>& seconds = {}) const {
        const State& st = cx.state<State>();
        std::vector<std::size_t> chunks = order;
        if (chunks.empty()) {
            for (std::size_t i = 0; i < chunks_.size(); ++i) chunks.push_back(i);
        }
        Object out = kit::dict();
        std::vector<std::size_t> starts(chunks_.size());  // where each chunk's values begin in `seconds`
        for (std::size_t c = 1; c < chunks_.size(); ++c)
            starts[c] = starts[c - 1] + static_cast<std::size_t>(chunks_[c - 1].size);
        for (std::size_t j = 0; j < cols_.size(); ++j) {
            if (time_col != 0 && j == time_col) {
                Object ticks = st.np_empty(n_, kw(cx["dtype"_n], st.int64));
                pc::ArrayView view;
                if (!view.open(ticks, true, 'q', 8))
                    kit::raise(PyExc_SystemError, "numpy exported an array of an unexpected layout");
                Py_ssize_t at = 0;
                for (std::size_t c : chunks) {
                    for (Py_ssize_t i = 0; i < chunks_[c].size; ++i)
                        view.data<std::int64_t>()[at + i] = seconds[starts[c] + static_cast<std::size_t>(i)] * st.ticks_per_second;
                    at += chunks_[c].size;
                }
                view.release();
                out.set_item(cols_[j].key, ticks.method(cx["view"_n], st.time_dtype));
                continue;
            }
            const bool text = cols_[j].text, ints = !text && all_ints(j);
            const Object& dtype = text ? st.object_dtype : ints ? st.int64 : st.float64;
            Object array = st.np_empty(n_, kw(cx["dtype"_n], dtype));
            pc::ArrayView view;
            if (!view.open(array, true, text ? 'O' : ints ? 'q' : 'd', 8))
                kit::raise(PyExc_SystemError, "numpy exported an array of an unexpected layout");
            Py_ssize_t at = 0;
            for (std::size_t c : chunks) {
                const Part& part = chunks_[c].parts[j];
                const auto count = static_cast<std::size_t>(chunks_[c].size);
                if (text) {
                    for (std::size_t i = 0; i < count; ++i) pc::put_object(view, at + static_cast<Py_ssize_t>(i), part.texts[i].get());
                } else if (ints) {
                    std::memcpy(view.data<std::int64_t>() + at, part.nums.data(), sizeof(std::int64_t) * count);
                } else {
                    double* out_d = view.data<double>() + at;
                    for (std::size_t i = 0; i < count; ++i) out_d[i] = part.as_double(i);
                }
                at += chunks_[c].size;
            }
            view.release();
            out.set_item(cols_[j].key, array);
        }
        return out;
    }
};

// helpers' builder of a table from the records' columns, while the module's
// `_to_dataframe` is `current` and that is helpers' own (and helpers still
// builds with the pandas imported here): then it makes the same table of the
// columns as `_to_dataframe` of the records.  Null otherwise.
Object columns_builder(kit::Ctx cx, const Object& current) {
    const State& st = cx.state<State>();
    if (!current.is(st.to_dataframe)) return {};
    PyObject* dict = PyModule_GetDict(st.helpers.get());  // borrowed
    PyObject* pd = PyDict_GetItemWithError(dict, cx["pd"_n]);
    if (!pd && PyErr_Occurred()) kit::fail();
    if (pd != st.pandas.get()) return {};
    PyObject* builder = PyDict_GetItemWithError(dict, cx["_typed_table"_n]);
    if (!builder && PyErr_Occurred()) kit::fail();
    return builder ? Object::borrow(builder) : Object();
}

// What one batch brought: its row records or, while every answer fitted,
// their columns (`rows` is null then).
struct Batch {
    Object rows;
    BarColumns columns;

    bool empty() const { return rows ? PyList_GET_SIZE(rows.get()) == 0 : columns.size() == 0; }
};

// One GET per symbol, in order, with the progress calls around the batch.
// `params_for` builds the query of one symbol; the endpoint is the module
// global of that name, read at each request.
template <class Params>
void fetch_batch(kit::Ctx cx, Batch& batch, const Object& session, const Object& symbols, const char* label,
                 PyObject* endpoint, const Object& show_progress, const Texts& t, Params&& params_for) {
    const Py_ssize_t total = symbols.len();
    if (!columns_builder(cx, cx.global("_to_dataframe"_n))) batch.rows = kit::list();
    cx.global("start_progress"_n)(total, label);
    long long index = 0;
    for (const Object& sym : kit::iter(symbols)) {
        ++index;
        Object response = session.method(cx["get"_n], cx.global(endpoint), kw(cx["params"_n], params_for(sym)));
        Object data = answer_entries(cx, response, sym, t);
        // An answer that does not fit ends the columns: records from here on.
        if (!batch.rows && !batch.columns.add(cx, sym, data)) batch.rows = batch.columns.rows();
        if (batch.rows) append_rows(cx, data, sym, batch.rows, t);
        if (show_progress.truthy()) cx.global("update_progress"_n)(index);
    }
    cx.global("finish_progress"_n)();
}

// The column helpers will take for the time and parse (the first of its
// `_TIME_KEYS` present), when its texts are all plain ISO texts of one kind
// and helpers parses times with its own `_parse_time`: the seconds of its
// values, for the columns to hold the parsed times already (parsing them
// again gives them back as they are).  0 otherwise.
std::size_t parsed_time_column(kit::Ctx cx, const BarColumns& columns, std::vector<std::int64_t>& seconds) {
    const State& st = cx.state<State>();
    if (st.ticks_per_second == 0) return 0;
    PyObject* dict = PyModule_GetDict(st.helpers.get());
    PyObject* parse = PyDict_GetItemWithError(dict, cx["_parse_time"_n]);
    if (!parse && PyErr_Occurred()) kit::fail();
    if (parse != st.parse_time.get()) return 0;
    PyObject* keys = PyDict_GetItemWithError(dict, cx["_TIME_KEYS"_n]);
    if (!keys) {
        if (PyErr_Occurred()) kit::fail();
        return 0;
    }
    if (!PyTuple_CheckExact(keys)) return 0;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(keys); ++i) {
        const std::size_t j = columns.column_of(PyTuple_GET_ITEM(keys, i));
        if (j != 0) return columns.iso_seconds(j, seconds) ? j : 0;
    }
    return 0;
}

// The table of a batch: an empty DataFrame when no entry came (no helper is
// called), else `_to_dataframe` of the records, or its equal built from the
// columns.
Object batch_table(kit::Ctx cx, Batch& batch) {
    if (batch.empty()) return cx.global("pd"_n).attr(cx["DataFrame"_n])();
    Object to_dataframe = cx.global("_to_dataframe"_n);
    if (!batch.rows) {
        if (Object builder = columns_builder(cx, to_dataframe)) {
            const State& st = cx.state<State>();
            std::vector<std::int64_t> seconds;
            const std::size_t time_col = parsed_time_column(cx, batch.columns, seconds);
            BarColumns::Layout layout = batch.columns.layout(time_col, seconds);
            Object frame =
                st.pandas.attr(cx["DataFrame"_n])(batch.columns.arrays(cx, layout.order, time_col, seconds));
            if (!layout.ascending) return builder(frame);
            return builder(frame, kw(cx["ascending"_n], layout.ascending));
        }
        batch.rows = batch.columns.rows();
    }
    return to_dataframe(batch.rows);
}

// The bars of a batch, re-bucketed to `interval`; an empty batch is the
// empty DataFrame, not resampled.
Object resampled_bars(kit::Ctx cx, Batch& batch, const Object& interval) {
    if (batch.empty()) return batch_table(cx, batch);
    return cx.global("resample_ohlcv_multi"_n)(batch_table(cx, batch), kw(cx["interval"_n], interval));
}

// Binds the names the bar modules share, and the state the columnar tables need.
inline void setup_shared(kit::Module& m, const char* interval_alias) {
    m.set("sys", kit::import("sys"));
    m.from_import("typing", {"Any", "Dict", "List", "Optional", "Sequence", "Union"});
    m.from_import("varnix.exceptions", {"DataDecodingError"});
    m.from_import("wire_link", {"HttpSession"}, 1);
    State& st = m.state<State>();
    st.helpers = m.from_import("helpers", {interval_alias, "_to_dataframe", "resample_ohlcv_multi"}, 1);
    m.from_import("progress", {"start_progress", "update_progress", "finish_progress"}, 1);
    m.set("pd", kit::import("pandas"));
    st.to_dataframe = m.get("_to_dataframe");
    st.parse_time = st.helpers.attr(kit::str("_parse_time"));
    st.pandas = m.get("pd");
    Object np = kit::import("numpy");
    st.np_empty = np.attr(kit::str("empty"));
    Object np_dtype = np.attr(kit::str("dtype"));
    st.float64 = np_dtype("float64");
    st.int64 = np_dtype("int64");
    st.object_dtype = np_dtype("O");
    {
        // Ask helpers once what plain dates and date-times become: the same
        // dtype for both, 2000-01-01 being second 946684800.
        auto probe = [&](const char* a, const char* b) {
            Object texts = st.pandas.attr(kit::str("Series"))(kit::list_of(kit::str(a), kit::str(b)));
            return st.parse_time(texts);
        };
        Object dates = probe("2000-01-01", "2000-01-02"), times = probe("2000-01-01 00:00:00", "2000-01-01 00:00:01");
        auto tick = [](const Object& parsed, int i) {
            Object ticks = parsed.method(kit::str("to_numpy").get()).method(kit::str("view").get(), "i8");
            return PyLong_AsLongLong(ticks.item(kit::integer(i)).get());
        };
        const long long day = tick(dates, 1) - tick(dates, 0), second = tick(times, 1) - tick(times, 0);
        if (PyErr_Occurred()) kit::fail();
        Object dtype = dates.attr(kit::str("dtype").get());
        if (second > 0 && day == 86400 * second && tick(dates, 0) == 946684800LL * second &&
            tick(times, 0) == 946684800LL * second && dtype.eq(times.attr(kit::str("dtype").get()))) {
            st.time_dtype = dtype;
            st.ticks_per_second = second;
        }
    }
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
