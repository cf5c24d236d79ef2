// The accelerators of private_core.progress, and the module state that
// guards them.  Include it inside progress.cpp's anonymous namespace, after
// its `using` declarations.
//
// Each fast path below is headed by the code it must equal; it runs only
// while its registered guards hold at the moment of its read and otherwise
// leaves the whole job to that code.  The state lists every path, so that
// `__fast_paths__` reports them and the suites run with them switched off.
#pragma once

#include <optional>

struct State : kit::ModState {
    kit::ModuleAttr perf_counter;          // time.perf_counter
    kit::ModuleAttr re_sub;                // re.sub
    kit::Original strip_ansi, len_noansi;  // this module's own functions
    kit::Original palette;                 // `_Meter.palette` as built
    kit::FieldGuard meter;                 // `_Meter` as built at import

    kit::FastPath count_call{"_len_noansi call"};
    kit::FastPath paint{"palette"};
    kit::FastPath joined{"str +"};
    kit::FastPath minutes{"_fmt_time"};
    kit::FastPath throttle{"update_progress throttle"};

    State() { fast_paths = {&count_call, &paint, &joined, &minutes, &throttle}; }

    int traverse(visitproc visit, void* arg) {
        if (int r = perf_counter.traverse(visit, arg)) return r;
        if (int r = re_sub.traverse(visit, arg)) return r;
        if (int r = strip_ansi.traverse(visit, arg)) return r;
        if (int r = len_noansi.traverse(visit, arg)) return r;
        if (int r = palette.traverse(visit, arg)) return r;
        return meter.traverse(visit, arg);
    }
    void clear() {
        perf_counter.clear();
        re_sub.clear();
        strip_ansi.clear();
        len_noansi.clear();
        palette.clear();
        meter.clear();
    }
};

// ---------------------------------------------------------------------------
// Equals: `a + b + ...` from the left.
// Guard: every piece is exactly a str.  Known differences: one string is
// made, not one per `+`.
inline std::optional<Object> fast_concat(kit::Ctx cx, std::initializer_list<kit::Piece> parts) {
    auto all_str = [&] {
        for (const kit::Piece& p : parts) {
            if (p.obj && !PyUnicode_CheckExact(p.obj)) return false;
        }
        return true;
    };
    if (!cx.state<State>().joined.take(all_str)) return {};
    return kit::cat(parts);
}

// ---------------------------------------------------------------------------
// Equals, in `_fmt_time`, for `s = int(seconds + 0.5)`:
//     m, s = divmod(s, 60)
//     if m >= 100:
//         h, m = divmod(m, 60)
//         return format(h, "d") + "h" + format(m, "02d") + "m"
//     return format(m, "02d") + ":" + format(s, "02d")
// Guard: `s` fits in 64 bits.  Known differences: none (machine integers).
inline std::optional<Object> fast_fmt_time(kit::Ctx cx, const Object& whole) {
    long long v = 0;
    auto fits = [&] {
        int overflow = 0;
        v = PyLong_AsLongLongAndOverflow(whole.get(), &overflow);
        if (v == -1 && PyErr_Occurred()) kit::fail();
        return overflow == 0;
    };
    if (!cx.state<State>().minutes.take(fits)) return {};
    const long long m = v / 60, s = v % 60;
    char buf[64];
    if (m >= 100) {
        std::snprintf(buf, sizeof buf, "%lldh%02lldm", m / 60, m % 60);
    } else {
        std::snprintf(buf, sizeof buf, "%02lld:%02lld", m, s);
    }
    return kit::str(buf);
}

// ---------------------------------------------------------------------------
// Equals: `pal(code)`.
// Guard: `pal` is a bound method of `_Meter.palette` as built at import and
// `code` exactly a str.  Known differences: the method runs without a call
// (it still reads `enable_color` through attribute access, as it does).
inline std::optional<Object> fast_paint(kit::Ctx cx, const Object& pal, const Object& code) {
    State& st = cx.state<State>();
    PyObject* p = pal.get();
    if (!st.paint.take([&] {
            return PyMethod_Check(p) && PyMethod_GET_FUNCTION(p) == st.palette.obj.get() &&
                   PyUnicode_CheckExact(code.get());
        }))
        return {};
    if (Object::borrow(PyMethod_GET_SELF(p)).attr(cx["enable_color"_n]).truthy()) return code;
    return Object::borrow(cx[""_n]);
}

