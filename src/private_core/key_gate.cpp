// private_core.key_gate: checks the user's API key against the service.
#include "kit/kit.hpp"

#include <unordered_map>
#include <unordered_set>

namespace {

using namespace kit::literals;
using kit::Call;
using kit::Object;
using kit::arg;
using kit::kw;
using kit::kwonly;

// The user-facing text of a rejection: the service's "detail" or "message",
// or the text body.  Anything that is not text (a list of field errors, a
// number) carries no usable message.
Object rejection_text(kit::Ctx cx, const Object& payload) {
    Object message;
    if (PyDict_Check(payload.get())) {
        message = payload.method(cx["get"_n], "detail");
        if (!message.truthy()) message = payload.method(cx["get"_n], "message");
    } else if (PyUnicode_Check(payload.get())) {
        message = payload.method(cx["strip"_n]);
    }
    if (!message || !PyUnicode_Check(message.get()) || !message.truthy()) return {};
    return message;
}

// Keys shorter than this are not masked: they would blank out ordinary words.
constexpr Py_ssize_t kMinMaskedKey = 6;

// `value` with every occurrence of the API key in its strings (dict keys and
// values, list items, at any depth) replaced by "***"; the same object when
// the key appears nowhere.  A service that echoes the request body in its
// error answer must not put the key into the logs or into an error message.
// The walk keeps its own stack: an answer may nest deeper than the C stack.
Object mask_key(const Object& value, const Object& key) {
    if (!key || !PyUnicode_CheckExact(key.get()) || PyUnicode_GET_LENGTH(key.get()) < kMinMaskedKey) return value;
    const Object stars = kit::str("***");
    auto holds_key = [&](PyObject* s) {
        return PyUnicode_Check(s) && kit::check_rc(PyUnicode_Contains(s, key.get())) != 0;
    };
    auto masked = [&](PyObject* s) -> Object {
        if (!holds_key(s)) return Object::borrow(s);
        return Object::steal(PyUnicode_Replace(s, key.get(), stars.get(), -1));
    };
    auto is_container = [](PyObject* o) { return PyDict_Check(o) || PyList_Check(o); };

    // First pass: is the key anywhere?  (Most answers do not hold it.)
    bool found = false;
    std::vector<Object> todo{value};
    std::unordered_set<PyObject*> seen;
    while (!todo.empty() && !found) {
        Object o = std::move(todo.back());
        todo.pop_back();
        if (holds_key(o.get())) {
            found = true;
        } else if (is_container(o.get())) {
            if (!seen.insert(o.get()).second) continue;
            Object items = PyDict_Check(o.get()) ? kit::dict_items(o) : Object::steal(PySequence_List(o.get()));
            for (Object item : kit::iter(items)) {
                if (PyTuple_Check(item.get())) {
                    todo.push_back(Object::borrow(PyTuple_GET_ITEM(item.get(), 0)));
                    todo.push_back(Object::borrow(PyTuple_GET_ITEM(item.get(), 1)));
                } else {
                    todo.push_back(item);
                }
            }
        }
    }
    if (!found) return value;

    // Second pass: a copy of the same shape (plain dicts and lists), masked.
    auto fresh = [](PyObject* o) { return PyDict_Check(o) ? kit::dict() : kit::list(); };
    if (!is_container(value.get())) return masked(value.get());
    Object root = fresh(value.get());
    // Each container is copied once: one met again (shared, or a cycle) maps
    // to the same copy.
    std::unordered_map<PyObject*, Object> copies{{value.get(), root}};
    std::vector<std::pair<Object, Object>> work{{value, root}};
    while (!work.empty()) {
        auto [src, dst] = std::move(work.back());
        work.pop_back();
        auto convert = [&](PyObject* child) -> Object {
            if (!is_container(child)) return masked(child);
            auto known = copies.find(child);
            if (known != copies.end()) return known->second;
            Object copy = fresh(child);
            copies.emplace(child, copy);
            work.emplace_back(Object::borrow(child), copy);
            return copy;
        };
        if (PyDict_Check(src.get())) {
            for (Object item : kit::iter(kit::dict_items(src))) {
                Object k = masked(PyTuple_GET_ITEM(item.get(), 0));
                dst.set_item(k, convert(PyTuple_GET_ITEM(item.get(), 1)));
            }
        } else {
            for (Object item : kit::iter(Object::steal(PySequence_List(src.get()))))
                kit::append(dst, convert(item.get()));
        }
    }
    return root;
}

constexpr kit::Sig validate_sig{"validate_api_key",
                                {arg("session").ann("HttpSession"), kwonly("client_version").str().ann("str"),
                                 kwonly("include_messages").def_bool(true).ann("bool"),
                                 kwonly("extra_context").dict().opt().def_none().ann("Optional[dict]")},
                                "ApiKeyValidationResponse"};

Object validate_api_key(Call& c) {
    kit::Ctx cx = c.cx();
    Object session = c[validate_sig["session"]];
    Object client_version = c[validate_sig["client_version"]];
    Object extra_context = c[validate_sig["extra_context"]];

    Object api_key = session.attr(cx["api_key"_n]);
    Object payload = kit::dict();
    payload.set_item(kit::str("apiKey"), api_key);
    payload.set_item(kit::str("clientVersion"), client_version);
    payload.set_item(kit::str("includeMessages"), c[validate_sig["include_messages"]]);
    if (extra_context.truthy()) payload.set_item(kit::str("context"), extra_context);

    Object ApiKeyValidationError = cx.global("ApiKeyValidationError"_n);
    Object HttpError = cx.global("HttpError"_n);
    Object response;
    try {
        response = session.method(cx["post"_n], cx.global("VALIDATION_ENDPOINT"_n), kw(cx["json_body"_n], payload));
    } catch (kit::Error&) {
        if (PyErr_ExceptionMatches(HttpError.get())) {
            Object exc = kit::catch_if(HttpError);
            kit::Handling handling(exc);
            Object status = exc.attr(cx["status_code"_n]);
            Object raw_payload = exc.attr(cx["payload"_n]);
            Object shown = mask_key(raw_payload, api_key);
            // The chained error carries the answer too: it gets the masked copy.
            if (!shown.is(raw_payload)) exc.set_attr(cx["payload"_n], shown);
            cx.global("logger"_n).method(cx["error"_n], "Backend rejected API key validation (status=%s, payload=%s)",
                                         status, shown);
            // No status means the service never answered: it rejected nothing.
            if (status.is_none()) kit::raise_from(ApiKeyValidationError, "Unable to validate API key", exc);
            Object message = rejection_text(cx, shown);
            if (!message)
                message = kit::cat({"Backend rejected API key validation (HTTP ", status.str(), ")"});
            kit::raise_from(ApiKeyValidationError, message, exc);
        }
        Object exc = kit::catch_if(PyExc_Exception);
        kit::Handling handling(exc);
        cx.global("logger"_n).method(cx["exception"_n], "Failed to validate API key with Varnix backend");
        kit::raise_from(ApiKeyValidationError, "Unable to validate API key", exc);
    }

    Object json_payload;
    try {
        json_payload = response.method(cx["json"_n]);
    } catch (kit::Error&) {
        Object exc = kit::catch_if(PyExc_ValueError);
        kit::Handling handling(exc);
        kit::raise_from(ApiKeyValidationError, "Backend returned invalid JSON payload", exc);
    }

    Object ValidationError = cx.global("ValidationError"_n);
    Object result;
    try {
        result = cx.global("ApiKeyValidationResponse"_n).method(cx["model_validate"_n], json_payload);
    } catch (kit::Error&) {
        Object exc = kit::catch_if(ValidationError);
        kit::Handling handling(exc);
        kit::raise_from(ApiKeyValidationError, "Backend response did not match expected schema", exc);
    }
    cx.global("logger"_n).method(cx["debug"_n], "API key validated successfully for version %s", client_version);
    return result;
}

void body(kit::Module& m) {
    kit::Ctx cx = m.cx;
    m.from_import("typing", {"Optional"});
    m.from_import("pydantic", {"ValidationError"});
    m.from_import("varnix.exceptions", {"ApiKeyValidationError", "HttpError"});
    m.from_import("varnix.types", {"ApiKeyValidationResponse"});
    m.from_import("wire_link", {"HttpSession"}, 1);
    m.set("logger", kit::import("logging").attr(cx["getLogger"_n])(m.name()));
    m.set("VALIDATION_ENDPOINT", kit::str("/auth/validate"));

    m.def(validate_sig, validate_api_key, "Validate the provided API key with the backend.");

    m.set_all({"validate_api_key", "VALIDATION_ENDPOINT"});
}

}  // namespace

KIT_MODULE(key_gate, kit::ModState, body,
           "validate_api_key: checks the user's API key against the Varnix service and decodes its answer.")
