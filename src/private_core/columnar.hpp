// Typed columns of uniform row records: the arrays pandas would make of the
// records, built without the records being walked again in Python.  One
// builder and one rule set for every table the package builds from decoded
// JSON rows (the bar modules', the investor engine's).
//
// Interface (namespace pc):
//   Columnar c;  c.load(pandas)     at import: numpy's dtypes, and one probe of
//                                   what pandas parses plain ISO texts to.
//                                   c.each(f) lists its references (for a
//                                   kit::ObjectsState).
//   typed_columns(c, rows)          -> std::optional<Columns>: the rows'
//                                   columns under the rules below, or nullopt
//                                   (the caller then builds from the records).
//   cols.dict()                     {key: array} in the rows' key order:
//                                   pandas.DataFrame(cols.dict()) is the table
//                                   DataFrame.from_records(rows) builds.
//   cols.find(key)                  a column's index, or Columns::npos.
//   cols.parse_times(c, j, dates_only)
//                                   text column j replaced by the datetime64
//                                   array pandas parses it to, when every value
//                                   is a plain ISO date (or, unless dates_only,
//                                   every value a plain ISO date-time); false
//                                   and unchanged otherwise.
//   cols.runs(j)                    the rows grouped by text column j: runs of
//                                   equal values, each value in one run only
//                                   (nullopt otherwise).
//   cols.ascends(j, runs)           whether column j never decreases within
//                                   each run (as a sort would see it).
//   cols.take(c, order)             the rows reordered, run by run.
//
// The rules.  `rows` is an exact list of at least one exact dict; every row
// has the first row's keys (exact str, at least one), in the same order.  A
// column's kind is set by the first row: an exact str makes a text column
// (an object array of exact str, which pandas infers as it infers the
// records' texts); an exact int or an exact float makes a number column,
// int64 while every value is an exact int an int64 holds, float64 once any
// value is an exact float (ints then converted as float() converts them).
// Anything else anywhere (None, a bool, an int past int64, a nested value,
// a str in a number column, a number in a text column, another key or key
// order) declines the whole table.  Reading the rows runs no Python code.
#pragma once

#include "kit/kit.hpp"
#include "private_core/array_view.hpp"
#include "private_core/iso_time.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

namespace pc {

enum class Kind : unsigned char { Text, Int, Float, Time };

struct Columnar {
    kit::Object np_empty, int64, float64, object;
    // What pandas parses plain ISO dates and date-times to: one dtype for
    // both, and the ticks of a second from 1970-01-01 (0: not known, the
    // texts are left to pandas).
    kit::Object time_dtype;
    std::int64_t ticks_per_second = 0;

    template <class F>
    void each(F&& f) {
        for (kit::Object* o : {&np_empty, &int64, &float64, &object, &time_dtype}) f(*o);
    }

    kit::Object empty(Py_ssize_t n, const kit::Object& dtype) const {
        return np_empty(n, kit::kw(kit::str("dtype").get(), dtype));
    }

