// private_core.investor.flow_engine: InvestorFlowEngine, the bridge between
// the public client's validated investor requests and the service's investor
// endpoints.  It builds the payload, posts it (with one GET fallback), turns
// whatever shape of JSON comes back into rows and a table, and re-buckets the
// daily table when a coarser interval is asked for.
//
// Everything the class consults (its two tables, its own methods) is read
// through `self`, and every module name through the module's globals at call
// time, so subclasses and monkeypatching see the same behaviour as they would
// with a class written in Python.
#include "kit/kit.hpp"
#include "private_core/array_view.hpp"
#include "private_core/iso_time.hpp"

#include <cmath>

namespace {

using namespace kit::literals;
using kit::Call;
using kit::Object;
using kit::Sig;
using kit::arg;
using kit::kw;
using pc::ArrayView;

constexpr const char* kEngineDoc =
    "\n"
    "    Pure-Python investor bridge.  It forwards validated requests coming from the\n"
    "    public client to the corresponding private API endpoints and materialises\n"
    "    the JSON payloads as ``pandas.DataFrame`` objects.\n"
    "    ";

constexpr const char* kUnexpectedPayload = "Unexpected payload format for investor endpoint.";
constexpr const char* kEntryNotObject = "Investor payload entries must be JSON objects.";

// ---------------------------------------------------------------------------
struct State : kit::ObjectsState<State> {
    // typing.Mapping as bound at import: while the module name still refers
    // to it, an exact dict is known to be a Mapping and the alias' slow
    // pure-Python check is skipped.
    Object mapping;
    // The module's own _strict_str and pandas as bound at import.  The fast
    // table paths rely on what these do; while the module names still refer
    // to them they are taken, otherwise everything goes the general way
    // through whatever the names hold now.
    Object strict_str;
    Object pandas;
    // InvestorFlowEngine's methods as defined here, for the checks that
    // they are still what `self` has.
    Object ensure_mapping, normalise_records, request, to_dataframe;
    // What the fast paths call: numpy, pandas' offset parser and the offset
    // types whose buckets are single calendar periods, and a few dtypes.
    Object np;
    Object to_offset;
    Object one_anchor_types;  // (Week, MonthEnd, QuarterEnd, YearEnd)
    Object week_type;
    Object out_of_bounds;     // pandas.errors.OutOfBoundsDatetime
    Object string_dtype;      // pandas.StringDtype
    Object infer_dtype;
    Object float64, int64, object_dtype, bool_dtype;
    // What pd.to_datetime(errors="coerce") makes of plain dates: its dtype
    // and its ticks per day counted from 1970-01-01 (0: not known).
    Object date_dtype;
    std::int64_t ticks_per_day = 0;

    template <class F>
    void each(F&& f) {
        for (Object* o : {&mapping, &strict_str, &pandas, &ensure_mapping, &normalise_records, &request, &to_dataframe, &np, &to_offset, &one_anchor_types, &week_type,
                          &out_of_bounds, &string_dtype, &infer_dtype, &float64, &int64, &object_dtype, &bool_dtype,
                          &date_dtype})
            f(*o);
    }
};

// str(value).strip()
Object stripped_text(kit::Ctx cx, const Object& v) { return v.str().method(cx["strip"_n]); }

bool frame_empty(kit::Ctx cx, const Object& frame) { return frame.attr(cx["empty"_n]).truthy(); }

// isinstance(obj, Mapping) with the module's Mapping.
bool is_mapping(kit::Ctx cx, const Object& obj) {
    Object mapping = cx.global("Mapping"_n);
    if (PyDict_CheckExact(obj.get()) && mapping.is(cx.state<State>().mapping)) return true;
    return obj.isinstance(mapping);
}

// The rule handed to pandas' resample.  The service's interval codes say "M"
// for monthly, which recent pandas rejects (it wants the month-end alias "ME");
// only that code is translated, and only here, so the payload and everything
// the caller sees keep the service's own spelling.
Object pandas_rule(const Object& interval) {
    std::string_view text = interval.utf8();
    if (text.empty() || text.back() != 'M') return interval;
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return interval;
    }
    return kit::cat({interval, "E"});
}

// ---------------------------------------------------------------------------
constexpr Py_ssize_t kOpen = PY_SSIZE_T_MIN;  // an open end of a slice
Object slice(Py_ssize_t start, Py_ssize_t stop) {
    Object a = start == kOpen ? kit::None() : kit::integer(start);
    Object b = stop == kOpen ? kit::None() : kit::integer(stop);
    return Object::steal(PySlice_New(a.get(), b.get(), nullptr));
}
Object bit_or(const Object& a, const Object& b) { return Object::steal(PyNumber_Or(a.get(), b.get())); }
Object bit_and(const Object& a, const Object& b) { return Object::steal(PyNumber_And(a.get(), b.get())); }

// Whether the module's names still hold what the fast paths were written for.
bool own_pandas(kit::Ctx cx) { return cx.global("pd"_n).is(cx.state<State>().pandas); }
bool own_strict_str(kit::Ctx cx) { return cx.global("_strict_str"_n).is(cx.state<State>().strict_str); }

bool is_nan_float(const Object& v) { return PyFloat_Check(v.get()) && std::isnan(PyFloat_AS_DOUBLE(v.get())); }

// A column pandas stores as numpy data of this kind ("O", "M", "i", ...).
bool numpy_kind(kit::Ctx cx, const Object& dtype, std::string_view kinds) {
    if (!dtype.isinstance(cx.state<State>().np.attr(cx["dtype"_n]))) return false;
    std::string_view kind = dtype.attr(cx["kind"_n]).utf8();
    return kind.size() == 1 && kinds.find(kind[0]) != std::string_view::npos;
}

