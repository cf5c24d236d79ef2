// Accelerators of private_core.investor.flow_engine.  Each stands in for a
// piece of InvestorFlowEngine's code (quoted, as Python, above it) while its
// guards hold, decides so before it does anything, and gives what that code
// gives: the same table, bit for bit, the same errors and warnings, the same
// calls into what a caller may replace.  Known differences, none of them
// observable through the engine's or pandas' public interfaces:
//
//  - rows:     an exact dict entry is copied by PyDict_Copy, which is what
//              dict(entry) does with it; `self._ensure_mapping` is not called.
//  - table:    the table of uniform rows is built from typed columns, not by
//              DataFrame.from_records; plain "YYYY-MM-DD" date columns come
//              already parsed (pd.to_datetime of a datetime column gives it
//              back as it is), and a table whose sort keys already ascend
//              strictly is not sorted (any sort leaves it as it is).
//  - resample: pandas' per-group calls below DataFrame and Series methods
//              (groupby, Resampler) are not made; the identifiers are cleaned
//              once per distinct value; and each identifier's sums are taken
//              the way pandas takes a group's (ufunc.reduceat while the
//              group's float block holds no NaN, its compensated kernel
//              otherwise), which the equivalence tables pin down.
//
// The general code in flow_engine.cpp reads as the engine's Python; it calls
// each accelerator as `if (auto r = fast_x(cx, ...)) return *r;`.
#pragma once

#include "kit/kit.hpp"
#include "private_core/array_view.hpp"
#include "private_core/iso_time.hpp"

#include <cmath>
#include <optional>

namespace investor_fast {

using namespace kit::literals;
using kit::kw;
using kit::Object;
using pc::ArrayView;

// Attributes of a class (pandas.DataFrame's methods) that a fast path
// stands in for, while each still resolves to the object it was at import:
// checked again only after the class or a base changed (its version tag).
// Not in the toolkit: a class-level cousin of kit::OwnMethod.
struct ClassAttrs {
    Object cls;
    std::vector<std::pair<PyObject*, Object>> attrs;  // names interned, owned by the module state
    unsigned int version = 0;

    void bind(const Object& c, std::initializer_list<PyObject*> names) {
        cls = c;
        attrs.clear();
        for (PyObject* n : names) attrs.emplace_back(n, lookup(n));
    }
    bool holds() {
        auto* tp = reinterpret_cast<PyTypeObject*>(cls.get());
        if (!tp) return false;
        if (tp->tp_version_tag != 0 && tp->tp_version_tag == version) return true;
        if (!PyUnstable_Type_AssignVersionTag(tp)) return false;
        for (auto& [n, original] : attrs) {
            if (!original || !lookup(n).is(original)) return false;
        }
        version = tp->tp_version_tag;
        return true;
    }
    int traverse(visitproc visit, void* arg) {
        Py_VISIT(cls.get());
        for (auto& a : attrs) Py_VISIT(a.second.get());
        return 0;
    }
    void clear() {
        cls = {};
        attrs.clear();
    }

private:
    // What the first class along the MRO defining `name` holds; runs no code.
    Object lookup(PyObject* name) const {
        PyObject* mro = reinterpret_cast<PyTypeObject*>(cls.get())->tp_mro;
        if (!mro || !PyTuple_Check(mro)) return {};
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
            Object d = Object::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
            PyObject* v = d ? PyDict_GetItemWithError(d.get(), name) : nullptr;
            if (v) return Object::borrow(v);
            if (PyErr_Occurred()) {
                PyErr_Clear();
                return {};
            }
        }
        return {};
    }
};

struct State : kit::ModState {
    kit::FastPath fp_rows{"flow_engine.rows"};
    kit::FastPath fp_table{"flow_engine.table"};
    kit::FastPath fp_resample{"flow_engine.resample"};

    // Guards: the module's globals, the engine's own row method, and the
    // pandas names the general code calls, as they were at import.
    kit::Original mapping, strict_str;
    kit::OwnMethod ensure_mapping;
    kit::ModuleAttr pd_frame, pd_to_datetime, pd_concat;
    ClassAttrs frame_methods, series_methods;

    // The engine's own _normalise_records (for the general code's envelope
    // loop, which is no fast path: see normalise_records).
    Object normalise_records;
    // What the fast paths call, bound at import.
    Object np, frame_type, factorize, date_range, to_offset, one_anchor_types, week_type, out_of_bounds, string_dtype,
        infer_dtype, float64, int64, object_dtype, bool_dtype;
    // What pd.to_datetime(errors="coerce") makes of plain dates: its dtype
    // and its ticks per day counted from 1970-01-01 (0: not known).
    Object date_dtype;
    std::int64_t ticks_per_day = 0;

    State() { fast_paths = {&fp_rows, &fp_table, &fp_resample}; }