    void load(const kit::Object& pandas) {
        kit::Object np = kit::import("numpy");
        np_empty = np.attr(kit::str("empty").get());
        kit::Object np_dtype = np.attr(kit::str("dtype").get());
        int64 = np_dtype("int64");
        float64 = np_dtype("float64");
        object = np_dtype("O");
        probe(pandas);
    }

private:
    // One question to pandas, at import: what do plain dates and date-times
    // parse to, with errors="coerce" and with format="ISO8601"?  The answer
    // is trusted only when all agree on the dtype and on the ticks
    // (2000-01-01 being second 946684800).
    void probe(const kit::Object& pandas) {
        kit::Object to_datetime = pandas.attr(kit::str("to_datetime").get());
        auto parse = [&](const char* a, const char* b, const char* how, const char* value) {
            kit::Object texts = pandas.attr(kit::str("Series").get())(kit::list_of(kit::str(a), kit::str(b)));
            return to_datetime(texts, kit::kw(kit::str(how).get(), value));
        };
        kit::Object dates = parse("2000-01-01", "2000-01-02", "errors", "coerce");
        kit::Object iso_dates = parse("2000-01-01", "2000-01-02", "format", "ISO8601");
        kit::Object times = parse("2000-01-01 00:00:00", "2000-01-01T00:00:01", "format", "ISO8601");
        auto tick = [](const kit::Object& parsed, int i) {
            kit::Object ticks = parsed.method(kit::str("to_numpy").get()).method(kit::str("view").get(), "i8");
            return PyLong_AsLongLong(ticks.item(kit::integer(i)).get());
        };
        auto dtype = [](const kit::Object& parsed) { return parsed.attr(kit::str("dtype").get()); };
        const long long second = tick(times, 1) - tick(times, 0), day = tick(dates, 1) - tick(dates, 0);
        if (PyErr_Occurred()) kit::fail();
        const bool agree = dtype(dates).eq(dtype(iso_dates)) && dtype(dates).eq(dtype(times));
        if (agree && second > 0 && day == 86400 * second && tick(iso_dates, 1) == tick(dates, 1) &&
            tick(dates, 0) == 946684800LL * second && tick(times, 0) == 946684800LL * second) {
            time_dtype = dtype(dates);
            ticks_per_second = second;
        }
        if (PyErr_Occurred()) kit::fail();
    }
};

struct Columns {
    static constexpr std::size_t npos = ~std::size_t{0};
    struct Run {
        Py_ssize_t start, stop;
        PyObject* value;  // borrowed from the column's array
    };

    std::vector<kit::Object> keys;  // the first row's keys, in order
    std::vector<Kind> kinds;
    // numpy arrays, one per key; a Time column's as int64 ticks (numpy
    // exports no datetime64 buffer), viewed as `time_dtype` in dict().
    std::vector<kit::Object> arrays;
    Py_ssize_t size = 0;
    kit::Object time_dtype;

    kit::Object dict() const {
        kit::Object out = kit::dict();
        for (std::size_t j = 0; j < keys.size(); ++j)
            out.set_item(keys[j],
                         kinds[j] == Kind::Time ? arrays[j].method(kit::str("view").get(), time_dtype) : arrays[j]);
        return out;
    }

    std::size_t find(PyObject* key) const {
        for (std::size_t j = 0; j < keys.size(); ++j) {
            if (keys[j].get() == key || (PyUnicode_Check(key) && PyUnicode_Compare(keys[j].get(), key) == 0)) return j;
        }
        if (PyErr_Occurred()) PyErr_Clear();
        return npos;
    }

    bool parse_times(const Columnar& c, std::size_t j, bool dates_only) {
        if (c.ticks_per_second == 0 || j >= keys.size() || kinds[j] != Kind::Text) return false;
        ArrayView in;
        if (!in.open(arrays[j], false, 'O', sizeof(PyObject*))) return false;
        kit::Object ticks = c.empty(size, c.int64);
        ArrayView out;
        if (!out.open(ticks, true, 'q', 8)) return false;
        int kind = -1;  // all dates (0) or all date-times (1)
        for (Py_ssize_t i = 0; i < size; ++i) {
            bool with_time = false;
            std::int64_t seconds = 0;
            if (!plain_iso(in.data<PyObject*>()[i], with_time, seconds)) return false;
            if (kind < 0) kind = with_time;
            if (kind != static_cast<int>(with_time) || (dates_only && with_time)) return false;
            std::int64_t t;
            if (__builtin_mul_overflow(seconds, c.ticks_per_second, &t)) return false;  // never wraps
            out.data<std::int64_t>()[i] = t;
        }
        out.release();
        in.release();
        arrays[j] = ticks;
        kinds[j] = Kind::Time;
        time_dtype = c.time_dtype;
        return true;
    }

