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

#include <cmath>

namespace {

using kit::Call;
using kit::Object;
using kit::Sig;
using kit::arg;
using kit::kw;

constexpr const char* kEngineDoc =
    "\n"
    "    Pure-Python investor bridge.  It forwards validated requests coming from the\n"
    "    public client to the corresponding private API endpoints and materialises\n"
    "    the JSON payloads as ``pandas.DataFrame`` objects.\n"
    "    ";

constexpr const char* kUnexpectedPayload = "Unexpected payload format for investor endpoint.";
constexpr const char* kEntryNotObject = "Investor payload entries must be JSON objects.";

// ---------------------------------------------------------------------------
// Small helpers that keep the methods reading like their algorithms.

// Interned str for a literal (owned handle).
template <std::size_t N>
Object lit(const char (&s)[N]) {
    return Object::borrow(kit::name(s));
}

PyObject* type_obj(PyTypeObject* t) { return reinterpret_cast<PyObject*>(t); }

// a + b, with Python's own errors when the operands do not add up.
Object add(const Object& a, const Object& b) { return Object::steal(PyNumber_Add(a.get(), b.get())); }

// x in container
bool contains(const Object& container, const Object& x) {
    return kit::check_rc(PySequence_Contains(container.get(), x.get())) != 0;
}

// a != b, evaluated as Python evaluates it (no identity shortcut).
bool ne(const Object& a, const Object& b) {
    return Object::steal(PyObject_RichCompare(a.get(), b.get(), Py_NE)).truthy();
}

void append(const Object& list, const Object& v) { kit::check_rc(PyList_Append(list.get(), v.get())); }

template <class... A>
Object list_of(A&&... a) {
    Object out = kit::list();
    (append(out, Object(std::forward<A>(a))), ...);
    return out;
}

// for item in iterable: f(item)   (f returns nothing; `return` is `continue`)
template <class F>
void for_each(const Object& iterable, F&& f) {
    Object it = Object::steal(PyObject_GetIter(iterable.get()));
    for (;;) {
        Object item = Object::steal_or_null(PyIter_Next(it.get()));
        if (!item) {
            if (PyErr_Occurred()) kit::fail();
            return;
        }
        f(item);
    }
}

// a, b = pair
void unpack2(const Object& pair, Object& a, Object& b) {
    if (PyTuple_CheckExact(pair.get()) && PyTuple_GET_SIZE(pair.get()) == 2) {
        a = Object::borrow(PyTuple_GET_ITEM(pair.get(), 0));
        b = Object::borrow(PyTuple_GET_ITEM(pair.get(), 1));
        return;
    }
    Object it = Object::steal(PyObject_GetIter(pair.get()));
    Object got[2];
    for (int i = 0; i < 2; ++i) {
        got[i] = Object::steal_or_null(PyIter_Next(it.get()));
        if (!got[i]) {
            if (PyErr_Occurred()) kit::fail();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            kit::fail();
        }
    }
    Object extra = Object::steal_or_null(PyIter_Next(it.get()));
    if (extra) kit::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (PyErr_Occurred()) kit::fail();
    a = std::move(got[0]);
    b = std::move(got[1]);
}

// d.get(key) for an exact dict; null when the key is absent.
Object dict_get(const Object& d, const Object& key) {
    PyObject* out = nullptr;
    kit::check_rc(PyDict_GetItemRef(d.get(), key.get(), &out));
    return Object::steal_or_null(out);
}

// Snapshot of a dict's items, so that code run while walking them cannot
// disturb the walk.
Object dict_items(const Object& d) { return Object::steal(PyDict_Items(d.get())); }

// str(value).strip()
Object stripped_text(const Object& v) { return v.str().method("strip"); }

bool frame_empty(const Object& frame) { return frame.attr("empty").truthy(); }

// isinstance(obj, Mapping) with the module's Mapping.  The functions that
// test every row carry the typing.Mapping bound at import as their closure:
// while the module name still refers to it, an exact dict is known to be a
// Mapping and the alias' slow pure-Python check is skipped.
bool is_mapping(const Call& c, const Object& obj) {
    Object mapping = kit::global("Mapping");
    if (PyDict_CheckExact(obj.get()) && mapping.is(c.fn->closure)) return true;
    return obj.isinstance(mapping);
}

[[noreturn]] void raise_decoding_error(const char* message) {
    kit::raise(kit::global("DataDecodingError")(message));
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

// Depth of the envelope unwrapping on this thread: a payload nested without
// end must end in RecursionError, as the same recursion in Python would, and
// never run the C stack out.
thread_local int envelope_depth = 0;

struct EnvelopeDepth {
    EnvelopeDepth() {
        if (envelope_depth >= Py_GetRecursionLimit()) {
            kit::raise(PyExc_RecursionError, "maximum recursion depth exceeded while unwrapping an investor payload");
        }
        ++envelope_depth;
    }
    ~EnvelopeDepth() { --envelope_depth; }
    EnvelopeDepth(const EnvelopeDepth&) = delete;
    EnvelopeDepth& operator=(const EnvelopeDepth&) = delete;
};

// ---------------------------------------------------------------------------
// _strict_str
const Sig strict_str_sig{"_strict_str", {arg("value").ann("Any")}, "str"};

Object strict_str(Call& c) {
    PyObject* value = c.raw(0);
    if (value == Py_None) return kit::str("");
    // Float NaN (numpy's float64 included) is "no value", never the text nan.
    if (PyFloat_Check(value) && std::isnan(PyFloat_AS_DOUBLE(value))) return kit::str("");
    return stripped_text(c.arg(0));
}

// ---------------------------------------------------------------------------
// __init__
const Sig init_sig{"__init__", {arg("self"), arg("session").ann("HttpSession")}, "None"};

Object init(Call& c) {
    c.self().set_attr("session", c.arg(1));
    return {};
}

// ---------------------------------------------------------------------------
// _prepare_payload
const Sig prepare_payload_sig{
    "_prepare_payload", {arg("self"), arg("params").dict().ann("dict[str, Any]")}, "dict[str, Any]"};

Object prepare_payload(Call& c) {
    Object params = c.arg(1);
    Object payload = kit::dict();
    for_each(dict_items(params), [&](const Object& item) {
        PyObject* value = PyTuple_GET_ITEM(item.get(), 1);
        if (value == Py_None) return;
        kit::check_rc(PyDict_SetItem(payload.get(), PyTuple_GET_ITEM(item.get(), 0), value));
    });

    // Values are never None here: those were left out above.
    Object ids = dict_get(payload, lit("ids"));
    if (ids) {
        Object cleaned = kit::list();
        if (PyList_Check(ids.get()) || PyTuple_Check(ids.get())) {
            for_each(ids, [&](const Object& v) {
                if (stripped_text(v).truthy()) append(cleaned, stripped_text(v));
            });
        } else {
            // A lone value (one symbol, a number, a set) is one identifier,
            // even when its text is empty.
            append(cleaned, stripped_text(ids));
        }
        payload.set_item(lit("ids"), cleaned);
    }

    Object group = dict_get(payload, lit("group"));
    if (group) {
        Object group_str = stripped_text(group).method("lower");
        if (group_str.truthy()) payload.set_item(lit("group"), group_str);
    }

    Object interval = dict_get(payload, lit("interval"));
    if (interval) {
        Object interval_str = stripped_text(interval).method("upper");
        if (interval_str.truthy()) payload.set_item(lit("interval"), interval_str);
    }

    for (const Object& key : {lit("start"), lit("end")}) {
        Object value = dict_get(payload, key);
        if (!value) continue;
        // datetime first: a datetime is also a date.
        if (value.isinstance(kit::global("datetime"))) {
            payload.set_item(key, value.method("date").method("isoformat"));
        } else if (value.isinstance(kit::global("date"))) {
            payload.set_item(key, value.method("isoformat"));
        } else {
            payload.set_item(key, stripped_text(value));
        }
    }
    return payload;
}

// ---------------------------------------------------------------------------
// _request
const Sig request_sig{"_request",
                      {arg("self"), arg("endpoint").str().ann("str"), arg("payload").dict().ann("dict[str, Any]")},
                      "Any"};

Object request(Call& c) {
    Object self = c.self(), endpoint = c.arg(1), payload = c.arg(2);
    Object response;
    try {
        response = self.attr("session").method("post", endpoint, kw("json_body", payload));
    } catch (kit::Error&) {
        Object exc = Object::steal(PyErr_GetRaisedException());
        bool fallback = false;
        try {
            Object http_error = kit::global("HttpError");
            // Only "this endpoint does not take POST" earns the one GET.
            fallback = PyErr_GivenExceptionMatches(exc.get(), http_error.get()) &&
                       contains(kit::tuple(404, 405), exc.attr("status_code"));
            if (fallback) {
                Object query = self.method("_to_query_params", payload);
                response = self.attr("session").method("get", endpoint, kw("params", query));
            }
        } catch (kit::Error&) {
            kit::raise_in_handler(exc);
        }
        if (!fallback) kit::raise(std::move(exc));
    }
    return response.method("json");
}

// ---------------------------------------------------------------------------
// _to_query_params
const Sig to_query_params_sig{
    "_to_query_params", {arg("self"), arg("payload").dict().ann("dict[str, Any]")}, "dict[str, Any]"};

Object to_query_params(Call& c) {
    Object query = kit::dict();
    Object ids_key = lit("ids");
    for_each(dict_items(c.arg(1)), [&](const Object& item) {
        Object key = Object::borrow(PyTuple_GET_ITEM(item.get(), 0));
        Object value = Object::borrow(PyTuple_GET_ITEM(item.get(), 1));
        if (key.eq(ids_key) && value.isinstance(kit::global("Iterable")) && !PyUnicode_Check(value.get()) &&
            !PyBytes_Check(value.get())) {
            Object pieces = kit::list();
            for_each(value, [&](const Object& v) {
                if (stripped_text(v).truthy()) append(pieces, stripped_text(v));
            });
            value = Object::steal(PyUnicode_Join(lit(",").get(), pieces.get()));
        }
        query.set_item(key, value);
    });
    return query;
}

// ---------------------------------------------------------------------------
// _normalise_records
const Sig normalise_records_sig{"_normalise_records",
                                {arg("self"), arg("payload").ann("Any"), arg("namespace").ann("Namespace")},
                                "list[dict[str, Any]]"};

Object normalise_records(Call& c) {
    Object self = c.self(), payload = c.arg(1), ns = c.arg(2);
    if (payload.is_none()) return kit::list();

    if (PyList_Check(payload.get())) {
        Object rows = kit::list();
        for_each(payload, [&](const Object& item) { append(rows, self.method("_ensure_mapping", item, ns)); });
        return rows;
    }

    if (is_mapping(c, payload)) {
        // The first envelope key present wins, whatever it holds.
        for (const Object& key : {lit("data"), lit("results"), lit("items"), lit("records")}) {
            if (contains(payload, key)) {
                Object inner = payload.item(key);
                EnvelopeDepth depth;
                return self.method("_normalise_records", inner, ns);
            }
        }
        bool all_lists = true;
        Object it = Object::steal(PyObject_GetIter(payload.method("values").get()));
        while (all_lists) {
            Object v = Object::steal_or_null(PyIter_Next(it.get()));
            if (!v) {
                if (PyErr_Occurred()) kit::fail();
                break;
            }
            all_lists = PyList_Check(v.get());
        }
        if (all_lists) {
            // {identifier: [rows...], ...}: each row learns its identifier.
            Object extracted = kit::list();
            for_each(payload.method("items"), [&](const Object& pair) {
                Object identifier, entries;
                unpack2(pair, identifier, entries);
                for_each(entries, [&](const Object& item) {
                    append(extracted, self.method("_ensure_mapping", item, ns, identifier));
                });
            });
            return extracted;
        }
    }
    raise_decoding_error(kUnexpectedPayload);
}

// ---------------------------------------------------------------------------
// _ensure_mapping
const Sig ensure_mapping_sig{"_ensure_mapping",
                             {arg("self"), arg("entry").ann("Any"), arg("namespace").ann("Namespace"),
                              arg("identifier").str().opt().def_none().ann("str | None")},
                             "dict[str, Any]"};

Object ensure_mapping(Call& c) {
    Object entry = c.arg(1);
    if (!is_mapping(c, entry)) raise_decoding_error(kEntryNotObject);
    // A new row: the decoded answer itself is never written to.
    Object data = Object::steal(PyObject_CallOneArg(type_obj(&PyDict_Type), entry.get()));
    if (c.is_none(3)) return data;
    Object field = c.self().attr("_ID_FIELD").method("get", c.arg(2), "id");
    // A value the row already carries wins, even an empty or null one.
    if (!kit::check_rc(PyDict_Contains(data.get(), field.get()))) data.set_item(field, c.arg(3));
    return data;
}

// ---------------------------------------------------------------------------
// _to_dataframe
const Sig to_dataframe_sig{"_to_dataframe",
                           {arg("self"), arg("rows").list().ann("list[dict[str, Any]]"), arg("namespace").ann("Namespace")},
                           "pd.DataFrame"};

Object to_dataframe(Call& c) {
    Object rows = c.arg(1);
    Object pd = kit::global("pd");
    if (PyList_GET_SIZE(rows.get()) == 0) return pd.attr("DataFrame")();

    Object frame = pd.attr("DataFrame").attr("from_records")(rows);
    // Every present date column is parsed, not only the first; bad cells
    // become NaT and no row is lost.
    for (const Object& column : {lit("date"), lit("Date"), lit("trade_date"), lit("timestamp")}) {
        if (!contains(frame.attr("columns"), column)) continue;
        Object values = frame.item(column);
        Object parsed;
        if (column.eq(lit("timestamp")) &&
            pd.attr("api").attr("types").attr("is_numeric_dtype")(values).truthy()) {
            // Numeric timestamps are Unix times in seconds.
            parsed = pd.attr("to_datetime")(values, kw("unit", "s"), kw("errors", "coerce"));
        } else {
            parsed = pd.attr("to_datetime")(values, kw("errors", "coerce"));
        }
        frame.set_item(column, parsed);
    }

    Object sort_columns = kit::list();
    Object id_field = c.self().attr("_ID_FIELD").method("get", c.arg(2));
    Object columns = frame.attr("columns");
    if (id_field.truthy() && contains(columns, id_field)) append(sort_columns, id_field);
    if (contains(columns, lit("date"))) {
        append(sort_columns, lit("date"));
    } else if (contains(columns, lit("Date"))) {
        append(sort_columns, lit("Date"));
    }
    if (PyList_GET_SIZE(sort_columns.get()) != 0) {
        frame = frame.method("sort_values", sort_columns).method("reset_index", kw("drop", true));
    }
    return frame;
}

// ---------------------------------------------------------------------------
// _resample_frame.  Every early return hands back `frame` itself.
const Sig resample_frame_sig{"_resample_frame",
                             {arg("self"), arg("frame").ann("pd.DataFrame"), arg("namespace").ann("Namespace"),
                              arg("interval").str().ann("str")},
                             "pd.DataFrame"};

Object resample_frame(Call& c) {
    Object self = c.self(), frame = c.arg(1), ns = c.arg(2), interval = c.arg(3);
    if (frame_empty(frame)) return frame;

    Object date_column;
    for (const Object& candidate : {lit("date"), lit("Date")}) {
        if (contains(frame.attr("columns"), candidate)) {
            date_column = candidate;
            break;
        }
    }
    if (!date_column || !date_column.truthy()) return frame;

    Object pd = kit::global("pd");
    Object working = frame.method("dropna", kw("subset", list_of(date_column)));
    if (frame_empty(working)) return frame;
    working = working.method("copy");
    working.set_item(date_column, pd.attr("to_datetime")(working.item(date_column), kw("errors", "coerce")));
    working = working.method("dropna", kw("subset", list_of(date_column)));
    if (frame_empty(working)) return frame;

    Object id_field = self.attr("_ID_FIELD").method("get", ns);
    Object candidate_fields = kit::list();
    for (const Object& field : {id_field, lit("symbol"), lit("icb"), lit("code"), lit("ticker")}) {
        if (field.truthy()) append(candidate_fields, field);
    }
    Object preferred_field = kit::None();
    {
        Object working_columns = working.attr("columns");
        for_each(candidate_fields, [&](const Object& field) {
            if (preferred_field.is_none() && contains(working_columns, field)) preferred_field = field;
        });
    }
    if (!preferred_field.is_none()) {
        // Missing, NaN and blank identifiers all become "" and go.
        working.set_item(preferred_field, working.item(preferred_field).method("apply", kit::global("_strict_str")));
        Object keep = Object::steal(PyObject_RichCompare(working.item(preferred_field).get(), lit("").get(), Py_NE));
        working = working.item(keep);
    }

    Object numeric_cols = kit::list();
    for_each(working.method("select_dtypes", kw("include", "number")).attr("columns").method("tolist"),
             [&](const Object& column) {
                 if (ne(column, preferred_field)) append(numeric_cols, column);
             });
    if (PyList_GET_SIZE(numeric_cols.get()) == 0) return frame;

    const bool by_identifier = preferred_field.truthy();
    Object group_iter = by_identifier ? working.method("groupby", preferred_field, kw("group_keys", false))
                                      : list_of(kit::tuple(kit::None(), working));
    Object rule = pandas_rule(interval);

    Object aggregated_frames = kit::list();
    for_each(group_iter, [&](const Object& pair) {
        Object group_key, group_df;
        unpack2(pair, group_key, group_df);
        Object resampled = group_df.method("set_index", date_column)
                               .item(numeric_cols)
                               .method("resample", rule)
                               .method("sum", kw("min_count", 1));
        if (frame_empty(resampled)) return;
        resampled.attr("index").set_attr("name", date_column);
        resampled = resampled.method("reset_index");
        if (by_identifier && !group_key.is_none()) {
            resampled.set_item(preferred_field, kit::global("_strict_str")(group_key));
        }
        // Descriptive columns come from the identifier's first daily row.
        Object preserved_cols = kit::list();
        for_each(group_df.attr("columns"), [&](const Object& column) {
            if (!contains(numeric_cols, column) && ne(column, date_column) && ne(column, preferred_field))
                append(preserved_cols, column);
        });
        for_each(preserved_cols, [&](const Object& column) {
            resampled.set_item(column, group_df.item(column).attr("iloc").item(kit::integer(0)));
        });
        append(aggregated_frames, resampled);
    });
    if (PyList_GET_SIZE(aggregated_frames.get()) == 0) return frame;

    Object combined = pd.attr("concat")(aggregated_frames, kw("ignore_index", true));
    Object sort_columns = kit::list();
    Object columns = combined.attr("columns");
    if (by_identifier && contains(columns, preferred_field)) append(sort_columns, preferred_field);
    if (contains(columns, date_column)) append(sort_columns, date_column);
    if (PyList_GET_SIZE(sort_columns.get()) != 0) {
        combined = combined.method("sort_values", sort_columns).method("reset_index", kw("drop", true));
    }
    return combined;
}

// ---------------------------------------------------------------------------
// fetch_df
const Sig fetch_df_sig{"fetch_df",
                       {arg("self"), arg("namespace").ann("Namespace"), arg("op").ann("Operation"),
                        arg("params").dict().ann("dict[str, Any]")},
                       "pd.DataFrame"};

Object fetch_df(Call& c) {
    Object self = c.self();
    Object ns = c.arg(1).method("lower");
    Object namespace_ops = self.attr("_NAMESPACE_OPS");
    if (!contains(namespace_ops, ns)) {
        kit::raise(PyExc_ValueError, add(kit::str("Unsupported investor namespace: "), ns.repr()));
    }
    // Lower-cased only now: an unknown namespace is reported first.
    Object op = c.arg(2).method("lower");
    Object allowed_ops = namespace_ops.item(ns);
    if (!contains(allowed_ops, op)) {
        Object allowed = Object::steal(PySequence_List(allowed_ops.get()));
        kit::check_rc(PyList_Sort(allowed.get()));
        kit::raise(PyExc_ValueError, kit::cat({"Operation ", op.repr(), " is not available for namespace ", ns.repr(),
                                               ". Allowed operations: ", allowed.str(), "."}));
    }
    Object endpoint = add(add(add(kit::str("/market-data/investor/"), ns), kit::str("/")), op);
    Object payload = self.method("_prepare_payload", c.arg(3));
    Object ids = payload.method("get", "ids");

    Object records;
    if (PyList_Check(ids.get()) && ids.len() > 1) {
        // One request per identifier, with the progress bar driven around them.
        records = kit::list();
        kit::global("start_progress")(ids.len(), add(add(ns, kit::str(":")), op));
        kit::try_finally(
            [&] {
                long long index = 0;
                for_each(ids, [&](const Object& item_id) {
                    ++index;
                    Object single_payload = Object::steal(PyObject_CallOneArg(type_obj(&PyDict_Type), payload.get()));
                    single_payload.set_item(lit("ids"), list_of(item_id));
                    Object raw = self.method("_request", endpoint, single_payload);
                    records.method("extend", self.method("_normalise_records", raw, ns));
                    kit::global("update_progress")(index);
                });
            },
            [&] { kit::global("finish_progress")(); });
    } else {
        Object raw = self.method("_request", endpoint, payload);
        records = self.method("_normalise_records", raw, ns);
    }

    Object frame = self.method("_to_dataframe", records, ns);
    Object interval = payload.method("get", "interval", "1D");
    if (PyUnicode_Check(interval.get()) && ne(interval.method("upper"), lit("1D"))) {
        frame = self.method("_resample_frame", frame, ns, interval.method("upper"));
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
    Object str_type = Object::borrow(type_obj(&PyUnicode_Type));
    m.set("Namespace", str_type);
    m.set("Operation", str_type);

    m.def({strict_str_sig, strict_str, "_strict_str(value: Any) -> str"});

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
    cls.method(init_sig, init, "InvestorFlowEngine.__init__(self, session: HttpSession) -> None");
    cls.method(fetch_df_sig, fetch_df,
               "InvestorFlowEngine.fetch_df(self, namespace: Namespace, op: Operation, "
               "dict params: dict[str, Any]) -> pd.DataFrame");
    cls.method(prepare_payload_sig, prepare_payload,
               "InvestorFlowEngine._prepare_payload(self, dict params: dict[str, Any]) -> dict[str, Any]");
    cls.method(request_sig, request,
               "InvestorFlowEngine._request(self, str endpoint: str, dict payload: dict[str, Any]) -> Any");
    cls.method(to_query_params_sig, to_query_params,
               "InvestorFlowEngine._to_query_params(self, dict payload: dict[str, Any]) -> dict[str, Any]");
    // These two test every row against Mapping: they keep the one bound above.
    Object mapping = m.get("Mapping");
    cls.attr("_normalise_records",
             kit::make_function({normalise_records_sig, normalise_records,
                                 "InvestorFlowEngine._normalise_records(self, payload: Any, namespace: Namespace) "
                                 "-> list[dict[str, Any]]",
                                 "InvestorFlowEngine._normalise_records", {}, mapping}));
    cls.attr("_ensure_mapping",
             kit::make_function({ensure_mapping_sig, ensure_mapping,
                                 "InvestorFlowEngine._ensure_mapping(self, entry: Any, namespace: Namespace, "
                                 "str identifier: str | None = None) -> dict[str, Any]",
                                 "InvestorFlowEngine._ensure_mapping", {}, mapping}));
    cls.method(to_dataframe_sig, to_dataframe,
               "InvestorFlowEngine._to_dataframe(self, list rows: list[dict[str, Any]], namespace: Namespace) -> pd.DataFrame");
    cls.method(resample_frame_sig, resample_frame,
               "InvestorFlowEngine._resample_frame(self, frame: pd.DataFrame, namespace: Namespace, "
               "str interval: str) -> pd.DataFrame");
    m.set("InvestorFlowEngine", cls.build());
}

}  // namespace

KIT_MODULE(flow_engine, body)