    template <class F>
    void each_object(F&& f) {
        for (Object* o :
             {&normalise_records, &np, &frame_type, &factorize, &date_range, &to_offset, &one_anchor_types, &week_type,
              &out_of_bounds, &string_dtype, &infer_dtype, &float64, &int64, &object_dtype, &bool_dtype, &date_dtype})
            f(*o);
    }
    int traverse(visitproc visit, void* arg) {
        int r = 0;
        each_object([&](Object& o) {
            if (!r) r = kit::visit(o, visit, arg);
        });
        for (int (*t)(State&, visitproc, void*) :
             {+[](State& s, visitproc v, void* a) { return s.mapping.traverse(v, a); },
              +[](State& s, visitproc v, void* a) { return s.strict_str.traverse(v, a); },
              +[](State& s, visitproc v, void* a) { return s.ensure_mapping.traverse(v, a); },
              +[](State& s, visitproc v, void* a) { return s.pd_frame.traverse(v, a); },
              +[](State& s, visitproc v, void* a) { return s.pd_to_datetime.traverse(v, a); },
              +[](State& s, visitproc v, void* a) { return s.pd_concat.traverse(v, a); },
              +[](State& s, visitproc v, void* a) { return s.frame_methods.traverse(v, a); },
              +[](State& s, visitproc v, void* a) { return s.series_methods.traverse(v, a); }}) {
            if (!r) r = t(*this, visit, arg);
        }
        return r;
    }
    void clear() {
        each_object([](Object& o) { o = {}; });
        mapping.clear();
        strict_str.clear();
        ensure_mapping.clear();
        pd_frame.clear();
        pd_to_datetime.clear();
        pd_concat.clear();
        frame_methods.clear();
        series_methods.clear();
    }
};

// ---------------------------------------------------------------------------
// Shared with the general code: one date column as the engine parses it.
// Numeric timestamps are Unix times in seconds; bad cells become NaT.
inline Object parsed_dates(kit::Ctx cx, const Object& pd, const Object& column, const Object& values) {
    if (column.eq(cx.obj("timestamp"_n)) &&
        pd.attr(cx["api"_n]).attr(cx["types"_n]).attr(cx["is_numeric_dtype"_n])(values).truthy()) {
        return pd.attr(cx["to_datetime"_n])(values, kw(cx["unit"_n], "s"), kw(cx["errors"_n], "coerce"));
    }
    return pd.attr(cx["to_datetime"_n])(values, kw(cx["errors"_n], "coerce"));
}

constexpr Py_ssize_t kOpen = PY_SSIZE_T_MIN;  // an open end of a slice
inline Object slice(Py_ssize_t start, Py_ssize_t stop) {
    Object a = start == kOpen ? kit::None() : kit::integer(start);
    Object b = stop == kOpen ? kit::None() : kit::integer(stop);
    return Object::steal(PySlice_New(a.get(), b.get(), nullptr));
}
inline Object bit_or(const Object& a, const Object& b) { return Object::steal(PyNumber_Or(a.get(), b.get())); }
inline Object bit_and(const Object& a, const Object& b) { return Object::steal(PyNumber_And(a.get(), b.get())); }
inline bool is_nan_float(const Object& v) { return PyFloat_Check(v.get()) && std::isnan(PyFloat_AS_DOUBLE(v.get())); }

// A column pandas stores as numpy data of this kind ("O", "M", "i", ...).
inline bool numpy_kind(kit::Ctx cx, const Object& dtype, std::string_view kinds) {
    if (!dtype.isinstance(cx.state<State>().np.attr(cx["dtype"_n]))) return false;
    std::string_view kind = dtype.attr(cx["kind"_n]).utf8();
    return kind.size() == 1 && kinds.find(kind[0]) != std::string_view::npos;
}

// The pandas names the general table code calls are the ones bound at import.
inline bool pandas_intact(kit::Ctx cx) {
    State& st = cx.state<State>();
    Object pd = cx.global("pd"_n);
    return st.pd_frame.intact(pd, cx["DataFrame"_n]) && st.pd_to_datetime.intact(pd, cx["to_datetime"_n]) &&
           st.pd_concat.intact(pd, cx["concat"_n]) && st.frame_methods.holds() && st.series_methods.holds();
}

// ===========================================================================
// rows.  In _normalise_records, a payload that is a list:
//
//     return [self._ensure_mapping(item, namespace) for item in payload]
//
// while self._ensure_mapping is the engine's own, Mapping is typing's, and
// every item is an exact dict: each row is then dict(item), a copy.
inline std::optional<Object> fast_rows(kit::Ctx cx, const Object& self, const Object& payload) {
    State& st = cx.state<State>();
    PyObject* list = payload.get();
    if (!PyList_CheckExact(list) || PyList_GET_SIZE(list) == 0) return std::nullopt;
    if (!st.fp_rows.take([&] {
            if (!st.ensure_mapping.holds(self.get()) || !st.mapping.holds(cx.global("Mapping"_n))) return false;
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
                if (!PyDict_CheckExact(PyList_GET_ITEM(list, i))) return false;
            }
            return true;
        }))
        return std::nullopt;
    // Copying exact dicts runs no Python code: the list stays as checked.
    const Py_ssize_t n = PyList_GET_SIZE(list);
    Object rows = Object::steal(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* row = PyDict_Copy(PyList_GET_ITEM(list, i));
        if (!row) kit::fail();
        PyList_SET_ITEM(rows.get(), i, row);
    }
    return rows;
}

// ===========================================================================
// table: helpers.