    std::optional<std::vector<Run>> runs(std::size_t j) const {
        if (j >= keys.size() || kinds[j] != Kind::Text || size == 0) return std::nullopt;
        ArrayView view;
        if (!view.open(arrays[j], false, 'O', sizeof(PyObject*))) return std::nullopt;
        PyObject* const* v = view.data<PyObject*>();
        std::vector<Run> out;
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (i == 0 || !same_text(v[i - 1], v[i])) out.push_back({i, i, v[i]});
            out.back().stop = i + 1;
        }
        // Every value in one run only: no two runs share a value.
        std::vector<PyObject*> heads;
        for (const Run& r : out) heads.push_back(r.value);
        std::sort(heads.begin(), heads.end(), [](PyObject* a, PyObject* b) { return PyUnicode_Compare(a, b) < 0; });
        for (std::size_t i = 1; i < heads.size(); ++i) {
            if (same_text(heads[i - 1], heads[i])) return std::nullopt;
        }
        return out;
    }

    bool ascends(std::size_t j, const std::vector<Run>& runs) const {
        ArrayView view;
        const bool text = kinds[j] == Kind::Text, real = kinds[j] == Kind::Float;
        if (!view.open(arrays[j], false, text ? 'O' : real ? 'd' : 'q', 8)) return false;
        for (const Run& r : runs) {
            if (text) {
                if (!texts_ascend(view.data<PyObject*>() + r.start, r.stop - r.start)) return false;
            } else if (real) {
                // A NaN sorts last whatever its place: never "ascending".
                const double* v = view.data<double>();
                for (Py_ssize_t i = r.start; i < r.stop; ++i) {
                    if (std::isnan(v[i]) || (i > r.start && v[i - 1] > v[i])) return false;
                }
            } else {
                const std::int64_t* v = view.data<std::int64_t>();
                if (!std::is_sorted(v + r.start, v + r.stop)) return false;
            }
        }
        return true;
    }

    void take(const Columnar& c, const std::vector<Run>& order) {
        kit::Object index = c.empty(size, c.int64);
        {
            ArrayView view;
            if (!view.open(index, true, 'q', 8))
                kit::raise(PyExc_SystemError, "numpy exported an array of an unexpected layout");
            std::int64_t* at = view.data<std::int64_t>();
            for (const Run& r : order) {
                for (Py_ssize_t i = r.start; i < r.stop; ++i) *at++ = i;
            }
        }
        for (kit::Object& a : arrays) a = a.method(kit::str("take").get(), index);
    }

private:
    static bool same_text(PyObject* a, PyObject* b) { return a == b || PyUnicode_Compare(a, b) == 0; }

