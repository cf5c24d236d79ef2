// Docstrings and annotations written from a signature.
#pragma once

#include "signature.hpp"

#include <string>

namespace kit {

namespace detail {
// How a default is written in a signature line.
inline std::string default_text(const Default& d) {
    switch (d.k) {
        case Default::Missing: return {};
        case Default::NoneV: return "None";
        case Default::Bool: return d.i ? "True" : "False";
        case Default::Int: return std::to_string(d.i);
        case Default::Float: {
            char* s = PyOS_double_to_string(d.d, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
            if (!s) fail();
            std::string out(s);
            PyMem_Free(s);
            return out;
        }
        case Default::Str: {
            Object r = str(d.s).repr();
            return std::string(r.utf8());
        }
        case Default::Slot: return d.s ? d.s : "...";
    }
    return {};
}

}  // namespace detail

// "name(str a: str, b: int = 1, *, c: bool = True) -> None": the first line
// of every docstring, written from the signature.  A parameter whose type is
// enforced carries the type in front; `shown` prefixes the name (a method
// is written "Class.name").
inline std::string signature_line(const Sig& s, const char* prefix = "") {
    std::string out = std::string(prefix) + s.name + "(";
    bool star_seen = false;
    for (int i = 0; i < s.size(); ++i) {
        const Param& p = s.params[i];
        if (i) out += ", ";
        if (p.kind == Kind::KwOnly && !star_seen) {
            out += "*, ";
            star_seen = true;
        }
        if (p.type != Type::Any) out += std::string(detail::type_label(p.type)) + " ";
        if (p.kind == Kind::Star) {
            out += "*";
            star_seen = true;
        }
        if (p.kind == Kind::StarStar) out += "**";
        out += p.name;
        if (p.annotation) out += std::string(": ") + p.annotation;
        if (p.dflt.k != Default::Missing) out += " = " + detail::default_text(p.dflt);
    }
    out += ")";
    if (s.ret) out += std::string(" -> ") + s.ret;
    return out;
}

// Annotation texts of a signature: parameter name -> text, "return" -> text.
inline Object annotations_of(const Sig& s) {
    Object d = dict();
    for (int i = 0; i < s.size(); ++i) {
        const Param& p = s.params[i];
        if (p.annotation) check_rc(PyDict_SetItemString(d.get(), p.name, str(p.annotation).get()));
    }
    if (s.ret) check_rc(PyDict_SetItemString(d.get(), "return", str(s.ret).get()));
    return d;
}

}  // namespace kit
