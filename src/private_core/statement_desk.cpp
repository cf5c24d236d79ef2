// private_core.statement_desk: company types and financial statement values.
#include "kit/kit.hpp"

namespace {

using kit::Call;
using kit::Object;
using kit::Sig;
using kit::arg;
using kit::kw;
using kit::kwonly;

constexpr const char* kCompanyTypeEndpoint = "/reporting/meta/company-types/validate";
constexpr const char* kStatementEndpoint = "/reporting/statements/values";

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
const Sig ensure_json_dict_sig{"_ensure_json_dict",
                               {arg("payload").ann("Any"), kwonly("context").str().ann("str")},
                               "JsonDict"};

Object ensure_json_dict(Call& c) {
    Object payload = c.arg(0);
    // A new dictionary every time: the caller may change it freely.
    if (payload.isinstance(kit::global("Mapping"))) return kit::global("dict")(payload);
    raise_decoding(kit::cat({"Unexpected payload structure for ", c.arg(1), "."}));
}

const Sig decode_response_sig{"_decode_response", {arg("response"), kwonly("context").str().ann("str")}, "JsonDict"};

Object decode_response(Call& c) {
    Object context = c.arg(1);
    Object payload;
    try {
        payload = c.arg(0).method("json");
    } catch (kit::Error&) {
        Object exc = kit::catch_if(PyExc_ValueError);
        raise_decoding(kit::cat({"Unable to decode JSON response for ", context, "."}), exc);
    }
    return kit::global("_ensure_json_dict")(payload, kw("context", context));
}

// ---------------------------------------------------------------------------
const Sig coerce_symbols_sig{"_coerce_symbols", {arg("symbols").ann("Sequence[str]")}, "List[str]"};

// Order and repeats are kept: the service answers per position.
Object coerce_symbols(Call& c) {
    Object out = kit::list();
    Object it = Object::steal(PyObject_GetIter(c.raw(0)));
    while (Object item = Object::steal_or_null(PyIter_Next(it.get()))) {
        Object text = item.str().method("strip");
        if (text.truthy()) kit::check_rc(PyList_Append(out.get(), text.method("upper").get()));
    }
    if (PyErr_Occurred()) kit::fail();
    if (PyList_GET_SIZE(out.get()) == 0) kit::raise(PyExc_ValueError, "symbols must contain at least one non-empty value.");
    return out;
}

// ---------------------------------------------------------------------------
const Sig validate_company_types_sig{"validate_company_types",
                                     {arg("session").ann("HttpSession"), arg("symbols").ann("Sequence[str]")},
                                     "JsonDict"};

Object validate_company_types(Call& c) {
    Object params = kit::dict();
    params.set_item(kit::str("symbol"), kit::global("_coerce_symbols")(c.arg(1)));
    Object response = c.arg(0).method("get", kit::global("_COMPANY_TYPE_ENDPOINT"), kw("params", params));
    return kit::global("_decode_response")(response, kw("context", kit::global("_COMPANY_TYPE_ENDPOINT")));
}

const Sig fetch_statement_values_sig{"fetch_statement_values",
                                     {arg("session").ann("HttpSession"), kwonly("symbols").ann("Sequence[str]"),
                                      kwonly("statement_id").int_().ann("int"),
                                      kwonly("start_year").int_().ann("int"), kwonly("end_year").int_().ann("int"),
                                      kwonly("period").str().ann("str")},
                                     "JsonDict"};

Object fetch_statement_values(Call& c) {
    // The ranges are the caller's to enforce; the values are sent as given.
    Object to_int = kit::global("int");
    Object payload = kit::dict();
    payload.set_item(kit::str("symbol"), kit::global("_coerce_symbols")(c.arg(1)));
    payload.set_item(kit::str("statement_id"), to_int(c.arg(2)));
    payload.set_item(kit::str("start_year"), to_int(c.arg(3)));
    payload.set_item(kit::str("end_year"), to_int(c.arg(4)));
    payload.set_item(kit::str("period"), c.arg(5));
    Object response = c.arg(0).method("post", kit::global("_STATEMENT_ENDPOINT"), kw("json_body", payload));
    return kit::global("_decode_response")(response, kw("context", kit::global("_STATEMENT_ENDPOINT")));
}

// ---------------------------------------------------------------------------
void body(kit::Module& m) {
    m.from_import("typing", {"Any", "Dict", "Iterable", "List", "Mapping", "Sequence"});
    m.from_import("varnix.exceptions", {"DataDecodingError"});
    m.from_import("wire_link", {"HttpSession"}, 1);
    m.set("_COMPANY_TYPE_ENDPOINT", kit::str(kCompanyTypeEndpoint));
    m.set("_STATEMENT_ENDPOINT", kit::str(kStatementEndpoint));
    m.set("JsonDict", m.get("Dict").item(kit::tuple(Object::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type)),
                                                     m.get("Any"))));

    m.def({ensure_json_dict_sig, ensure_json_dict,
           "_ensure_json_dict(payload: Any, *, str context: str) -> JsonDict\n\n"
           "Coerce a decoded JSON payload into a dictionary."});
    m.def({decode_response_sig, decode_response, "_decode_response(response, *, str context: str) -> JsonDict"});
    m.def({coerce_symbols_sig, coerce_symbols, "_coerce_symbols(symbols: Sequence[str]) -> List[str]"});
    m.def({validate_company_types_sig, validate_company_types,
           "validate_company_types(session: HttpSession, symbols: Sequence[str]) -> JsonDict\n\n"
           "Call the company-type validation endpoint.\n\n"
           "Parameters\n"
           "----------\n"
           "session:\n"
           "    Authenticated HTTP session created by :class:`VarnixClient`.\n"
           "symbols:\n"
           "    Collection of ticker symbols to validate.\n\n"
           "Returns\n"
           "-------\n"
           "JsonDict\n"
           "    Backend response as dictionary."});
    m.def({fetch_statement_values_sig, fetch_statement_values,
           "fetch_statement_values(session: HttpSession, *, symbols: Sequence[str], int statement_id: int, "
           "int start_year: int, int end_year: int, str period: str) -> JsonDict\n\n"
           "Fetch statement values for the given symbol set.\n\n"
           "Parameters\n"
           "----------\n"
           "session:\n"
           "    Authenticated HTTP session created by :class:`VarnixClient`.\n"
           "symbols:\n"
           "    Symbol list that already passed company-type validation.\n"
           "statement_id:\n"
           "    Statement identifier (1..4).\n"
           "start_year:\n"
           "    Beginning year (>= 1900).\n"
           "end_year:\n"
           "    Ending year (>= start_year).\n"
           "period:\n"
           "    Reporting cadence, ``\"year\"`` or ``\"quarter\"``.\n\n"
           "Returns\n"
           "-------\n"
           "JsonDict\n"
           "    The decoded backend response."});
}

}  // namespace

KIT_MODULE(statement_desk, body)