// ---------------------------------------------------------------------------
// _strict_str
constexpr Sig strict_str_sig{"_strict_str", {arg("value").ann("Any")}, "str"};

Object strict_text(kit::Ctx cx, const Object& value) {
    if (value.is_none()) return kit::str("");
    // Float NaN (numpy's float64 included) is "no value", never the text nan.
    if (PyFloat_Check(value.get()) && std::isnan(PyFloat_AS_DOUBLE(value.get()))) return kit::str("");
    return stripped_text(cx, value);
}

Object strict_str(Call& c) { return strict_text(c.cx(), c[strict_str_sig["value"]]); }

// ---------------------------------------------------------------------------
// __init__
constexpr Sig init_sig{"__init__", {arg("self"), arg("session").ann("HttpSession")}, "None"};

Object init(Call& c) {
    kit::Ctx cx = c.cx();
    c.self().set_attr(cx["session"_n], c[init_sig["session"]]);
    return {};
}

// ---------------------------------------------------------------------------
// _prepare_payload
constexpr Sig prepare_payload_sig{
    "_prepare_payload", {arg("self"), arg("params").dict().ann("dict[str, Any]")}, "dict[str, Any]"};

Object prepare_payload(Call& c) {
    kit::Ctx cx = c.cx();
    Object params = c[prepare_payload_sig["params"]];
    Object payload = kit::dict();
    for (const Object& item : kit::iter(kit::dict_items(params))) {
        PyObject* value = PyTuple_GET_ITEM(item.get(), 1);
        if (value == Py_None) continue;
        kit::check_rc(PyDict_SetItem(payload.get(), PyTuple_GET_ITEM(item.get(), 0), value));
    }

    // Values are never None here: those were left out above.
    Object ids = cx.dict_get(payload, cx.obj("ids"_n).get(), nullptr);
    if (ids) {
        Object cleaned = kit::list();
        if (PyList_Check(ids.get()) || PyTuple_Check(ids.get())) {
            for (const Object& v : kit::iter(ids)) {
                if (stripped_text(cx, v).truthy()) kit::append(cleaned, stripped_text(cx, v));
            }
        } else {
            // A lone value (one symbol, a number, a set) is one identifier,
            // even when its text is empty.
            kit::append(cleaned, stripped_text(cx, ids));
        }
        payload.set_item(cx.obj("ids"_n), cleaned);
    }

    Object group = cx.dict_get(payload, cx.obj("group"_n).get(), nullptr);
    if (group) {
        Object group_str = stripped_text(cx, group).method(cx["lower"_n]);
        if (group_str.truthy()) payload.set_item(cx.obj("group"_n), group_str);
    }

    Object interval = cx.dict_get(payload, cx.obj("interval"_n).get(), nullptr);
    if (interval) {
        Object interval_str = stripped_text(cx, interval).method(cx["upper"_n]);
        if (interval_str.truthy()) payload.set_item(cx.obj("interval"_n), interval_str);
    }

    for (const Object& key : {cx.obj("start"_n), cx.obj("end"_n)}) {
        Object value = cx.dict_get(payload, key.get(), nullptr);
        if (!value) continue;
        // datetime first: a datetime is also a date.
        if (value.isinstance(cx.global("datetime"_n))) {
            payload.set_item(key, value.method(cx["date"_n]).method(cx["isoformat"_n]));
        } else if (value.isinstance(cx.global("date"_n))) {
            payload.set_item(key, value.method(cx["isoformat"_n]));
        } else {
            payload.set_item(key, stripped_text(cx, value));
        }
    }
    return payload;
}

// ---------------------------------------------------------------------------
// _request
constexpr Sig request_sig{"_request",
                      {arg("self"), arg("endpoint").str().ann("str"), arg("payload").dict().ann("dict[str, Any]")},
                      "Any"};

Object request(Call& c) {
    kit::Ctx cx = c.cx();
    Object self = c.self(), endpoint = c[request_sig["endpoint"]], payload = c[request_sig["payload"]];
    Object response;
    try {
        response = self.attr(cx["session"_n]).method(cx["post"_n], endpoint, kw(cx["json_body"_n], payload));
    } catch (kit::Error&) {
        Object exc = Object::steal(PyErr_GetRaisedException());
        bool fallback = false;
        try {
            Object http_error = cx.global("HttpError"_n);
            // Only "this endpoint does not take POST" earns the one GET.
            fallback = PyErr_GivenExceptionMatches(exc.get(), http_error.get()) &&
                       kit::contains(kit::tuple(404, 405), exc.attr(cx["status_code"_n]));
            if (fallback) {
                Object query = self.method(cx["_to_query_params"_n], payload);
                response = self.attr(cx["session"_n]).method(cx["get"_n], endpoint, kw(cx["params"_n], query));
            }
        } catch (kit::Error&) {
            kit::raise_in_handler(exc);
        }
        if (!fallback) kit::raise(std::move(exc));
    }
    return response.method(cx["json"_n]);
}

// ---------------------------------------------------------------------------
// _to_query_params
constexpr Sig to_query_params_sig{
    "_to_query_params", {arg("self"), arg("payload").dict().ann("dict[str, Any]")}, "dict[str, Any]"};

