// private_core.key_gate: checks the user's API key against the service.
#include "kit/kit.hpp"

namespace {

using kit::Call;
using kit::Object;
using kit::arg;
using kit::kw;
using kit::kwonly;

const kit::Sig validate_sig{"validate_api_key",
                            {arg("session").ann("HttpSession"), kwonly("client_version").str().ann("str"),
                             kwonly("include_messages").def_bool(true).ann("bool"),
                             kwonly("extra_context").dict().opt().def_none().ann("Optional[dict]")},
                            "ApiKeyValidationResponse"};

// The user-facing text of a rejection: the service's "detail" or "message",
// or the text body.  Anything that is not text (a list of field errors, a
// number) carries no usable message.
Object rejection_text(const Object& payload) {
    Object message;
    if (PyDict_Check(payload.get())) {
        message = payload.method("get", "detail");
        if (!message.truthy()) message = payload.method("get", "message");
    } else if (PyUnicode_Check(payload.get())) {
        message = payload.method("strip");
    }
    if (!message || !PyUnicode_Check(message.get()) || !message.truthy()) return {};
    return message;
}

Object validate_api_key(Call& c) {
    Object session = c.arg(0), client_version = c.arg(1), extra_context = c.arg(3);

    Object payload = kit::dict();
    payload.set_item(kit::str("apiKey"), session.attr("api_key"));
    payload.set_item(kit::str("clientVersion"), client_version);
    payload.set_item(kit::str("includeMessages"), c.arg(2));
    if (extra_context.truthy()) payload.set_item(kit::str("context"), extra_context);

    Object ApiKeyValidationError = kit::global("ApiKeyValidationError");
    Object HttpError = kit::global("HttpError");
    Object response;
    try {
        response = session.method("post", kit::global("VALIDATION_ENDPOINT"), kw("json_body", payload));
    } catch (kit::Error&) {
        if (PyErr_ExceptionMatches(HttpError.get())) {
            Object exc = kit::catch_if(HttpError);
            kit::Handling handling(exc);
            Object status = exc.attr("status_code");
            kit::global("logger").method("error", "Backend rejected API key validation (status=%s, payload=%s)",
                                         status, exc.attr("payload"));
            // No status means the service never answered: it rejected nothing.
            if (status.is_none()) kit::raise_from(ApiKeyValidationError, "Unable to validate API key", exc);
            Object message = rejection_text(exc.attr("payload"));
            if (!message)
                message = kit::cat({"Backend rejected API key validation (HTTP ", status.str(), ")"});
            kit::raise_from(ApiKeyValidationError, message, exc);
        }
        Object exc = kit::catch_if(PyExc_Exception);
        kit::Handling handling(exc);
        kit::global("logger").method("exception", "Failed to validate API key with Varnix backend");
        kit::raise_from(ApiKeyValidationError, "Unable to validate API key", exc);
    }

    Object json_payload;
    try {
        json_payload = response.method("json");
    } catch (kit::Error&) {
        Object exc = kit::catch_if(PyExc_ValueError);
        kit::Handling handling(exc);
        kit::raise_from(ApiKeyValidationError, "Backend returned invalid JSON payload", exc);
    }

    Object ValidationError = kit::global("ValidationError");
    Object result;
    try {
        result = kit::global("ApiKeyValidationResponse").method("model_validate", json_payload);
    } catch (kit::Error&) {
        Object exc = kit::catch_if(ValidationError);
        kit::Handling handling(exc);
        kit::raise_from(ApiKeyValidationError, "Backend response did not match expected schema", exc);
    }
    kit::global("logger").method("debug", "API key validated successfully for version %s", client_version);
    return result;
}

void body(kit::Module& m) {
    m.from_import("typing", {"Optional"});
    m.from_import("pydantic", {"ValidationError"});
    m.from_import("varnix.exceptions", {"ApiKeyValidationError", "HttpError"});
    m.from_import("varnix.types", {"ApiKeyValidationResponse"});
    m.from_import("wire_link", {"HttpSession"}, 1);
    m.set("logger", kit::import("logging").attr("getLogger")(m.name()));
    m.set("VALIDATION_ENDPOINT", kit::str("/auth/validate"));

    m.def({validate_sig, validate_api_key,
           "validate_api_key(session: HttpSession, *, str client_version: str, include_messages: bool = True, "
           "dict extra_context: Optional[dict] = None) -> ApiKeyValidationResponse\n\n"
           "Validate the provided API key with the backend."});
}

}  // namespace

KIT_MODULE(key_gate, body)