// The columns of `rows` as typed arrays, {key: array} in the rows' key order,
// when the rows are uniform: exact dicts with the same str keys in the same
// order, and in each column values of one kind: exact float (float64), exact
// int within int64 (int64) or exact str (an object array, which pandas
// infers as it infers the records' text).  pandas then builds the very table
// DataFrame.from_records builds, without walking the rows again in Python.
// Null for anything else: the caller takes the records path.
inline Object typed_columns(kit::Ctx cx, const Object& rows) {
    enum class Kind { Float, Int, Text };
    const State& st = cx.state<State>();
    PyObject* list = rows.get();
    const Py_ssize_t n = PyList_GET_SIZE(list);
    PyObject* first = PyList_GET_ITEM(list, 0);
    if (!PyDict_CheckExact(first) || PyDict_GET_SIZE(first) == 0) return {};

    std::vector<PyObject*> keys;  // borrowed from the first row, which the list holds
    std::vector<Kind> kinds;
    {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(first, &pos, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) return {};
            keys.push_back(key);
            if (PyFloat_CheckExact(value))
                kinds.push_back(Kind::Float);
            else if (PyLong_CheckExact(value))
                kinds.push_back(Kind::Int);
            else if (PyUnicode_CheckExact(value))
                kinds.push_back(Kind::Text);
            else
                return {};
        }
    }
    const std::size_t k = keys.size();
    std::vector<Object> arrays(k);
    std::vector<ArrayView> views(k);
    Object empty = st.np.attr(cx["empty"_n]);
    for (std::size_t j = 0; j < k; ++j) {
        const Object& dtype = kinds[j] == Kind::Float ? st.float64 : kinds[j] == Kind::Int ? st.int64 : st.object_dtype;
        arrays[j] = empty(n, kw(cx["dtype"_n], dtype));
        char code = kinds[j] == Kind::Float ? 'd' : kinds[j] == Kind::Int ? 'q' : 'O';
        if (!views[j].open(arrays[j], true, code, 8)) return {};
    }

    // Nothing below runs Python code or allocates Python objects: the list
    // and its rows cannot change under the walk.  Rows decoded from one
    // answer share their key objects, so a key once found equal is then
    // recognised by identity.
    std::vector<PyObject*> seen = keys;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* row = PyList_GET_ITEM(list, i);
        if (!PyDict_CheckExact(row) || PyDict_GET_SIZE(row) != static_cast<Py_ssize_t>(k)) return {};
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        for (std::size_t j = 0; PyDict_Next(row, &pos, &key, &value); ++j) {
            if (key != seen[j]) {
                if (!PyUnicode_CheckExact(key) || PyUnicode_Compare(key, keys[j]) != 0) return {};
                seen[j] = key;
            }
            switch (kinds[j]) {
                case Kind::Float:
                    if (!PyFloat_CheckExact(value)) return {};
                    views[j].data<double>()[i] = PyFloat_AS_DOUBLE(value);
                    break;
                case Kind::Int: {
                    if (!PyLong_CheckExact(value)) return {};
                    int overflow = 0;
                    long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
                    if (overflow) return {};
                    views[j].data<std::int64_t>()[i] = static_cast<std::int64_t>(v);
                    break;
                }
                case Kind::Text: {
                    if (!PyUnicode_CheckExact(value)) return {};
                    pc::put_object(views[j], i, value);
                    break;
                }
            }
        }
    }
    Object columns = kit::dict();
    for (std::size_t j = 0; j < k; ++j) {
        views[j].release();
        kit::check_rc(PyDict_SetItem(columns.get(), keys[j], arrays[j].get()));
    }
    return columns;
}

// The day of a plain date text ("YYYY-MM-DD", see pc::plain_iso) as days
// from 1970-01-01; false for any other value.
inline bool plain_date(PyObject* v, std::int64_t& days) {
    bool with_time = false;
    std::int64_t seconds = 0;
    if (!pc::plain_iso(v, with_time, seconds) || with_time) return false;
    days = seconds / 86400;
    return true;
    days = seconds / 86400;
    return true;
}

// The date columns of `typed` ("date", "Date", "trade_date") whose texts are
// all plain dates, replaced by the datetime64 array pd.to_datetime(errors=
// "coerce") makes of them (asked of pandas once, at import).  Their labels.
inline std::vector<Object> dates_from_texts(kit::Ctx cx, const Object& typed) {
    const State& st = cx.state<State>();
    std::vector<Object> parsed;
    if (st.ticks_per_day == 0) return parsed;
    for (const Object& column : {cx.obj("date"_n), cx.obj("Date"_n), cx.obj("trade_date"_n)}) {
        PyObject* found = PyDict_GetItemWithError(typed.get(), column.get());
        if (!found) {
            if (PyErr_Occurred()) kit::fail();
            continue;
        }
        Object texts = Object::borrow(found);
        ArrayView in;
        if (!texts.attr(cx["dtype"_n]).eq(st.object_dtype) || !in.open(texts, false, 'O', 8)) continue;
        const Py_ssize_t n = in.size();
        Object ticks = st.np.attr(cx["empty"_n])(n, kw(cx["dtype"_n], st.int64));
        ArrayView out;
        if (!out.open(ticks, true, 'q', 8)) continue;
        bool all_plain = true;
        for (Py_ssize_t i = 0; i < n && all_plain; ++i) {
            std::int64_t days = 0;
            all_plain = plain_date(in.data<PyObject*>()[i], days);
            out.data<std::int64_t>()[i] = days * st.ticks_per_day;
        }
        out.release();
        if (all_plain) {
            typed.set_item(column, ticks.method(cx["view"_n], st.date_dtype));
            parsed.push_back(column);
        }
    }
    return parsed;
}