Object to_query_params(Call& c) {
    kit::Ctx cx = c.cx();
    Object query = kit::dict();
    Object ids_key = cx.obj("ids"_n);
    for (const Object& item : kit::iter(kit::dict_items(c[to_query_params_sig["payload"]]))) {
        Object key = Object::borrow(PyTuple_GET_ITEM(item.get(), 0));
        Object value = Object::borrow(PyTuple_GET_ITEM(item.get(), 1));
        if (key.eq(ids_key) && value.isinstance(cx.global("Iterable"_n)) && !PyUnicode_Check(value.get()) &&
            !PyBytes_Check(value.get())) {
            Object pieces = kit::list();
            for (const Object& v : kit::iter(value)) {
                if (stripped_text(cx, v).truthy()) kit::append(pieces, stripped_text(cx, v));
            }
            value = Object::steal(PyUnicode_Join(cx.obj(","_n).get(), pieces.get()));
        }
        query.set_item(key, value);
    }
    return query;
}

// ---------------------------------------------------------------------------
// _normalise_records
constexpr Sig normalise_records_sig{"_normalise_records",
                                {arg("self"), arg("payload").ann("Any"), arg("namespace").ann("Namespace")},
                                "list[dict[str, Any]]"};

// Whether `self._normalise_records` is still this very function, bound to
// `self` (no subclass override, no instance attribute in the way).
bool own_normaliser(kit::Ctx cx, const Object& self, Object& bound) {
    bound = self.attr(cx["_normalise_records"_n]);
    return PyMethod_Check(bound.get()) && PyMethod_GET_FUNCTION(bound.get()) == cx.state<State>().normalise_records.get() &&
           PyMethod_GET_SELF(bound.get()) == self.get();
}

// Whether `self.<name>` is `own`, bound to `self`.
bool bound_own(const Object& self, PyObject* name, const Object& own) {
    Object bound = self.attr(name);
    return PyMethod_Check(bound.get()) && PyMethod_GET_FUNCTION(bound.get()) == own.get() &&
           PyMethod_GET_SELF(bound.get()) == self.get();
}

// Whether `self._ensure_mapping` is this module's own method, bound to
// `self`, and `Mapping` the module's own: a row is then a plain copy.
bool own_row_copy(kit::Ctx cx, const Object& self) {
    const State& st = cx.state<State>();
    return cx.global("Mapping"_n).is(st.mapping) && bound_own(self, cx["_ensure_mapping"_n], st.ensure_mapping);
}

// The body of _normalise_records.  With `copy_rows` false an exact dict
// entry becomes a row as it is, not a copy (see rows_stay_inside).
Object normalise(kit::Ctx cx, const Object& self, Object payload, const Object& ns, bool copy_rows) {
    // Envelopes ({"data": ...} and the like) are unwrapped in this loop, not
    // by recursion: an answer nested deeper than the C stack allows must not
    // kill the process.  The depth still ends in RecursionError past the
    // interpreter's limit, as the same recursion in Python would.
    for (int depth = 0;; ++depth) {
        if (payload.is_none()) return kit::list();

        if (PyList_Check(payload.get())) {
            Object rows = kit::list();
            // While self._ensure_mapping and Mapping are this module's own, an
            // exact dict is copied here, as that method would copy it.
            bool own = own_row_copy(cx, self);
            for (const Object& item : kit::iter(payload)) {
                if (own && PyDict_CheckExact(item.get())) {
                    kit::append(rows, copy_rows ? Object::steal(PyDict_Copy(item.get())) : item);
                } else {
                    kit::append(rows, self.method(cx["_ensure_mapping"_n], item, ns));
                    own = own && own_row_copy(cx, self);  // the call may have rebound either
                }
            }
            return rows;
        }
        if (!is_mapping(cx, payload)) break;

        // The first envelope key present wins, whatever it holds.
        Object inner;
        for (const Object& key : {cx.obj("data"_n), cx.obj("results"_n), cx.obj("items"_n), cx.obj("records"_n)}) {
            if (kit::contains(payload, key)) {
                inner = payload.item(key);
                break;
            }
        }
        if (inner) {
            if (depth + 1 >= Py_GetRecursionLimit())
                kit::raise(PyExc_RecursionError, "maximum recursion depth exceeded while unwrapping an investor payload");
            Object bound;
            // A subclass's own _normalise_records takes the inner payload.
            if (!own_normaliser(cx, self, bound)) return bound(inner, ns);
            payload = inner;
            continue;
        }

        bool all_lists = true;
        for (const Object& v : kit::iter(payload.method(cx["values"_n]))) {
            if (!PyList_Check(v.get())) {
                all_lists = false;
                break;
            }
        }
        if (!all_lists) break;
        // {identifier: [rows...], ...}: each row learns its identifier.
        Object extracted = kit::list();
        for (const Object& pair : kit::iter(payload.method(cx["items"_n]))) {
            auto [identifier, entries] = kit::unpack<2>(pair);
            for (const Object& item : kit::iter(entries))
                kit::append(extracted, self.method(cx["_ensure_mapping"_n], item, ns, identifier));
        }
        return extracted;
    }
    cx.raise_global("DataDecodingError"_n, kUnexpectedPayload);
}

Object normalise_records(Call& c) {
    return normalise(c.cx(), c.self(), c[normalise_records_sig["payload"]], c[normalise_records_sig["namespace"]], true);
}

// ---------------------------------------------------------------------------
// _ensure_mapping
constexpr Sig ensure_mapping_sig{"_ensure_mapping",
                             {arg("self"), arg("entry").ann("Any"), arg("namespace").ann("Namespace"),
                              arg("identifier").str().opt().def_none().ann("str | None")},
                             "dict[str, Any]"};

