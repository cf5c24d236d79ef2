// private_core.key_gate: checks the user's API key against the service.
#include "kit/kit.hpp"

#include <unordered_map>
#include <unordered_set>

namespace {

using namespace kit::literals;
using kit::arg;
using kit::Call;
using kit::kw;
using kit::kwonly;
using kit::Object;

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

// `value` with every occurrence of the API key in its strings replaced by
// "***"; the same object when the key appears nowhere.  A service that echoes
// the request body in its error answer (or a decoder of the caller's) must
// not put the key into the logs or into an error message.  The key is masked
// by value, whatever kind of `str` it is.
//
// The key can sit in a string anywhere in dicts (keys and values), lists and
// tuples, at any depth; other objects are kept as they are.  Every container
// on a way to the key is copied as a plain dict, list or tuple; the others
// are kept, shared, as they are.  The walk keeps its own stack (an answer may
// nest deeper than the C stack), reads each container once into a snapshot
// of its own (a container's code may change it meanwhile), and copies a
// container met twice (shared, or a cycle) once.
Object mask_key(const Object& value, const Object& key) {
    if (!key || !PyUnicode_Check(key.get()) || PyUnicode_GET_LENGTH(key.get()) < kMinMaskedKey) return value;
    auto holds_key = [&](PyObject* s) {
        return PyUnicode_Check(s) && kit::check_rc(PyUnicode_Contains(s, key.get())) != 0;
    };
    auto is_container = [](PyObject* o) { return PyDict_Check(o) || PyList_Check(o) || PyTuple_Check(o); };
    if (!is_container(value.get())) {
        if (!holds_key(value.get())) return value;
        return Object::steal(PyUnicode_Replace(value.get(), key.get(), kit::str("***").get(), -1));
    }

    enum Kind { kDict, kList, kTuple };
    struct Node {
        Object original;
        Kind kind;
        Object children;  // a list: the items, or the dict's keys and values in turn
        bool holds = false;
        std::vector<std::size_t> parents;  // one entry per appearance
        Object copy;
        std::size_t tuple_children = 0;  // copies of tuples among the children still to make
    };
    std::vector<Node> nodes;
    std::unordered_map<PyObject*, std::size_t> index;
    std::vector<std::size_t> direct;  // nodes with a string that holds the key

    // Discovery: every container reachable from `value`, its children read once.
    auto visit = [&](PyObject* o) -> std::size_t {
        auto known = index.find(o);
        if (known != index.end()) return known->second;
        Node n;
        n.original = Object::borrow(o);
        if (PyDict_Check(o)) {
            n.kind = kDict;
            n.children = kit::list();
            for (Object item : kit::iter(kit::dict_items(n.original))) {
                kit::append(n.children, Object::borrow(PyTuple_GET_ITEM(item.get(), 0)));
                kit::append(n.children, Object::borrow(PyTuple_GET_ITEM(item.get(), 1)));
            }
        } else {
            n.kind = PyList_Check(o) ? kList : kTuple;
            n.children = Object::steal(PySequence_List(o));
        }
        nodes.push_back(std::move(n));
        index.emplace(o, nodes.size() - 1);
        return nodes.size() - 1;
    };
    visit(value.get());
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        Object children = nodes[i].children;  // `nodes` may grow below
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(children.get()); ++j) {
            PyObject* child = PyList_GET_ITEM(children.get(), j);
            if (is_container(child)) {
                std::size_t c = visit(child);
                nodes[c].parents.push_back(i);
            } else if (!nodes[i].holds && holds_key(child)) {
                nodes[i].holds = true;
                direct.push_back(i);
            }
        }
    }

    // Whatever contains a container that holds the key holds it too.
    std::vector<std::size_t> up = direct;
    while (!up.empty()) {
        std::size_t i = up.back();
        up.pop_back();
        for (std::size_t p : nodes[i].parents) {
            if (!nodes[p].holds) {
                nodes[p].holds = true;
                up.push_back(p);
            }
        }
    }
    if (!nodes[0].holds) return value;

    const Object stars = kit::str("***");
    auto converted = [&](PyObject* child) -> Object {
        if (is_container(child)) {
            const Node& n = nodes[index.at(child)];
            if (n.holds) return n.copy;
        } else if (holds_key(child)) {
            return Object::steal(PyUnicode_Replace(child, key.get(), stars.get(), -1));
        }
        return Object::borrow(child);
    };
    // Dicts and lists are made empty first, so that anything can refer to
    // them; tuples are made whole, each after the tuples it holds (tuples
    // alone never form a cycle); then dicts and lists are filled.
    std::vector<std::size_t> ready;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        Node& n = nodes[i];
        if (!n.holds) continue;
        if (n.kind == kDict) {
            n.copy = kit::dict();
        } else if (n.kind == kList) {
            n.copy = kit::list();
        } else {
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(n.children.get()); ++j) {
                auto c = index.find(PyList_GET_ITEM(n.children.get(), j));
                if (c != index.end() && nodes[c->second].kind == kTuple && nodes[c->second].holds) ++n.tuple_children;
            }
            if (n.tuple_children == 0) ready.push_back(i);
        }
    }
    while (!ready.empty()) {
        std::size_t i = ready.back();
        ready.pop_back();
        Node& n = nodes[i];
        Object items = kit::list();
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(n.children.get()); ++j)
            kit::append(items, converted(PyList_GET_ITEM(n.children.get(), j)));
        n.copy = Object::steal(PyList_AsTuple(items.get()));
        for (std::size_t p : n.parents) {
            if (nodes[p].kind == kTuple && nodes[p].holds && --nodes[p].tuple_children == 0) ready.push_back(p);
        }
    }
    for (Node& n : nodes) {
        if (!n.holds || n.kind == kTuple) continue;
        const Py_ssize_t size = PyList_GET_SIZE(n.children.get());
        if (n.kind == kList) {
            for (Py_ssize_t j = 0; j < size; ++j) kit::append(n.copy, converted(PyList_GET_ITEM(n.children.get(), j)));
            continue;
        }
        for (Py_ssize_t j = 0; j + 1 < size; j += 2) {
            Object k = converted(PyList_GET_ITEM(n.children.get(), j));
            // A key of a tuple subclass that hashes despite a list inside
            // has an unhashable copy: it is shown masked whole.
            if (PyObject_Hash(k.get()) == -1) {
                if (!PyErr_ExceptionMatches(PyExc_TypeError)) kit::fail();
                PyErr_Clear();
                k = stars;
            }
            n.copy.set_item(k, converted(PyList_GET_ITEM(n.children.get(), j + 1)));
        }
    }
    return nodes[0].copy;
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
            cx.global("logger"_n)
                .method(cx["error"_n], "Backend rejected API key validation (status=%s, payload=%s)", status, shown);
            // No status means the service never answered: it rejected nothing.
            if (status.is_none()) kit::raise_from(ApiKeyValidationError, "Unable to validate API key", exc);
            Object message = rejection_text(cx, shown);
            if (!message) message = kit::cat({"Backend rejected API key validation (HTTP ", status.str(), ")"});
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