// Whether the rows ascend strictly by `sort_columns`, each a typed text or
// int64 column or a date column parsed here: no two rows share a key, so
// every sort, stable or not, leaves them where they are.
inline bool strictly_ascending(kit::Ctx cx, const Object& typed, const std::vector<Object>& parsed,
                               const Object& sort_columns, Py_ssize_t n) {
    const State& st = cx.state<State>();
    struct Key {
        ArrayView view;
        bool text = false;
    };
    std::vector<Key> keys(static_cast<std::size_t>(PyList_GET_SIZE(sort_columns.get())));
    std::vector<Object> arrays;
    std::size_t k = 0;
    for (const Object& column : kit::iter(sort_columns)) {
        Key& key = keys[k++];
        Object array = Object::borrow(PyDict_GetItemWithError(typed.get(), column.get()));
        if (!array) {
            if (PyErr_Occurred()) kit::fail();
            return false;
        }
        bool is_date = false;
        for (const Object& p : parsed) is_date = is_date || p.is(column);
        if (is_date) {
            array = array.method(cx["view"_n], st.int64);
        } else {
            for (const Object& raw : {cx.obj("date"_n), cx.obj("Date"_n)}) {
                if (column.eq(raw)) return false;  // dates left to pandas
            }
            Object dtype = array.attr(cx["dtype"_n]);
            key.text = dtype.eq(st.object_dtype);
            if (!key.text && !dtype.eq(st.int64)) return false;  // floats: NaN goes last
        }
        arrays.push_back(array);
        if (!key.view.open(array, false, key.text ? 'O' : 'q', 8)) return false;
    }
    // Typed text is exact str throughout: comparing cannot fail or run code.
    for (Py_ssize_t i = 1; i < n; ++i) {
        int order = 0;
        for (const Key& key : keys) {
            if (key.text) {
                PyObject* const* v = key.view.data<PyObject*>();
                order = v[i - 1] == v[i] ? 0 : PyUnicode_Compare(v[i - 1], v[i]);
            } else {
                const std::int64_t* v = key.view.data<std::int64_t>();
                order = v[i - 1] < v[i] ? -1 : v[i - 1] > v[i];
            }
            if (order != 0) break;
        }
        if (order >= 0) return false;
    }
    return true;
}

// ===========================================================================
// table.  _to_dataframe, past its empty check:
//
//     frame = pd.DataFrame.from_records(rows)
//     for column in ("date", "Date", "trade_date", "timestamp"):
//         if column in frame.columns:
//             if column == "timestamp" and pd.api.types.is_numeric_dtype(frame[column]):
//                 frame[column] = pd.to_datetime(frame[column], unit="s", errors="coerce")
//             else:
//                 frame[column] = pd.to_datetime(frame[column], errors="coerce")
//     sort_columns = []
//     id_field = self._ID_FIELD.get(namespace)
//     ...  (the identifier, then "date" or "Date")
//     if sort_columns:
//         frame = frame.sort_values(sort_columns).reset_index(drop=True)
//     return frame
//
// while pandas' DataFrame, to_datetime and their methods are the originals
// and the rows are uniform (typed_columns).  The calls it still makes
// (is_numeric_dtype, to_datetime of other dates, self._ID_FIELD) come in
// the same order.
inline std::optional<Object> fast_table(kit::Ctx cx, const Object& self, const Object& rows, const Object& ns) {
    State& st = cx.state<State>();
    Object typed;
    if (!st.fp_table.take([&] { return pandas_intact(cx) && (typed = typed_columns(cx, rows)); })) return std::nullopt;
    const std::vector<Object> parsed = dates_from_texts(cx, typed);
    Object pd = cx.global("pd"_n);
    Object frame = st.frame_type(typed);
    for (const Object& column : {cx.obj("date"_n), cx.obj("Date"_n), cx.obj("trade_date"_n), cx.obj("timestamp"_n)}) {
        if (!kit::check_rc(PyDict_Contains(typed.get(), column.get()))) continue;
        bool done = false;
        for (const Object& p : parsed) done = done || p.is(column);
        if (done) continue;
        frame.set_item(column, parsed_dates(cx, pd, column, frame.item(column)));
    }

    Object sort_columns = kit::list();
    Object id_field = self.attr(cx["_ID_FIELD"_n]).method(cx["get"_n], ns);
    auto has = [&](const Object& c) { return kit::check_rc(PyDict_Contains(typed.get(), c.get())) != 0; };
    if (id_field.truthy() && has(id_field)) kit::append(sort_columns, id_field);
    if (has(cx.obj("date"_n))) {
        kit::append(sort_columns, cx.obj("date"_n));
    } else if (has(cx.obj("Date"_n))) {
        kit::append(sort_columns, cx.obj("Date"_n));
    }
    if (PyList_GET_SIZE(sort_columns.get()) != 0 &&
        !strictly_ascending(cx, typed, parsed, sort_columns, PyList_GET_SIZE(rows.get()))) {
        frame = frame.method(cx["sort_values"_n], sort_columns).method(cx["reset_index"_n], kw(cx["drop"_n], true));
    }
    return frame;
}

// ===========================================================================
// resample: helpers.