Object ensure_mapping(Call& c) {
    kit::Ctx cx = c.cx();
    Object entry = c[ensure_mapping_sig["entry"]];
    if (!is_mapping(cx, entry)) cx.raise_global("DataDecodingError"_n, kEntryNotObject);
    // A new row: the decoded answer itself is never written to.
    Object data = Object::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), entry.get()));
    if (c.is_none(ensure_mapping_sig["identifier"])) return data;
    Object field = c.self().attr(cx["_ID_FIELD"_n]).method(cx["get"_n], c[ensure_mapping_sig["namespace"]], "id");
    // A value the row already carries wins, even an empty or null one.
    if (!kit::check_rc(PyDict_Contains(data.get(), field.get()))) data.set_item(field, c[ensure_mapping_sig["identifier"]]);
    return data;
}

// ---------------------------------------------------------------------------
// _to_dataframe
constexpr Sig to_dataframe_sig{"_to_dataframe",
                           {arg("self"), arg("rows").list().ann("list[dict[str, Any]]"), arg("namespace").ann("Namespace")},
                           "pd.DataFrame"};

// The columns of `rows` as typed arrays, {key: array} in the rows' key order,
// when the rows are uniform: exact dicts with the same str keys in the same
// order, and in each column values of one kind: exact float (float64), exact
// int within int64 (int64) or exact str (an object array, which pandas
// infers as it infers the records' text).  pandas then builds the very table
// DataFrame.from_records builds, without walking the rows again in Python.
// Null for anything else: the caller takes the records path.
Object typed_columns(kit::Ctx cx, const Object& rows) {
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
            if (PyFloat_CheckExact(value)) kinds.push_back(Kind::Float);
            else if (PyLong_CheckExact(value)) kinds.push_back(Kind::Int);
            else if (PyUnicode_CheckExact(value)) kinds.push_back(Kind::Text);
            else return {};
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
bool plain_date(PyObject* v, std::int64_t& days) {
    bool with_time = false;
    std::int64_t seconds = 0;
    if (!pc::plain_iso(v, with_time, seconds) || with_time) return false;
    days = seconds / 86400;
    return true;
}

// The date columns of `typed` whose texts are all plain dates, replaced by
// the datetime64 array pd.to_datetime(errors="coerce") makes of them:
// parsing a datetime column gives it back as it is, so pandas then has no
// text to read.  Any other column stays text, for pandas to parse.
void dates_from_texts(kit::Ctx cx, const Object& typed) {
    const State& st = cx.state<State>();
    if (st.ticks_per_day == 0) return;
    for (const Object& column : {cx.obj("date"_n), cx.obj("Date"_n), cx.obj("trade_date"_n), cx.obj("timestamp"_n)}) {
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
        if (all_plain) typed.set_item(column, ticks.method(cx["view"_n], st.date_dtype));
    }
}

// Whether the rows already stand in the order frame.sort_values(sort_columns)
// gives them (a stable sort): every key is a typed text or int64 column, or
// a parsed date column without NaT (the sort puts missing values last), and
// the rows ascend by the keys.  Sorting would then keep every row in place.
bool in_sort_order(kit::Ctx cx, const Object& typed, const Object& frame, const Object& sort_columns) {
    const State& st = cx.state<State>();
    struct Key {
        Object array;
        ArrayView view;
        bool text = false;
    };
    std::vector<Key> keys(static_cast<std::size_t>(PyList_GET_SIZE(sort_columns.get())));
    std::size_t k = 0;
    for (const Object& column : kit::iter(sort_columns)) {
        Key& key = keys[k++];
        Object values = frame.item(column);
        if (numpy_kind(cx, values.attr(cx["dtype"_n]), "M")) {
            key.array = st.np.method(cx["ascontiguousarray"_n], values.method(cx["to_numpy"_n]).method(cx["view"_n], "i8"));
        } else {
            for (const Object& parsed : {cx.obj("date"_n), cx.obj("Date"_n), cx.obj("trade_date"_n), cx.obj("timestamp"_n)}) {
                if (column.eq(parsed)) return false;  // dates pandas did not make naive datetime64
            }
            PyObject* built = PyDict_GetItemWithError(typed.get(), column.get());
            if (!built) {
                if (PyErr_Occurred()) kit::fail();
                return false;
            }
            key.array = Object::borrow(built);
            Object dtype = key.array.attr(cx["dtype"_n]);
            key.text = dtype.eq(st.object_dtype);
            if (!key.text && !dtype.eq(st.int64)) return false;  // floats: NaN goes last
        }
        if (!key.view.open(key.array, false, key.text ? 'O' : 'q', 8)) return false;
    }
    const Py_ssize_t n = frame.len();
    for (const Key& key : keys) {
        if (key.text) continue;
        const std::int64_t* v = key.view.data<std::int64_t>();
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (v[i] == INT64_MIN) return false;  // NaT
        }
    }
    // Typed text is exact str throughout: comparing cannot fail or run code.
    for (Py_ssize_t i = 1; i < n; ++i) {
        for (const Key& key : keys) {
            int order;
            if (key.text) {
                PyObject* const* v = key.view.data<PyObject*>();
                order = v[i - 1] == v[i] ? 0 : PyUnicode_Compare(v[i - 1], v[i]);
            } else {
                const std::int64_t* v = key.view.data<std::int64_t>();
                order = v[i - 1] < v[i] ? -1 : v[i - 1] > v[i];
            }
            if (order > 0) return false;
            if (order < 0) break;
        }
    }
    return true;
}