// ---------------------------------------------------------------------------
// The escape sequences `_strip_ansi` removes, matched left to right as
// re.sub matches "\x1b\[[0-9;]*[a-zA-Z]": ESC, "[", any run of digits and
// ";", one ASCII letter.  The count of the code points that stay.
inline Py_ssize_t count_noansi(PyObject* s) {
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    Py_ssize_t kept = n;
    for (Py_ssize_t i = 0; i < n;) {
        if (PyUnicode_READ(kind, data, i) == 0x1b && i + 1 < n && PyUnicode_READ(kind, data, i + 1) == '[') {
            Py_ssize_t j = i + 2;
            Py_UCS4 ch = 0;
            while (j < n && (((ch = PyUnicode_READ(kind, data, j)) >= '0' && ch <= '9') || ch == ';')) ++j;
            if (j < n && ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z'))) {
                kept -= j + 1 - i;
                i = j + 1;
                continue;
            }
        }
        ++i;
    }
    return kept;
}

// Equals: `_len_noansi(s)` called through the module global, that is
// `len(_strip_ansi(s))` and `re.sub("\x1b\[[0-9;]*[a-zA-Z]", "", s)`.
// Guard: `_len_noansi` and `_strip_ansi` are this module's own functions,
// `re` and its `sub` the originals, and `s` exactly a str.  Known
// differences: no call is made and no string is stripped, only counted;
// `re`'s cache of compiled patterns is left as it was.
inline std::optional<Object> fast_len_noansi_call(kit::Ctx cx, const Object& fn, const Object& s) {
    State& st = cx.state<State>();
    if (!st.count_call.take([&] {
            return st.len_noansi.holds(fn) && st.strip_ansi.holds(cx.global("_strip_ansi"_n)) &&
                   PyUnicode_CheckExact(s.get()) && st.re_sub.intact(cx.global("re"_n), cx["sub"_n]);
        }))
        return {};
    return kit::integer(count_noansi(s.get()));
}

// ---------------------------------------------------------------------------
// Equals, in update_progress once `_state` was found not None:
//     now = time.perf_counter()
//     if current < _state.total and now - _state.last_draw_t < _state.min_redraw_interval:
//         return
//     _draw_progress(current)
// Guard: `time` is the module imported at load and its `perf_counter` the
// original (the same clock is read without the call); the meter is exactly a `_Meter` whose class is
// unchanged and holds no data descriptor for these fields, so they are read
// from its dict; `total` is exactly an int and the two times exactly floats,
// so no Python code runs between the reads.  Known differences: the clock's
// float object is not made.
inline std::optional<Object> fast_update(kit::Ctx cx, const Object& time, const Object& m, PyObject* current) {
    State& st = cx.state<State>();
    PyObject *total = nullptr, *last = nullptr, *interval = nullptr;
    Object fields;
    auto guards = [&] {
        if (!st.perf_counter.intact(time, cx["perf_counter"_n])) return false;
        fields = st.meter.dict_of(m);
        if (!fields) return false;
        total = PyDict_GetItemWithError(fields.get(), cx["total"_n]);
        if (total) last = PyDict_GetItemWithError(fields.get(), cx["last_draw_t"_n]);
        if (last) interval = PyDict_GetItemWithError(fields.get(), cx["min_redraw_interval"_n]);
        if (PyErr_Occurred()) kit::fail();
        return interval && PyLong_CheckExact(total) && PyFloat_CheckExact(last) && PyFloat_CheckExact(interval);
    };
    if (!st.throttle.take(guards)) return {};
    PyTime_t t;
    kit::check_rc(PyTime_PerfCounter(&t));
    const double now = PyTime_AsSecondsDouble(t);
    if (kit::less(current, total) && now - PyFloat_AS_DOUBLE(last) < PyFloat_AS_DOUBLE(interval)) return Object{};
    cx.global("_draw_progress"_n)(Object::borrow(current));
    return Object{};
}