// The identifiers of the kept rows as codes: `codes[i]` is the position of
// row i's cleaned identifier in `uniques`, the distinct identifiers sorted.
struct Identifiers {
    Object codes, uniques;
};
// The identifier cleaning (every value through _strict_str, blank ones
// dropped) done once per distinct value: the module's own _strict_str
// depends on the value alone, so it runs on the distinct values pandas finds
// and the texts go back to the rows by code.  That holds where values pandas
// tells apart give different texts and the values pandas calls missing are
// None and float NaN: integer columns, and text columns (the str dtype, or
// objects) holding only exact str, exact int, None and float NaN.  Anything
// else is left untouched (false).
inline bool clean_identifiers(kit::Ctx cx, Object& working, const Object& field, Identifiers& ids) {
    const State& st = cx.state<State>();
    const Object& np = st.np;
    Object column = working.item(field);
    Object dtype = column.attr(cx["dtype"_n]);
    Object values;
    bool text = false;
    if (numpy_kind(cx, dtype, "O")) {
        values = column.method(cx["to_numpy"_n]);
        text = true;
    } else if (dtype.isinstance(st.string_dtype) && is_nan_float(dtype.attr(cx["na_value"_n]))) {
        values = column.method(cx["to_numpy"_n], kw(cx["dtype"_n], st.object_dtype));
        text = true;
    } else if (numpy_kind(cx, dtype, "iu")) {
        values = column.method(cx["to_numpy"_n]);
    } else {
        return false;
    }
    if (text) {
        values = np.method(cx["ascontiguousarray"_n], values);
        ArrayView view;
        if (!view.open(values, false, 'O', sizeof(PyObject*))) return false;
        PyObject* const* items = view.data<PyObject*>();
        for (Py_ssize_t i = 0, n = view.size(); i < n; ++i) {
            PyObject* v = items[i];
            if (!(PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || v == Py_None ||
                  (PyFloat_CheckExact(v) && std::isnan(PyFloat_AS_DOUBLE(v)))))
                return false;
        }
    }

    // Missing values get code -1 from factorize; -1 also picks the last entry
    // of the tables below, which is the missing value's: "" and "dropped".
    auto [raw_codes, raw_uniques] = kit::unpack<2>(st.factorize(values));
    Object raw = raw_uniques.method(cx["tolist"_n]);
    const Py_ssize_t m = PyList_GET_SIZE(raw.get());
    Object texts = kit::list();
    Object distinct = Object::steal(PySet_New(nullptr));
    for (const Object& v : kit::iter(raw)) {
        Object t = st.strict_str.obj(v);  // the module's own _strict_str (guarded)
        kit::append(texts, t);
        if (PyUnicode_GET_LENGTH(t.get())) kit::check_rc(PySet_Add(distinct.get(), t.get()));
    }
    kit::append(texts, kit::str(""));
    Object sorted_ids = Object::steal(PySequence_List(distinct.get()));
    kit::check_rc(PyList_Sort(sorted_ids.get()));  // the order of groupby's sorted keys
    Object position = kit::dict();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sorted_ids.get()); ++i)
        kit::check_rc(PyDict_SetItem(position.get(), PyList_GET_ITEM(sorted_ids.get(), i), kit::integer(i).get()));
    Object code_of = np.method(cx["empty"_n], m + 1, kw(cx["dtype"_n], st.int64));
    {
        ArrayView view;
        if (!view.open(code_of, true, 'q', 8)) return false;
        for (Py_ssize_t i = 0; i <= m; ++i) {
            PyObject* p = PyDict_GetItemWithError(position.get(), PyList_GET_ITEM(texts.get(), i));
            if (!p && PyErr_Occurred()) kit::fail();
            view.data<std::int64_t>()[i] = p ? PyLong_AsLongLong(p) : -1;
        }
    }

    // Keep the rows whose text is not "" (`working` is this path's own
    // handle: the caller's table is not touched); the one pass works from
    // the codes.
    Object codes = code_of.method(cx["take"_n], raw_codes);
    Object keep = codes.compare(kit::integer(0), Py_GE);
    if (!keep.method(cx["all"_n]).truthy()) {
        working = working.item(keep);
        codes = codes.item(keep);
    }
    ids.codes = codes;
    ids.uniques = np.method(cx["array"_n], sorted_ids, kw(cx["dtype"_n], st.object_dtype));
    return true;
}

// The offset of `rule` when every bucket is one calendar period (labelled by
// the first anchor on or after its day, whatever a group's range), else null.
// Only rules spelled as pandas spells them now are read: to_offset warns of
// an old spelling once, where the loop's resample calls would warn per group.
inline bool current_spelling(std::string_view rule) {
    constexpr std::string_view kDays = "MON TUE WED THU FRI SAT SUN";
    constexpr std::string_view kMonths = "JAN FEB MAR APR MAY JUN JUL AUG SEP OCT NOV DEC";
    if (!rule.empty() && rule.front() == '1') rule.remove_prefix(1);
    // head, or head-XXX with XXX one of the words of `anchors`
    auto anchored = [&](std::string_view head, std::string_view anchors) {
        if (rule == head) return true;
        if (rule.size() != head.size() + 4 || !rule.starts_with(head) || rule[head.size()] != '-') return false;
        const std::size_t at = anchors.find(rule.substr(head.size() + 1));
        return at != std::string_view::npos && at % 4 == 0;
    };
    return rule == "ME" || anchored("W", kDays) || anchored("QE", kMonths) || anchored("YE", kMonths);
}

inline Object one_anchor_offset(kit::Ctx cx, const Object& rule) {
    const State& st = cx.state<State>();
    if (!PyUnicode_CheckExact(rule.get()) || !current_spelling(rule.utf8())) return {};
    Object offset;
    try {
        offset = st.to_offset(rule);
    } catch (kit::Error&) {
        // Not a rule pandas knows: the loop raises pandas' own error.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
        return {};
    }
    if (!kit::contains(st.one_anchor_types, kit::type(offset.type()))) return {};
    if (!offset.attr(cx["n"_n]).eq(kit::integer(1)) || offset.attr(cx["normalize"_n]).truthy()) return {};
    if (offset.type() == reinterpret_cast<PyTypeObject*>(st.week_type.get()) && offset.attr(cx["weekday"_n]).is_none())
        return {};
    return offset;
}