Object to_dataframe(Call& c) {
    kit::Ctx cx = c.cx();
    Object rows = c[to_dataframe_sig["rows"]];
    Object pd = cx.global("pd"_n);
    if (PyList_GET_SIZE(rows.get()) == 0) return pd.attr(cx["DataFrame"_n])();

    Object typed = own_pandas(cx) ? typed_columns(cx, rows) : Object();
    if (typed) dates_from_texts(cx, typed);
    Object frame = typed ? pd.attr(cx["DataFrame"_n])(typed)
                         : pd.attr(cx["DataFrame"_n]).attr(cx["from_records"_n])(rows);
    // Every present date column is parsed, not only the first; bad cells
    // become NaT and no row is lost.
    for (const Object& column : {cx.obj("date"_n), cx.obj("Date"_n), cx.obj("trade_date"_n), cx.obj("timestamp"_n)}) {
        if (!kit::contains(frame.attr(cx["columns"_n]), column)) continue;
        Object values = frame.item(column);
        Object parsed;
        if (column.eq(cx.obj("timestamp"_n)) &&
            pd.attr(cx["api"_n]).attr(cx["types"_n]).attr(cx["is_numeric_dtype"_n])(values).truthy()) {
            // Numeric timestamps are Unix times in seconds.
            parsed = pd.attr(cx["to_datetime"_n])(values, kw(cx["unit"_n], "s"), kw(cx["errors"_n], "coerce"));
        } else {
            parsed = pd.attr(cx["to_datetime"_n])(values, kw(cx["errors"_n], "coerce"));
        }
        frame.set_item(column, parsed);
    }

    Object sort_columns = kit::list();
    Object id_field = c.self().attr(cx["_ID_FIELD"_n]).method(cx["get"_n], c[to_dataframe_sig["namespace"]]);
    Object columns = frame.attr(cx["columns"_n]);
    if (id_field.truthy() && kit::contains(columns, id_field)) kit::append(sort_columns, id_field);
    if (kit::contains(columns, cx.obj("date"_n))) {
        kit::append(sort_columns, cx.obj("date"_n));
    } else if (kit::contains(columns, cx.obj("Date"_n))) {
        kit::append(sort_columns, cx.obj("Date"_n));
    }
    if (PyList_GET_SIZE(sort_columns.get()) != 0 && !(typed && in_sort_order(cx, typed, frame, sort_columns))) {
        frame = frame.method(cx["sort_values"_n], sort_columns).method(cx["reset_index"_n], kw(cx["drop"_n], true));
    }
    return frame;
}

// ---------------------------------------------------------------------------
// _resample_frame.  Every early return hands back `frame` itself.
constexpr Sig resample_frame_sig{"_resample_frame",
                             {arg("self"), arg("frame").ann("pd.DataFrame"), arg("namespace").ann("Namespace"),
                              arg("interval").str().ann("str")},
                             "pd.DataFrame"};

// The identifiers of the kept rows as codes: `codes[i]` is the position of
// row i's cleaned identifier in `uniques`, the distinct identifiers sorted.
struct Identifiers {
    Object codes, uniques;
};

// working[field] = the cleaned identifier of every kept row.
void assign_identifiers(kit::Ctx cx, const Object& working, const Object& field, const Identifiers& ids) {
    working.set_item(field, ids.uniques.method(cx["take"_n], ids.codes));
}

