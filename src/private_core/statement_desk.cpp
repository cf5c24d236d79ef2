// private_core.statement_desk: company types and financial statement values.
#include "kit/kit.hpp"

namespace {

using namespace kit::literals;
using kit::arg;
using kit::Call;
using kit::kw;
using kit::kwonly;
using kit::Object;
using kit::Sig;

constexpr const char* kCompanyTypeEndpoint = "/reporting/meta/company-types/validate";
constexpr const char* kStatementEndpoint = "/reporting/statements/values";

// ---------------------------------------------------------------------------
constexpr Sig ensure_json_dict_sig{
    "_ensure_json_dict", {arg("payload").ann("Any"), kwonly("context").str().ann("str")}, "JsonDict"};

Object ensure_json_dict(Call& c) {
    kit::Ctx cx = c.cx();
    Object payload = c[ensure_json_dict_sig["payload"]];
    // A new dictionary every time: the caller may change it freely.
    if (payload.isinstance(cx.global("Mapping"_n))) return cx.global("dict"_n)(payload);
    cx.raise_global("DataDecodingError"_n,
                    kit::cat({"Unexpected payload structure for ", c[ensure_json_dict_sig["context"]], "."}));
}

constexpr Sig decode_response_sig{
    "_decode_response", {arg("response"), kwonly("context").str().ann("str")}, "JsonDict"};

Object decode_response(Call& c) {
    kit::Ctx cx = c.cx();
    Object context = c[decode_response_sig["context"]];
    Object payload;
    try {
        payload = c[decode_response_sig["response"]].method(cx["json"_n]);
    } catch (kit::Error&) {
        Object exc = kit::catch_if(PyExc_ValueError);
        cx.raise_global("DataDecodingError"_n, kit::cat({"Unable to decode JSON response for ", context, "."}), exc);
    }
    return cx.global("_ensure_json_dict"_n)(payload, kw(cx["context"_n], context));
}

// ---------------------------------------------------------------------------
constexpr Sig coerce_symbols_sig{"_coerce_symbols", {arg("symbols").ann("Sequence[str]")}, "List[str]"};

// Order and repeats are kept: the service answers per position.
Object coerce_symbols(Call& c) {
    kit::Ctx cx = c.cx();
    Object out = kit::list();
    for (const Object& item : kit::iter(c[coerce_symbols_sig["symbols"]])) {
        Object text = item.str().method(cx["strip"_n]);
        if (text.truthy()) kit::append(out, text.method(cx["upper"_n]));
    }
    if (PyList_GET_SIZE(out.get()) == 0)
        kit::raise(PyExc_ValueError, "symbols must contain at least one non-empty value.");
    return out;
}

// ---------------------------------------------------------------------------
constexpr Sig validate_company_types_sig{
    "validate_company_types", {arg("session").ann("HttpSession"), arg("symbols").ann("Sequence[str]")}, "JsonDict"};

Object validate_company_types(Call& c) {
    kit::Ctx cx = c.cx();
    Object params = kit::dict();
    params.set_item(kit::str("symbol"), cx.global("_coerce_symbols"_n)(c[validate_company_types_sig["symbols"]]));
    Object response = c[validate_company_types_sig["session"]].method(
        cx["get"_n], cx.global("_COMPANY_TYPE_ENDPOINT"_n), kw(cx["params"_n], params));
    return cx.global("_decode_response"_n)(response, kw(cx["context"_n], cx.global("_COMPANY_TYPE_ENDPOINT"_n)));
}

constexpr Sig fetch_statement_values_sig{
    "fetch_statement_values",
    {arg("session").ann("HttpSession"), kwonly("symbols").ann("Sequence[str]"),
     kwonly("statement_id").int_().ann("int"), kwonly("start_year").int_().ann("int"),
     kwonly("end_year").int_().ann("int"), kwonly("period").str().ann("str")},
    "JsonDict"};

Object fetch_statement_values(Call& c) {
    kit::Ctx cx = c.cx();
    // The ranges are the caller's to enforce; the values are sent as given.
    Object to_int = cx.global("int"_n);
    Object payload = kit::dict();
    payload.set_item(kit::str("symbol"), cx.global("_coerce_symbols"_n)(c[fetch_statement_values_sig["symbols"]]));
    payload.set_item(kit::str("statement_id"), to_int(c[fetch_statement_values_sig["statement_id"]]));
    payload.set_item(kit::str("start_year"), to_int(c[fetch_statement_values_sig["start_year"]]));
    payload.set_item(kit::str("end_year"), to_int(c[fetch_statement_values_sig["end_year"]]));
    payload.set_item(kit::str("period"), c[fetch_statement_values_sig["period"]]);
    Object response = c[fetch_statement_values_sig["session"]].method(cx["post"_n], cx.global("_STATEMENT_ENDPOINT"_n),
                                                                      kw(cx["json_body"_n], payload));
    return cx.global("_decode_response"_n)(response, kw(cx["context"_n], cx.global("_STATEMENT_ENDPOINT"_n)));
}

// ---------------------------------------------------------------------------
void body(kit::Module& m) {
    m.from_import("typing", {"Any", "Dict", "Iterable", "List", "Mapping", "Sequence"});
    m.from_import("varnix.exceptions", {"DataDecodingError"});
    m.from_import("wire_link", {"HttpSession"}, 1);
    m.set("_COMPANY_TYPE_ENDPOINT", kit::str(kCompanyTypeEndpoint));
    m.set("_STATEMENT_ENDPOINT", kit::str(kStatementEndpoint));
    m.set("JsonDict", m.get("Dict").item(kit::tuple(kit::type(&PyUnicode_Type), m.get("Any"))));

    m.def(ensure_json_dict_sig, ensure_json_dict, "Coerce a decoded JSON payload into a dictionary.");
    m.def(decode_response_sig, decode_response);
    m.def(coerce_symbols_sig, coerce_symbols);
    m.def(validate_company_types_sig, validate_company_types,
          "Call the company-type validation endpoint.\n\nParameters\n----------\nsession:\n    Authenticated HTTP "
          "session created by :class:`VarnixClient`.\nsymbols:\n    Collection of ticker symbols to "
          "validate.\n\nReturns\n-------\nJsonDict\n    Backend response as dictionary.");
    m.def(fetch_statement_values_sig, fetch_statement_values,
          "Fetch statement values for the given symbol set.\n\nParameters\n----------\nsession:\n    Authenticated "
          "HTTP session created by :class:`VarnixClient`.\nsymbols:\n    Symbol list that already passed company-type "
          "validation.\nstatement_id:\n    Statement identifier (1..4).\nstart_year:\n    Beginning year (>= "
          "1900).\nend_year:\n    Ending year (>= start_year).\nperiod:\n    Reporting cadence, ``\"year\"`` or "
          "``\"quarter\"``.\n\nReturns\n-------\nJsonDict\n    The decoded backend response.");

    m.set_all({"validate_company_types", "fetch_statement_values", "JsonDict"});
}

}  // namespace

KIT_MODULE(statement_desk, kit::ModState, body,
           "Financial statements: company-type validation and statement values, as plain dictionaries.")