// Each identifier's first value of a descriptive column, in a form from
// which the table gets the column the loop builds from one value per
// identifier; null when that is not certain (missing values, mixed types).
inline Object carried_values(kit::Ctx cx, const Object& column, const Object& first_rows) {
    const State& st = cx.state<State>();
    Object dtype = column.attr(cx["dtype"_n]);
    Object values = column.method(cx["to_numpy"_n]).item(first_rows);
    bool text;
    if (numpy_kind(cx, dtype, "bOM")) {
        if (dtype.eq(st.bool_dtype)) return values;
        if (numpy_kind(cx, dtype, "M"))
            return st.np.method(cx["isnat"_n], values).method(cx["any"_n]).truthy() ? Object() : values;
        text = numpy_kind(cx, dtype, "O");
    } else {
        text = dtype.isinstance(st.string_dtype);
    }
    // All str: the default string dtype, as each single str gives.
    if (text && st.infer_dtype(values, kw(cx["skipna"_n], false)).eq(cx.obj("string"_n))) return values;
    return {};
}

// The loop's table in one pass over all rows, or null where only the loop is
// known to give it: the same columns, dtypes, order and float bits.  `ids`
// holds the identifier codes when the cleaning made them.
inline Object one_pass(kit::Ctx cx, const Object& working, const Object& date_column, const Object& field,
                       const Object& numeric_cols, const Object& offset, Identifiers ids) {
    const State& st = cx.state<State>();
    const Object& np = st.np;
    Object dates = working.item(date_column);
    Object date_dtype = dates.attr(cx["dtype"_n]);
    if (!numpy_kind(cx, date_dtype, "M")) return {};  // tz-aware dates bucket in local time
    Object columns = working.attr(cx["columns"_n]);
    if (!columns.attr(cx["is_unique"_n]).truthy()) return {};
    for (const Object& label : kit::iter(columns)) {
        if (!PyUnicode_CheckExact(label.get())) return {};
    }
    Object int_cols = kit::list(), float_cols = kit::list();
    for (const Object& column : kit::iter(numeric_cols)) {
        Object dtype = working.item(column).attr(cx["dtype"_n]);
        if (!numpy_kind(cx, dtype, "if")) return {};
        if (dtype.eq(st.float64))
            kit::append(float_cols, column);
        else if (dtype.eq(st.int64))
            kit::append(int_cols, column);
        else
            return {};
    }
    const bool by_identifier = field.truthy();

    // Bucket of every row: the first anchor on or after its day, as a
    // position in the grid of all anchors from the first to the last one.
    Object day = dates.attr(cx["dt"_n]).method(cx["normalize"_n]);
    Object unit = np.method(cx["datetime_data"_n], date_dtype).item(0);
    Object grid;
    try {
        grid = st.date_range(offset.method(cx["rollforward"_n], day.method(cx["min"_n])),
                             offset.method(cx["rollforward"_n], day.method(cx["max"_n])), kw(cx["freq"_n], offset),
                             kw(cx["unit"_n], unit));
    } catch (kit::Error&) {
        // A last anchor past the end of the calendar: the loop says so.
        if (!PyErr_ExceptionMatches(PyExc_OverflowError) && !PyErr_ExceptionMatches(st.out_of_bounds.get())) throw;
        PyErr_Clear();
        return {};
    }
    Object bucket = grid.method(cx["to_numpy"_n]).method(cx["searchsorted"_n], day.method(cx["to_numpy"_n]));

    const Py_ssize_t n = working.len();
    Object codes = ids.codes, uniques = ids.uniques;
    if (!by_identifier) {
        codes = np.method(cx["zeros"_n], n, kw(cx["dtype"_n], np.attr(cx["intp"_n])));
    } else if (!codes) {
        auto [c, u] = kit::unpack<2>(st.factorize(working.item(field), kw(cx["sort"_n], true)));
        codes = c;
        // As plain objects: the loop writes each identifier as a str, whatever
        // the column's own string dtype.
        uniques = u.method(cx["to_numpy"_n], kw(cx["dtype"_n], st.object_dtype));
    }
    Object n_ids = kit::integer(by_identifier ? uniques.len() : 1);

    // Rows by identifier, then date; ties keep table order, as each group's
    // stable sort by date does, so every bucket adds its values in the same
    // order.  A table as _to_dataframe builds it is in that order already.
    Object stamps = dates.method(cx["to_numpy"_n]).method(cx["view"_n], "i8");
    Object code_step = np.method(cx["diff"_n], codes);
    Object zero = kit::integer(0);
    Object in_order_rows =
        bit_or(code_step.compare(zero, Py_GT),
               bit_and(code_step.compare(zero, Py_EQ), np.method(cx["diff"_n], stamps).compare(zero, Py_GE)));
    const bool in_order = np.method(cx["all"_n], in_order_rows).truthy();
    Object order = in_order ? slice(kOpen, kOpen) : np.method(cx["lexsort"_n], kit::tuple(stamps, codes));
    Object code_s = codes.item(order), bucket_s = bucket.item(order);

    // A segment is a run of rows of one identifier and one bucket.
    Object head = slice(1, kOpen), tail = slice(kOpen, -1);
    auto run_starts = [&](Py_ssize_t size, const Object& changed) {
        Object flags = np.method(cx["empty"_n], size, kw(cx["dtype"_n], st.bool_dtype));
        flags.set_item(zero, kit::True());
        flags.set_item(head, changed);
        return flags;
    };
    Object new_segment = run_starts(n, bit_or(code_s.item(head).compare(code_s.item(tail), Py_NE),
                                              bucket_s.item(head).compare(bucket_s.item(tail), Py_NE)));
    Object starts = np.method(cx["flatnonzero"_n], new_segment);
    const Py_ssize_t n_seg = starts.len();
    Object seg_code = code_s.item(starts), seg_bucket = bucket_s.item(starts);

    // Every identifier gets each bucket from its first to its last.
    Object id_first_seg =
        np.method(cx["flatnonzero"_n], run_starts(n_seg, seg_code.item(head).compare(seg_code.item(tail), Py_NE)));
    Object first_bucket = seg_bucket.item(id_first_seg);
    Object last_seg = kit::sub(np.method(cx["append"_n], id_first_seg.item(head), n_seg), kit::integer(1));
    Object last_bucket = seg_bucket.item(last_seg);
    Object counts = kit::add(kit::sub(last_bucket, first_bucket), kit::integer(1));
    Object id_start = kit::sub(np.method(cx["cumsum"_n], counts), counts);
    Object total = counts.method(cx["sum"_n]);
    Object seg_row = kit::sub(kit::add(id_start.item(seg_code), seg_bucket), first_bucket.item(seg_code));
    Object out_code = np.method(cx["repeat"_n], np.method(cx["arange"_n], n_ids), counts);
    Object out_bucket =
        kit::sub(np.method(cx["arange"_n], total), np.method(cx["repeat"_n], kit::sub(id_start, first_bucket), counts));
    const bool has_gaps = !total.eq(kit::integer(n_seg));

    // Descriptive columns: each identifier's value in its first row.
    Object carried = kit::dict();
    Object first_rows;
    for (const Object& column : kit::iter(columns)) {
        if (kit::contains(numeric_cols, column) || column.eq(date_column) || column.eq(field)) continue;
        if (!first_rows) {
            first_rows = in_order ? starts.item(id_first_seg)
                                  : kit::unpack<2>(np.method(cx["unique"_n], codes, kw(cx["return_index"_n], true)))[1];
        }
        Object values = carried_values(cx, working.item(column), first_rows);
        if (!values) return {};
        carried.set_item(column, values);
    }

    Object nan = kit::floating(NAN);
    Object out = kit::dict();  // the loop's column order: date, numeric columns, identifier, carried
    out.set_item(date_column, grid.method(cx["take"_n], out_bucket));
    for (const Object& column : kit::iter(numeric_cols)) out.set_item(column, kit::None());
    Object reduceat = np.attr(cx["add"_n]).attr(cx["reduceat"_n]);
    for (const Object& column : kit::iter(int_cols)) {
        // Integer sums are exact in any order.
        Object sums = reduceat(working.item(column).method(cx["to_numpy"_n]).item(order), starts);
        if (has_gaps) {
            // One empty bucket anywhere makes the loop's whole column float.
            Object filled = np.method(cx["full"_n], total, nan);
            filled.set_item(seg_row, sums);
            sums = filled;
        }
        out.set_item(column, sums);
    }
    if (float_cols.len()) {
        Object block = working.item(float_cols).method(cx["to_numpy"_n]).item(order);
        // pandas sums a group by reduceat when its block holds no NaN, and by
        // a compensated sum otherwise; resample consolidates its input, so the
        // block is every float column and the choice is made per identifier.
        Object sums = reduceat(block, starts, kw(cx["axis"_n], 0));
        Object dirty = np.method(cx["zeros"_n], n_ids, kw(cx["dtype"_n], st.bool_dtype));
        Object nan_rows = np.method(cx["isnan"_n], block).method(cx["any"_n], kw(cx["axis"_n], 1));
        dirty.set_item(code_s.item(nan_rows), kit::True());
        if (dirty.method(cx["any"_n]).truthy()) {
            Object rows = dirty.item(code_s);
            Object segment = kit::sub(np.method(cx["cumsum"_n], new_segment), kit::integer(1));
            Object compensated = st.frame_type(block.item(rows))
                                     .method(cx["groupby"_n], segment.item(rows))
                                     .method(cx["sum"_n], kw(cx["min_count"_n], 1));
            sums.set_item(compensated.attr(cx["index"_n]).method(cx["to_numpy"_n]),
                          compensated.method(cx["to_numpy"_n]));
        }
        if (has_gaps) {
            Object filled = np.method(cx["full"_n], kit::tuple(total, float_cols.len()), nan);
            filled.set_item(seg_row, sums);
            sums = filled;
        }
        Py_ssize_t j = 0;
        for (const Object& column : kit::iter(float_cols))
            out.set_item(column, sums.item(kit::tuple(slice(kOpen, kOpen), j++)));
    }
    if (by_identifier) out.set_item(field, uniques.method(cx["take"_n], out_code));
    for (const Object& item : kit::iter(kit::dict_items(carried))) {
        auto [column, values] = kit::unpack<2>(item);
        out.set_item(column, values.item(out_code));
    }
    // Identifiers came sorted and buckets ascending: the loop's final order.
    return st.frame_type(out);
}