// The identifier cleaning (every value through _strict_str, blank ones
// dropped) done once per distinct value: the module's own _strict_str
// depends on the value alone, so it runs on the distinct values pandas finds
// and the texts go back to the rows by code.  That holds where values pandas
// tells apart give different texts and the values pandas calls missing are
// None and float NaN: integer columns, and text columns (the str dtype, or
// objects) holding only exact str, exact int, None and float NaN.  Anything
// else is left untouched (false).
bool clean_identifiers(kit::Ctx cx, Object& working, const Object& field, Identifiers& ids) {
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
    auto [raw_codes, raw_uniques] = kit::unpack<2>(st.pandas.method(cx["factorize"_n], values));
    Object raw = raw_uniques.method(cx["tolist"_n]);
    const Py_ssize_t m = PyList_GET_SIZE(raw.get());
    Object texts = kit::list();
    Object distinct = Object::steal(PySet_New(nullptr));
    for (const Object& v : kit::iter(raw)) {
        Object t = strict_text(cx, v);
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

    // Keep the rows whose text is not "".  The texts themselves go into
    // `working` only if the loop runs (assign_identifiers): the one pass
    // works from the codes.
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
Object one_anchor_offset(kit::Ctx cx, const Object& rule) {
    const State& st = cx.state<State>();
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
Object carried_values(kit::Ctx cx, const Object& column, const Object& first_rows) {
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
Object one_pass(kit::Ctx cx, const Object& working, const Object& date_column, const Object& field,
                const Object& numeric_cols, const Object& offset, Identifiers ids) {
    const State& st = cx.state<State>();
    const Object& np = st.np;
    const Object& pd = st.pandas;
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
        if (dtype.eq(st.float64)) kit::append(float_cols, column);
        else if (dtype.eq(st.int64)) kit::append(int_cols, column);
        else return {};
    }
    const bool by_identifier = field.truthy();

    // Bucket of every row: the first anchor on or after its day, as a
    // position in the grid of all anchors from the first to the last one.
    Object day = dates.attr(cx["dt"_n]).method(cx["normalize"_n]);
    Object unit = np.method(cx["datetime_data"_n], date_dtype).item(0);
    Object grid;
    try {
        grid = pd.method(cx["date_range"_n], offset.method(cx["rollforward"_n], day.method(cx["min"_n])),
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
        auto [c, u] = kit::unpack<2>(
            pd.method(cx["factorize"_n], working.item(field), kw(cx["sort"_n], true)));
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
    Object id_first_seg = np.method(
        cx["flatnonzero"_n], run_starts(n_seg, seg_code.item(head).compare(seg_code.item(tail), Py_NE)));
    Object first_bucket = seg_bucket.item(id_first_seg);
    Object last_seg = kit::sub(np.method(cx["append"_n], id_first_seg.item(head), n_seg), kit::integer(1));
    Object last_bucket = seg_bucket.item(last_seg);
    Object counts = kit::add(kit::sub(last_bucket, first_bucket), kit::integer(1));
    Object id_start = kit::sub(np.method(cx["cumsum"_n], counts), counts);
    Object total = counts.method(cx["sum"_n]);
    Object seg_row = kit::sub(kit::add(id_start.item(seg_code), seg_bucket), first_bucket.item(seg_code));
    Object out_code = np.method(cx["repeat"_n], np.method(cx["arange"_n], n_ids), counts);
    Object out_bucket = kit::sub(np.method(cx["arange"_n], total),
                                 np.method(cx["repeat"_n], kit::sub(id_start, first_bucket), counts));
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
            Object compensated = pd.attr(cx["DataFrame"_n])(block.item(rows))
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
    return pd.attr(cx["DataFrame"_n])(out);
}

Object resample_frame(Call& c) {
    kit::Ctx cx = c.cx();
    Object self = c.self(), frame = c[resample_frame_sig["frame"]], ns = c[resample_frame_sig["namespace"]], interval = c[resample_frame_sig["interval"]];
    if (frame_empty(cx, frame)) return frame;

    Object date_column;
    for (const Object& candidate : {cx.obj("date"_n), cx.obj("Date"_n)}) {
        if (kit::contains(frame.attr(cx["columns"_n]), candidate)) {
            date_column = candidate;
            break;
        }
    }
    if (!date_column || !date_column.truthy()) return frame;

    Object pd = cx.global("pd"_n);
    Object working = frame.method(cx["dropna"_n], kw(cx["subset"_n], kit::list_of(date_column)));
    if (frame_empty(cx, working)) return frame;
    working = working.method(cx["copy"_n]);
    working.set_item(date_column, pd.attr(cx["to_datetime"_n])(working.item(date_column), kw(cx["errors"_n], "coerce")));
    working = working.method(cx["dropna"_n], kw(cx["subset"_n], kit::list_of(date_column)));
    if (frame_empty(cx, working)) return frame;

    Object id_field = self.attr(cx["_ID_FIELD"_n]).method(cx["get"_n], ns);
    Object candidate_fields = kit::list();
    for (const Object& field : {id_field, cx.obj("symbol"_n), cx.obj("icb"_n), cx.obj("code"_n), cx.obj("ticker"_n)}) {
        if (field.truthy()) kit::append(candidate_fields, field);
    }
    Object preferred_field = kit::None();
    {
        Object working_columns = working.attr(cx["columns"_n]);
        for (const Object& field : kit::iter(candidate_fields)) {
            if (preferred_field.is_none() && kit::contains(working_columns, field)) preferred_field = field;
        }
    }
    // The one pass stands on pandas and (with identifiers) _strict_str being
    // the module's own.
    const bool own = own_pandas(cx) && (preferred_field.is_none() || own_strict_str(cx));
    Identifiers ids;
    if (!preferred_field.is_none() && !(own && clean_identifiers(cx, working, preferred_field, ids))) {
        // Missing, NaN and blank identifiers all become "" and go.
        working.set_item(preferred_field, working.item(preferred_field).method(cx["apply"_n], cx.global("_strict_str"_n)));
        Object keep = Object::steal(PyObject_RichCompare(working.item(preferred_field).get(), cx.obj(""_n).get(), Py_NE));
        working = working.item(keep);
    }

    Object numeric_cols = kit::list();
    for (const Object& column : kit::iter(working.method(cx["select_dtypes"_n], kw(cx["include"_n], "number")).attr(cx["columns"_n]).method(cx["tolist"_n]))) {
        if (column.ne(preferred_field)) kit::append(numeric_cols, column);
    }
    if (PyList_GET_SIZE(numeric_cols.get()) == 0) return frame;
    // Every identifier blank: no group to resample.
    if (frame_empty(cx, working)) return frame;

    const bool by_identifier = preferred_field.truthy();
    Object rule = pandas_rule(interval);
    if (own) {
        if (Object offset = one_anchor_offset(cx, rule)) {
            if (Object out = one_pass(cx, working, date_column, preferred_field, numeric_cols, offset, ids)) return out;
        }
    }
    if (ids.codes) assign_identifiers(cx, working, preferred_field, ids);

    Object group_iter = by_identifier ? working.method(cx["groupby"_n], preferred_field, kw(cx["group_keys"_n], false))
                                      : kit::list_of(kit::tuple(kit::None(), working));
    Object aggregated_frames = kit::list();
    for (const Object& pair : kit::iter(group_iter)) {
        auto [group_key, group_df] = kit::unpack<2>(pair);
        Object resampled = group_df.method(cx["set_index"_n], date_column)
                               .item(numeric_cols)
                               .method(cx["resample"_n], rule)
                               .method(cx["sum"_n], kw(cx["min_count"_n], 1));
        if (frame_empty(cx, resampled)) continue;
        resampled.attr(cx["index"_n]).set_attr(cx["name"_n], date_column);
        resampled = resampled.method(cx["reset_index"_n]);
        if (by_identifier && !group_key.is_none()) {
            resampled.set_item(preferred_field, cx.global("_strict_str"_n)(group_key));
        }
        // Descriptive columns come from the identifier's first daily row.
        Object preserved_cols = kit::list();
        for (const Object& column : kit::iter(group_df.attr(cx["columns"_n]))) {
            if (!kit::contains(numeric_cols, column) && column.ne(date_column) && column.ne(preferred_field))
                kit::append(preserved_cols, column);
        }
        for (const Object& column : kit::iter(preserved_cols))
            resampled.set_item(column, group_df.item(column).attr(cx["iloc"_n]).item(kit::integer(0)));
        kit::append(aggregated_frames, resampled);
    }
    if (PyList_GET_SIZE(aggregated_frames.get()) == 0) return frame;

    Object combined = pd.attr(cx["concat"_n])(aggregated_frames, kw(cx["ignore_index"_n], true));
    Object sort_columns = kit::list();
    Object columns = combined.attr(cx["columns"_n]);
    if (by_identifier && kit::contains(columns, preferred_field)) kit::append(sort_columns, preferred_field);
    if (kit::contains(columns, date_column)) kit::append(sort_columns, date_column);
    if (PyList_GET_SIZE(sort_columns.get()) != 0) {
        combined = combined.method(cx["sort_values"_n], sort_columns).method(cx["reset_index"_n], kw(cx["drop"_n], true));
    }
    return combined;
}

// ---------------------------------------------------------------------------
// fetch_df
constexpr Sig fetch_df_sig{"fetch_df",
                       {arg("self"), arg("namespace").ann("Namespace"), arg("op").ann("Operation"),
                        arg("params").dict().ann("dict[str, Any]")},
                       "pd.DataFrame"};

Object fetch_df(Call& c) {
    kit::Ctx cx = c.cx();
    Object self = c.self();
    Object ns = c[fetch_df_sig["namespace"]].method(cx["lower"_n]);
    Object namespace_ops = self.attr(cx["_NAMESPACE_OPS"_n]);
    if (!kit::contains(namespace_ops, ns)) {
        kit::raise(PyExc_ValueError, kit::add(kit::str("Unsupported investor namespace: "), ns.repr()));
    }
    // Lower-cased only now: an unknown namespace is reported first.
    Object op = c[fetch_df_sig["op"]].method(cx["lower"_n]);
    Object allowed_ops = namespace_ops.item(ns);
    if (!kit::contains(allowed_ops, op)) {
        Object allowed = Object::steal(PySequence_List(allowed_ops.get()));
        kit::check_rc(PyList_Sort(allowed.get()));
        kit::raise(PyExc_ValueError, kit::cat({"Operation ", op.repr(), " is not available for namespace ", ns.repr(),
                                               ". Allowed operations: ", allowed.str(), "."}));
    }
    Object endpoint = kit::add(kit::add(kit::add(kit::str("/market-data/investor/"), ns), kit::str("/")), op);
    Object payload = self.method(cx["_prepare_payload"_n], c[fetch_df_sig["params"]]);
    Object ids = payload.method(cx["get"_n], "ids");

    // Rows that only this module's own methods ever see are read once, by
    // _to_dataframe, and kept by no one: they need not be copies of the
    // decoded entries.  That holds while `self` has this module's own
    // _request (the entries are then the session's fresh answer),
    // _normalise_records, _ensure_mapping and _to_dataframe, and the module
    // builds tables with its own pandas, checked before each answer is taken
    // apart and again before the table is built.
    auto rows_stay_inside = [&] {
        const State& st = cx.state<State>();
        return own_pandas(cx) && bound_own(self, cx["_request"_n], st.request) &&
               bound_own(self, cx["_normalise_records"_n], st.normalise_records) &&
               bound_own(self, cx["_to_dataframe"_n], st.to_dataframe) && own_row_copy(cx, self);
    };
    bool shared = false;  // some rows are the decoded entries themselves
    auto rows_of = [&](const Object& raw) {
        if (!rows_stay_inside()) return self.method(cx["_normalise_records"_n], raw, ns);
        shared = true;
        return normalise(cx, self, raw, ns, false);
    };

    Object records;
    if (PyList_Check(ids.get()) && ids.len() > 1) {
        // One request per identifier, with the progress bar driven around them.
        records = kit::list();
        cx.global("start_progress"_n)(ids.len(), kit::add(kit::add(ns, kit::str(":")), op));
        kit::try_finally(
            [&] {
                long long index = 0;
                for (const Object& item_id : kit::iter(ids)) {
                    ++index;
                    Object single_payload = Object::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), payload.get()));
                    single_payload.set_item(cx.obj("ids"_n), kit::list_of(item_id));
                    Object raw = self.method(cx["_request"_n], endpoint, single_payload);
                    records.method(cx["extend"_n], rows_of(raw));
                    cx.global("update_progress"_n)(index);
                }
            },
            [&] { cx.global("finish_progress"_n)(); });
    } else {
        Object raw = self.method(cx["_request"_n], endpoint, payload);
        records = rows_of(raw);
    }
    if (shared && !rows_stay_inside()) {
        // Something was rebound meanwhile: the rows become the copies the
        // methods would have made.
        Object copies = kit::list();
        for (const Object& row : kit::iter(records))
            kit::append(copies, PyDict_CheckExact(row.get()) ? Object::steal(PyDict_Copy(row.get())) : row);
        records = copies;
    }

    Object frame = self.method(cx["_to_dataframe"_n], records, ns);
    Object interval = payload.method(cx["get"_n], "interval", "1D");
    if (PyUnicode_Check(interval.get()) && interval.method(cx["upper"_n]).ne(cx.obj("1D"_n))) {
        frame = self.method(cx["_resample_frame"_n], frame, ns, interval.method(cx["upper"_n]));
    }
    return frame;
}

// ---------------------------------------------------------------------------
// A set of operation names, in the order given.
Object ops(std::initializer_list<const char*> names) {
    Object s = Object::steal(PySet_New(nullptr));
    for (const char* n : names) kit::check_rc(PySet_Add(s.get(), kit::str(n).get()));
    return s;
}

void body(kit::Module& m) {
    m.from_import("datetime", {"date", "datetime"});
    m.from_import("typing", {"Any", "Iterable", "Mapping"});
    m.set("pd", kit::import("pandas"));
    m.from_import("varnix.exceptions", {"DataDecodingError", "HttpError"});
    m.from_import("wire_link", {"HttpSession"}, 2);
    m.from_import("progress", {"finish_progress", "start_progress", "update_progress"}, 2);
    Object str_type = kit::type(&PyUnicode_Type);
    m.set("Namespace", str_type);
    m.set("Operation", str_type);

    State& st = m.state<State>();
    st.mapping = m.get("Mapping");
    st.strict_str = m.def(strict_str_sig, strict_str);
    st.pandas = m.get("pd");
    st.np = kit::import("numpy");
    st.to_offset = kit::import_name("pandas.tseries.frequencies", "to_offset");
    Object offsets = kit::import("pandas.tseries.offsets");
    st.week_type = offsets.attr(kit::str("Week"));
    st.one_anchor_types = kit::tuple(st.week_type, offsets.attr(kit::str("MonthEnd")),
                                     offsets.attr(kit::str("QuarterEnd")), offsets.attr(kit::str("YearEnd")));
    st.out_of_bounds = kit::import_name("pandas.errors", "OutOfBoundsDatetime");
    st.string_dtype = st.pandas.attr(kit::str("StringDtype"));
    st.infer_dtype = kit::import_name("pandas.api.types", "infer_dtype");
    Object np_dtype = st.np.attr(kit::str("dtype"));
    st.float64 = np_dtype("float64");
    st.int64 = np_dtype("int64");
    st.object_dtype = np_dtype("O");
    st.bool_dtype = np_dtype("bool");
    {
        // Ask pandas once what plain dates become: 2000-01-01 is day 10957.
        Object probe = st.pandas.attr(kit::str("Series"))(kit::list_of(kit::str("2000-01-01"), kit::str("2000-01-02")));
        Object parsed = st.pandas.attr(kit::str("to_datetime"))(probe, kw(m.cx["errors"_n], "coerce"));
        Object ticks = parsed.method(m.cx["to_numpy"_n]).method(m.cx["view"_n], "i8");
        const long long first = PyLong_AsLongLong(ticks.item(kit::integer(0)).get());
        const long long second = PyLong_AsLongLong(ticks.item(kit::integer(1)).get());
        if (PyErr_Occurred()) kit::fail();
        if (second > first && first == 10957 * (second - first)) {
            st.date_dtype = parsed.attr(m.cx["dtype"_n]);
            st.ticks_per_day = second - first;
        }
    }

    Object namespace_ops = kit::dict();
    namespace_ops.set_item(kit::str("stock"), ops({"flow", "breakdown", "foreign_room"}));
    namespace_ops.set_item(kit::str("market"), ops({"flow", "breakdown"}));
    namespace_ops.set_item(kit::str("sector"), ops({"flow", "breakdown", "foreign_room"}));
    Object id_field = kit::dict();
    id_field.set_item(kit::str("stock"), kit::str("symbol"));
    id_field.set_item(kit::str("market"), kit::str("symbol"));
    id_field.set_item(kit::str("sector"), kit::str("icb"));

    kit::ClassDef cls(m, "InvestorFlowEngine", kEngineDoc);
    cls.annotate("_NAMESPACE_OPS", kit::str("Mapping[Namespace, set[Operation]]"));
    cls.annotate("_ID_FIELD", kit::str("Mapping[Namespace, str]"));
    cls.attr("_NAMESPACE_OPS", namespace_ops);
    cls.attr("_ID_FIELD", id_field);
    cls.method(init_sig, init);
    cls.method(fetch_df_sig, fetch_df);
    cls.method(prepare_payload_sig, prepare_payload);
    st.request = cls.method(request_sig, request);
    cls.method(to_query_params_sig, to_query_params);
    st.normalise_records = cls.method(normalise_records_sig, normalise_records);
    st.ensure_mapping = cls.method(ensure_mapping_sig, ensure_mapping);
    st.to_dataframe = cls.method(to_dataframe_sig, to_dataframe);
    cls.method(resample_frame_sig, resample_frame);
    m.set("InvestorFlowEngine", cls.build());

    m.set_all({"InvestorFlowEngine", "Namespace", "Operation"});
}

}  // namespace

KIT_MODULE(flow_engine, State, body,
           "InvestorFlowEngine: builds and sends investor-flow requests, normalises the answers into tables\n"
           "and resamples them to weekly or monthly buckets.")