    // Whether texts are ISO-like date-times of one fixed layout (ASCII
    // digits at the same places, the same separator among "-:T ." at the
    // others, a digit first) that never decrease: for such texts the order
    // of the characters is the order of the times they parse to.
    static bool texts_ascend(PyObject* const* v, Py_ssize_t n) {
        PyObject* first = v[0];
        if (!PyUnicode_IS_COMPACT_ASCII(first)) return false;
        const Py_ssize_t len = PyUnicode_GET_LENGTH(first);
        const auto* layout = static_cast<const unsigned char*>(PyUnicode_DATA(first));
        auto digit = [](unsigned char ch) { return ch >= '0' && ch <= '9'; };
        if (len == 0 || !digit(layout[0])) return false;
        for (Py_ssize_t k = 0; k < len; ++k) {
            if (!digit(layout[k]) && (layout[k] == 0 || !std::strchr("-:T .", layout[k]))) return false;
        }
        const unsigned char* prev = nullptr;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* s = v[i];
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
};

namespace detail {
// Walks the rows under the rules, calling fill(j, i, value) for each cell
// whose kind fits (`kinds` may turn Int into Float); false at the first
// misfit.  Runs no Python code.
template <class Fill>
bool walk_rows(PyObject* list, const std::vector<PyObject*>& keys, std::vector<Kind>& kinds, bool may_widen,
               Fill&& fill) {
    const Py_ssize_t n = PyList_GET_SIZE(list);
    const auto width = static_cast<Py_ssize_t>(keys.size());
    // Rows decoded from one answer share their key objects: a key once
    // found equal is then recognised by identity.
    std::vector<PyObject*> seen = keys;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* row = PyList_GET_ITEM(list, i);
        if (!PyDict_CheckExact(row) || PyDict_GET_SIZE(row) != width) return false;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        for (std::size_t j = 0; PyDict_Next(row, &pos, &key, &value); ++j) {
            if (key != seen[j]) {
                if (!PyUnicode_CheckExact(key) || PyUnicode_Compare(key, keys[j]) != 0) return false;
                seen[j] = key;
            }
            if (kinds[j] == Kind::Text) {
                if (!PyUnicode_CheckExact(value)) return false;
            } else if (PyFloat_CheckExact(value)) {
                if (kinds[j] == Kind::Int) {
                    if (!may_widen) return false;
                    kinds[j] = Kind::Float;
                }
            } else if (PyLong_CheckExact(value)) {
                int overflow = 0;
                (void)PyLong_AsLongLongAndOverflow(value, &overflow);
                if (overflow) return false;  // past int64: pandas keeps it otherwise
                if (PyErr_Occurred()) {
                    PyErr_Clear();
                    return false;
                }
            } else {
                return false;
            }
            fill(j, i, value);
        }
    }
    return true;
}
}  // namespace detail

// The rows' columns under the rules above, or nullopt.
inline std::optional<Columns> typed_columns(const Columnar& c, const kit::Object& rows) {
    PyObject* list = rows.get();
    if (!PyList_CheckExact(list) || PyList_GET_SIZE(list) == 0) return std::nullopt;
    PyObject* first = PyList_GET_ITEM(list, 0);
    if (!PyDict_CheckExact(first) || PyDict_GET_SIZE(first) == 0) return std::nullopt;
    Columns out;
    std::vector<PyObject*> keys;
    {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(first, &pos, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) return std::nullopt;
            out.keys.push_back(kit::Object::borrow(key));
            keys.push_back(key);
            out.kinds.push_back(PyUnicode_CheckExact(value) ? Kind::Text
                                : PyFloat_CheckExact(value) ? Kind::Float
                                                            : Kind::Int);
        }
    }
    // First the kinds (nothing allocated), then the arrays and their values;
    // the second walk checks everything again, so rows changed meanwhile
    // (by a finalizer the allocation ran) are still never misread.
    if (!detail::walk_rows(list, keys, out.kinds, true, [](std::size_t, Py_ssize_t, PyObject*) {})) return std::nullopt;
    out.size = PyList_GET_SIZE(list);
    std::vector<ArrayView> views(keys.size());
    for (std::size_t j = 0; j < keys.size(); ++j) {
        const Kind k = out.kinds[j];
        out.arrays.push_back(c.empty(out.size, k == Kind::Text ? c.object : k == Kind::Int ? c.int64 : c.float64));
        if (!views[j].open(out.arrays[j], true, k == Kind::Text ? 'O' : k == Kind::Int ? 'q' : 'd', 8))
            return std::nullopt;
    }
    if (PyList_GET_SIZE(list) != out.size) return std::nullopt;
    const bool filled = detail::walk_rows(list, keys, out.kinds, false, [&](std::size_t j, Py_ssize_t i, PyObject* v) {
        switch (out.kinds[j]) {
            case Kind::Text: put_object(views[j], i, v); break;
            case Kind::Int: views[j].data<std::int64_t>()[i] = PyLong_AsLongLong(v); break;
            default:
                views[j].data<double>()[i] =
                    PyFloat_CheckExact(v) ? PyFloat_AS_DOUBLE(v) : static_cast<double>(PyLong_AsLongLong(v));
        }
    });
    if (!filled) return std::nullopt;
    return out;
}

}  // namespace pc