// ===========================================================================
// resample.  _resample_frame, once the identifier column is chosen:
//
//     if preferred_field is not None:
//         working[preferred_field] = working[preferred_field].apply(_strict_str)
//         working = working[working[preferred_field] != ""]
//     numeric_cols = [...select_dtypes(include="number") but preferred_field]
//     if not numeric_cols: return frame
//     ...for each identifier's rows: resample(rule).sum(min_count=1), the
//     identifier and the first row's descriptive values; concat, sort...
//
// in one pass over all rows, while pandas' names and methods and the
// module's _strict_str are the originals, `working` is a plain DataFrame,
// the rule's buckets are single calendar periods (one_anchor_offset) and
// the columns are of kinds whose table is known to come out bit for bit.
inline std::optional<Object> resample_in_one_pass(kit::Ctx cx, const Object& frame, const Object& working,
                                                  const Object& date_column, const Object& field,
                                                  const Object& offset) {
    Identifiers ids;
    Object kept = working;
    if (!field.is_none() && !clean_identifiers(cx, kept, field, ids)) return std::nullopt;
    Object numeric_cols = kit::list();
    for (const Object& column : kit::iter(working.method(cx["select_dtypes"_n], kw(cx["include"_n], "number"))
                                              .attr(cx["columns"_n])
                                              .method(cx["tolist"_n]))) {
        if (column.ne(field)) kit::append(numeric_cols, column);
    }
    if (PyList_GET_SIZE(numeric_cols.get()) == 0) return frame;
    if (kept.attr(cx["empty"_n]).truthy()) return frame;  // every identifier blank: no group
    if (Object out = one_pass(cx, kept, date_column, field, numeric_cols, offset, ids)) return out;
    return std::nullopt;
}

