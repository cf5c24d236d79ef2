// private_core.investor.flow_engine: InvestorFlowEngine, the bridge between
// the public client's validated investor requests and the service's investor
// endpoints.  It builds the payload, posts it (with one GET fallback), turns
// whatever shape of JSON comes back into rows and a table, and re-buckets the
// daily table when a coarser interval is asked for.
//
// Everything the class consults (its two tables, its own methods) is read
// through `self`, and every module name through the module's globals at call
// time, so subclasses and monkeypatching see the same behaviour as they would
// with a class written in Python.  The accelerators (typed tables, the
// one-pass resample) live in flow_engine_fast.hpp; each is called where the
// code it stands in for begins.
#include "flow_engine_fast.hpp"

#include <cmath>

namespace {

using namespace kit::literals;
using kit::arg;
using kit::Call;
using kit::kw;
using kit::Object;
using kit::Sig;

constexpr const char* kEngineDoc =
    "\n"
    "    Pure-Python investor bridge.  It forwards validated requests coming from the\n"
    "    public client to the corresponding private API endpoints and materialises\n"
    "    the JSON payloads as ``pandas.DataFrame`` objects.\n"
    "    ";

constexpr const char* kUnexpectedPayload = "Unexpected payload format for investor endpoint.";
constexpr const char* kEntryNotObject = "Investor payload entries must be JSON objects.";

using investor_fast::State;

// str(value).strip()
Object stripped_text(kit::Ctx cx, const Object& v) { return v.str().method(cx["strip"_n]); }

bool frame_empty(kit::Ctx cx, const Object& frame) { return frame.attr(cx["empty"_n]).truthy(); }

// isinstance(obj, Mapping) with the module's Mapping.
bool is_mapping(kit::Ctx cx, const Object& obj) { return obj.isinstance(cx.global("Mapping"_n)); }

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
constexpr Sig request_sig{
    "_request", {arg("self"), arg("endpoint").str().ann("str"), arg("payload").dict().ann("dict[str, Any]")}, "Any"};

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

// Whether `bound` (self._normalise_records as just read) is this very
// method bound to `self`: calling it then does what this call does next.
bool own_normaliser(kit::Ctx cx, const Object& self, const Object& bound) {
    return PyMethod_Check(bound.get()) && PyMethod_GET_SELF(bound.get()) == self.get() &&
           PyMethod_GET_FUNCTION(bound.get()) == cx.state<State>().normalise_records.get();
}

Object normalise_records(Call& c) {
    kit::Ctx cx = c.cx();
    Object self = c.self(), payload = c[normalise_records_sig["payload"]], ns = c[normalise_records_sig["namespace"]];
    // Envelopes ({"data": ...}) are unwrapped by a call of
    // self._normalise_records per level; while that is this very method the
    // call is made by going round this loop, so an answer nested deeper than
    // the C stack allows costs none.  Past the interpreter's recursion limit
    // it ends in RecursionError, as the calls would.
    for (int depth = 1;; ++depth) {
        if (payload.is_none()) return kit::list();

        if (PyList_Check(payload.get())) {
            if (auto r = investor_fast::fast_rows(cx, self, payload)) return *r;
            Object rows = kit::list();
            for (const Object& item : kit::iter(payload))
                kit::append(rows, self.method(cx["_ensure_mapping"_n], item, ns));
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
            Object bound = self.attr(cx["_normalise_records"_n]);
            if (!own_normaliser(cx, self, bound)) return bound(inner, ns);
            if (depth >= Py_GetRecursionLimit())
                kit::raise(PyExc_RecursionError,
                           "maximum recursion depth exceeded while unwrapping an investor payload");
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
    if (!kit::check_rc(PyDict_Contains(data.get(), field.get())))
        data.set_item(field, c[ensure_mapping_sig["identifier"]]);
    return data;
}

// ---------------------------------------------------------------------------
// _to_dataframe
constexpr Sig to_dataframe_sig{
    "_to_dataframe",
    {arg("self"), arg("rows").list().ann("list[dict[str, Any]]"), arg("namespace").ann("Namespace")},
    "pd.DataFrame"};

Object to_dataframe(Call& c) {
    kit::Ctx cx = c.cx();
    Object self = c.self(), rows = c[to_dataframe_sig["rows"]], ns = c[to_dataframe_sig["namespace"]];
    Object pd = cx.global("pd"_n);
    if (PyList_GET_SIZE(rows.get()) == 0) return pd.attr(cx["DataFrame"_n])();
    if (auto r = investor_fast::fast_table(cx, self, rows, ns)) return *r;

    Object frame = pd.attr(cx["DataFrame"_n]).attr(cx["from_records"_n])(rows);
    // Every present date column is parsed, not only the first; bad cells
    // become NaT and no row is lost.
    for (const Object& column : {cx.obj("date"_n), cx.obj("Date"_n), cx.obj("trade_date"_n), cx.obj("timestamp"_n)}) {
        if (!kit::contains(frame.attr(cx["columns"_n]), column)) continue;
        frame.set_item(column, investor_fast::parsed_dates(cx, pd, column, frame.item(column)));
    }

    Object sort_columns = kit::list();
    Object id_field = self.attr(cx["_ID_FIELD"_n]).method(cx["get"_n], ns);
    Object columns = frame.attr(cx["columns"_n]);
    if (id_field.truthy() && kit::contains(columns, id_field)) kit::append(sort_columns, id_field);
    if (kit::contains(columns, cx.obj("date"_n))) {
        kit::append(sort_columns, cx.obj("date"_n));
    } else if (kit::contains(columns, cx.obj("Date"_n))) {
        kit::append(sort_columns, cx.obj("Date"_n));
    }
    if (PyList_GET_SIZE(sort_columns.get()) != 0) {
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

Object resample_frame(Call& c) {
    kit::Ctx cx = c.cx();
    Object self = c.self(), frame = c[resample_frame_sig["frame"]], ns = c[resample_frame_sig["namespace"]],
           interval = c[resample_frame_sig["interval"]];
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
    working.set_item(date_column,
                     pd.attr(cx["to_datetime"_n])(working.item(date_column), kw(cx["errors"_n], "coerce")));
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
    Object rule = pandas_rule(interval);
    if (auto r = investor_fast::fast_resample(cx, frame, working, date_column, preferred_field, rule)) return *r;

    if (!preferred_field.is_none()) {
        // Missing, NaN and blank identifiers all become "" and go.
        working.set_item(preferred_field,
                         working.item(preferred_field).method(cx["apply"_n], cx.global("_strict_str"_n)));
        Object keep =
            Object::steal(PyObject_RichCompare(working.item(preferred_field).get(), cx.obj(""_n).get(), Py_NE));
        working = working.item(keep);
    }

    Object numeric_cols = kit::list();
    for (const Object& column : kit::iter(working.method(cx["select_dtypes"_n], kw(cx["include"_n], "number"))
                                              .attr(cx["columns"_n])
                                              .method(cx["tolist"_n]))) {
        if (column.ne(preferred_field)) kit::append(numeric_cols, column);
    }
    if (PyList_GET_SIZE(numeric_cols.get()) == 0) return frame;

    const bool by_identifier = preferred_field.truthy();
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
        combined =
            combined.method(cx["sort_values"_n], sort_columns).method(cx["reset_index"_n], kw(cx["drop"_n], true));
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
                    Object single_payload =
                        Object::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), payload.get()));
                    single_payload.set_item(cx.obj("ids"_n), kit::list_of(item_id));
                    Object raw = self.method(cx["_request"_n], endpoint, single_payload);
                    records.method(cx["extend"_n], self.method(cx["_normalise_records"_n], raw, ns));
                    cx.global("update_progress"_n)(index);
                }
            },
            [&] { cx.global("finish_progress"_n)(); });
    } else {
        Object raw = self.method(cx["_request"_n], endpoint, payload);
        records = self.method(cx["_normalise_records"_n], raw, ns);
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

    m.def(strict_str_sig, strict_str);

    Object namespace_ops = kit::dict();
    namespace_ops.set_item(m.cx["stock"_n], ops({"flow", "breakdown", "foreign_room"}));
    namespace_ops.set_item(m.cx["market"_n], ops({"flow", "breakdown"}));
    namespace_ops.set_item(m.cx["sector"_n], ops({"flow", "breakdown", "foreign_room"}));
    Object id_field = kit::dict();
    id_field.set_item(m.cx["stock"_n], kit::str("symbol"));
    id_field.set_item(m.cx["market"_n], kit::str("symbol"));
    id_field.set_item(m.cx["sector"_n], kit::str("icb"));

    kit::ClassDef cls(m, "InvestorFlowEngine", kEngineDoc);
    cls.annotate("_NAMESPACE_OPS", kit::str("Mapping[Namespace, set[Operation]]"));
    cls.annotate("_ID_FIELD", kit::str("Mapping[Namespace, str]"));
    cls.attr("_NAMESPACE_OPS", namespace_ops);
    cls.attr("_ID_FIELD", id_field);
    cls.method(init_sig, init);
    cls.method(fetch_df_sig, fetch_df);
    cls.method(prepare_payload_sig, prepare_payload);
    cls.method(request_sig, request);
    cls.method(to_query_params_sig, to_query_params);
    m.state<State>().normalise_records = cls.method(normalise_records_sig, normalise_records);
    cls.method(ensure_mapping_sig, ensure_mapping);
    cls.method(to_dataframe_sig, to_dataframe);
    cls.method(resample_frame_sig, resample_frame);
    Object engine = cls.build();
    m.set("InvestorFlowEngine", engine);
    investor_fast::bind_fast(m, engine);

    m.set_all({"InvestorFlowEngine", "Namespace", "Operation"});
}

}  // namespace

KIT_MODULE(flow_engine, State, body,
           "InvestorFlowEngine: builds and sends investor-flow requests, normalises the answers into tables\n"
           "and resamples them to weekly or monthly buckets.")