inline std::optional<Object> fast_resample(kit::Ctx cx, const Object& frame, const Object& working,
                                           const Object& date_column, const Object& preferred_field,
                                           const Object& rule) {
    State& st = cx.state<State>();
    std::optional<Object> out;
    st.fp_resample.take([&] {
        if (Py_TYPE(working.get()) != reinterpret_cast<PyTypeObject*>(st.frame_type.get()) || !pandas_intact(cx))
            return false;
        if (!preferred_field.is_none() && !st.strict_str.holds(cx.global("_strict_str"_n))) return false;
        Object offset = one_anchor_offset(cx, rule);
        if (!offset) return false;
        out = resample_in_one_pass(cx, frame, working, date_column, preferred_field, offset);
        return out.has_value();
    });
    return out;
}

// ===========================================================================
// The guards' originals and the fast paths' tools, once the class is built.
inline void bind_fast(kit::Module& m, const Object& cls) {
    State& st = m.state<State>();
    kit::Ctx cx = m.cx;
    st.mapping.bind(m.get("Mapping"));
    st.strict_str.bind(m.get("_strict_str"));
    st.ensure_mapping.bind(cls, cx["_ensure_mapping"_n]);
    Object pd = m.get("pd");
    st.pd_frame.bind(pd, cx["DataFrame"_n]);
    st.pd_to_datetime.bind(pd, cx["to_datetime"_n]);
    st.pd_concat.bind(pd, cx["concat"_n]);
    st.frame_type = pd.attr(cx["DataFrame"_n]);
    st.frame_methods.bind(st.frame_type, {cx["from_records"_n], cx["sort_values"_n], cx["reset_index"_n],
                                          cx["groupby"_n], cx["set_index"_n], cx["resample"_n]});
    st.series_methods.bind(pd.attr(cx["Series"_n]), {cx["apply"_n]});
    st.factorize = pd.attr(cx["factorize"_n]);
    st.date_range = pd.attr(cx["date_range"_n]);
    st.np = kit::import("numpy");
    st.to_offset = kit::import_name("pandas.tseries.frequencies", "to_offset");
    Object offsets = kit::import("pandas.tseries.offsets");
    st.week_type = offsets.attr(cx["Week"_n]);
    st.one_anchor_types = kit::tuple(st.week_type, offsets.attr(cx["MonthEnd"_n]), offsets.attr(cx["QuarterEnd"_n]),
                                     offsets.attr(cx["YearEnd"_n]));
    st.out_of_bounds = kit::import_name("pandas.errors", "OutOfBoundsDatetime");
    st.string_dtype = pd.attr(cx["StringDtype"_n]);
    st.infer_dtype = kit::import_name("pandas.api.types", "infer_dtype");
    Object np_dtype = st.np.attr(cx["dtype"_n]);
    st.float64 = np_dtype("float64");
    st.int64 = np_dtype("int64");
    st.object_dtype = np_dtype("O");
    st.bool_dtype = np_dtype("bool");
    {
        // Ask pandas once what plain dates become: 2000-01-01 is day 10957.
        Object probe = pd.attr(cx["Series"_n])(kit::list_of(kit::str("2000-01-01"), kit::str("2000-01-02")));
        Object parsed = pd.attr(cx["to_datetime"_n])(probe, kw(cx["errors"_n], "coerce"));
        Object ticks = parsed.method(cx["to_numpy"_n]).method(cx["view"_n], "i8");
        const long long first = PyLong_AsLongLong(ticks.item(kit::integer(0)).get());
        const long long second = PyLong_AsLongLong(ticks.item(kit::integer(1)).get());
        if (PyErr_Occurred()) kit::fail();
        if (second > first && first == 10957 * (second - first)) {
            st.date_dtype = parsed.attr(cx["dtype"_n]);
            st.ticks_per_day = second - first;
        }
    }
}

}  // namespace investor_fast
