// private_core.progress: the one-line progress display of the batch fetchers.
//
// The line is rewritten in place on standard output: spinner (or done token),
// label, a bar fitted to the terminal width, and the count, percentage, rate,
// remaining and elapsed time on the right.  Everything the code reads from the
// outside world (`sys.stdout`, the clock, the terminal width, the meter in
// `_state`, the other helpers) is looked up in the module's globals at each
// use, so callers and tests can swap any of them.
#include "kit/kit.hpp"

#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>

namespace {

using kit::Arg;
using kit::Call;
using kit::Object;
using kit::Sig;
using kit::arg;
using kit::global;
using kit::kw;

// ---------------------------------------------------------------------------
// Python arithmetic on objects: the draw works on whatever the meter holds
// (ints of any size, the clock's floats), exactly as the interpreter would.
Object sub(const Object& a, const Object& b) { return Object::steal(PyNumber_Subtract(a.get(), b.get())); }
Object mul(const Object& a, const Object& b) { return Object::steal(PyNumber_Multiply(a.get(), b.get())); }
Object truediv(const Object& a, const Object& b) { return Object::steal(PyNumber_TrueDivide(a.get(), b.get())); }

// a + b + c ...: one join when every piece is an exact str (the usual case),
// otherwise the `+` protocol from the left, so odd palettes fail as in Python.
Object concat(std::initializer_list<Arg> parts) {
    bool all_str = true;
    for (const Arg& a : parts) {
        if (!PyUnicode_CheckExact(a.obj)) {
            all_str = false;
            break;
        }
    }
    if (all_str) return kit::cat(parts);
    auto it = parts.begin();
    Object acc = Object::borrow(it->obj);
    for (++it; it != parts.end(); ++it) acc = Object::steal(PyNumber_Add(acc.get(), it->obj));
    return acc;
}

// n / d truncated toward zero, computed exactly on integers (never through a
// float: 29 * 100 / 100 must give 29, not 28).
Object trunc_div(const Object& n, const Object& d) {
    if (PyLong_CheckExact(n.get()) && PyLong_CheckExact(d.get())) {
        int on = 0, od = 0;
        long long a = PyLong_AsLongLongAndOverflow(n.get(), &on);
        if (a == -1 && PyErr_Occurred()) kit::fail();
        long long b = PyLong_AsLongLongAndOverflow(d.get(), &od);
        if (b == -1 && PyErr_Occurred()) kit::fail();
        if (!on && !od && b != 0 && !(a == std::numeric_limits<long long>::min() && b == -1)) return kit::integer(a / b);
    }
    Object qr = Object::steal(PyNumber_Divmod(n.get(), d.get()));
    Object q = qr.item(0), r = qr.item(1);
    Object zero = kit::integer(0);
    // Floor division rounds the other way when the signs differ.
    if (r.truthy() && (n.lt(zero) != d.lt(zero))) q = Object::steal(PyNumber_Add(q.get(), kit::integer(1).get()));
    return q;
}

// `k, t = pair`, with the interpreter's unpacking messages.
std::pair<Object, Object> unpack2(PyObject* o) {
    if (PyTuple_CheckExact(o) || PyList_CheckExact(o)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
        if (n == 2) return {Object::borrow(PySequence_Fast_GET_ITEM(o, 0)), Object::borrow(PySequence_Fast_GET_ITEM(o, 1))};
        PyErr_Format(PyExc_ValueError, n < 2 ? "not enough values to unpack (expected 2, got %zd)"
                                             : "too many values to unpack (expected 2, got %zd)",
                     n);
        kit::fail();
    }
    PyObject* raw_it = PyObject_GetIter(o);
    if (!raw_it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(o)->tp_iter == nullptr && !PySequence_Check(o)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(o)->tp_name);
        }
        kit::fail();
    }
    Object it = Object::steal(raw_it);
    Object vals[2];
    for (int i = 0; i < 2; ++i) {
        PyObject* x = PyIter_Next(it.get());
        if (!x) {
            if (PyErr_Occurred()) kit::fail();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            kit::fail();
        }
        vals[i] = Object::steal(x);
    }
    PyObject* extra = PyIter_Next(it.get());
    if (extra) {
        Py_DECREF(extra);
        kit::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) kit::fail();
    return {std::move(vals[0]), std::move(vals[1])};
}

// Rebinds a module global (the meter lives in the module's namespace).
template <std::size_t N>
void set_global(const char (&n)[N], const Object& v) {
    kit::check_rc(PyDict_SetItem(kit::current_globals(), kit::name(n), v.get()));
}

Object sys_stdout() { return global("sys").attr("stdout"); }

// ---------------------------------------------------------------------------
const Sig isatty_sig{"_isatty", {}, "bool"};

Object isatty(Call&) { return sys_stdout().method("isatty"); }

const Sig ansi_ok_sig{"_ansi_ok", {}, "bool"};

// Colours follow the terminal test alone, on every platform.
Object ansi_ok(Call&) { return global("_isatty")(); }

// ---------------------------------------------------------------------------
const Sig fmt_time_sig{"_fmt_time", {arg("seconds").dbl().ann("float")}, "str"};

Object fmt_time(Call& c) {
    const double seconds = c.dbl(0);
    if (global("math").method("isinf", c.raw(0)).truthy() || seconds < 0) return kit::str("--:--");
    // int(): truncation, and ValueError for NaN, as the interpreter does.
    Object whole = Object::steal(PyLong_FromDouble(seconds + 0.5));
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(whole.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) kit::fail();
    if (!overflow) {
        long long m = v / 60, s = v % 60;
        char buf[64];
        if (m >= 100) {
            std::snprintf(buf, sizeof buf, "%lldh%02lldm", m / 60, m % 60);
        } else {
            std::snprintf(buf, sizeof buf, "%02lld:%02lld", m, s);
        }
        return kit::str(buf);
    }
    // Durations beyond 64 bits of seconds: same rules on Python ints.
    Object sixty = kit::integer(60);
    Object ms = Object::steal(PyNumber_Divmod(whole.get(), sixty.get()));
    Object hm = Object::steal(PyNumber_Divmod(ms.item(0).get(), sixty.get()));
    return kit::cat({kit::format(hm.item(0), "d"), "h", kit::format(hm.item(1), "02d"), "m"});
}

const Sig fmt_rate_sig{"_fmt_rate", {arg("rate").dbl().ann("float")}, "str"};

Object fmt_rate(Call& c) {
    const double rate = c.dbl(0);
    if (!global("math").method("isfinite", c.raw(0)).truthy() || rate <= 0) return kit::str("--/s");
    // float.__format__: correctly rounded, ties to even (2.25 -> "2.2").
    const char* spec = rate < 1 ? "0.2f" : rate < 10 ? "0.1f" : "0.0f";
    return kit::cat({kit::format(c.arg(0), spec), "/s"});
}

// ---------------------------------------------------------------------------
const Sig term_width_sig{"_term_width", {arg("default").int_().def_int(80).ann("int")}, "int"};

Object term_width(Call& c) {
    Object dflt = c.arg(0);
    try {
        return global("shutil").method("get_terminal_size", kw("fallback", kit::tuple(dflt, 24))).attr("columns");
    } catch (kit::Error&) {
        kit::catch_if(PyExc_Exception);
        return dflt;
    }
}

// ---------------------------------------------------------------------------
const Sig compose_right_sig{"_compose_right",
                            {arg("current").int_().ann("int"), arg("total").int_().ann("int"),
                             arg("rate").dbl().ann("float"), arg("remaining").dbl().ann("float"),
                             arg("elapsed").dbl().ann("float"), arg("pal"), arg("completed").ann("bool")},
                            "List[Tuple[str, str]]"};

Object compose_right(Call& c) {
    Object current = c.arg(0), total = c.arg(1), pal = c.arg(5);
    Object percent = total.truthy() ? trunc_div(mul(current, kit::integer(100)), total) : kit::integer(0);

    Object progress = concat({pal(global("_DIM")), current.str(), "/", total.str(), pal(global("_RESET"))});
    Object pct = concat({pal(global("_BLUE")), kit::format(percent, "3d"), "%", pal(global("_RESET"))});
    Object rate = concat({pal(global("_YELLOW")), global("_fmt_rate")(c.raw(2)), pal(global("_RESET"))});
    Object eta;
    if (c.arg(6).truthy()) {
        eta = concat({pal(global("_GREEN")), "done", pal(global("_RESET"))});
    } else {
        eta = concat({"ETA ", pal(global("_YELLOW")), global("_fmt_time")(c.raw(3)), pal(global("_RESET"))});
    }
    Object elapsed = concat({pal(global("_DIM")), "+", global("_fmt_time")(c.raw(4)), pal(global("_RESET"))});

    Object items = Object::steal(PyList_New(5));
    PyList_SET_ITEM(items.get(), 0, kit::tuple(kit::name("progress"), progress).release());
    PyList_SET_ITEM(items.get(), 1, kit::tuple(kit::name("percent"), pct).release());
    PyList_SET_ITEM(items.get(), 2, kit::tuple(kit::name("rate"), rate).release());
    PyList_SET_ITEM(items.get(), 3, kit::tuple(kit::name("eta"), eta).release());
    PyList_SET_ITEM(items.get(), 4, kit::tuple(kit::name("elapsed"), elapsed).release());
    return items;
}

// ---------------------------------------------------------------------------
const Sig join_right_sig{"_join_right", {arg("parts").list().ann("List[str]")}, "str"};

Object join_right(Call& c) {
    PyObject* parts = c.raw(0);
    Object kept = kit::list();
    // Indexing anew each round: a part's __bool__ may change the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parts); ++i) {
        Object p = Object::borrow(PyList_GET_ITEM(parts, i));
        if (p.truthy()) kit::check_rc(PyList_Append(kept.get(), p.get()));
    }
    return Object::steal(PyUnicode_Join(kit::str("  ").get(), kept.get()));
}

const Sig strip_ansi_sig{"_strip_ansi", {arg("s").str().ann("str")}, "str"};

Object strip_ansi(Call& c) {
    return global("re").method("sub", kit::name("\x1b\\[[0-9;]*[a-zA-Z]"), kit::name(""), c.raw(0));
}

const Sig len_noansi_sig{"_len_noansi", {arg("s").str().ann("str")}, "int"};

Object len_noansi(Call& c) { return kit::integer(global("_strip_ansi")(c.raw(0)).len()); }

const Sig pad_to_width_sig{"_pad_to_width", {arg("s").str().ann("str"), arg("width").int_().ann("int")}, "str"};

Object pad_to_width(Call& c) {
    Object s = c.arg(0), width = c.arg(1);
    Object s_len = global("_len_noansi")(s);
    if (s_len.lt(width)) return concat({s, mul(kit::str(" "), sub(width, s_len))});
    return s;
}

// ---------------------------------------------------------------------------
const Sig palette_sig{"palette", {arg("self"), arg("code").str().ann("str")}, "str"};

Object palette(Call& c) {
    if (c.self().attr("enable_color").truthy()) return c.arg(1);
    return kit::str("");
}

// ---------------------------------------------------------------------------
const Sig start_sig{"start_progress", {arg("total").int_().ann("int"), arg("symbol").str().ann("str")}, "None"};

Object start_progress(Call& c) {
    Object total = c.arg(0);
    if (total.le(kit::integer(0)) || !global("_isatty")().truthy()) {
        set_global("_state", kit::None());
        return {};
    }
    Object start_t = global("time").method("perf_counter");
    Object enable_color = global("_ansi_ok")();
    Object meter = global("_Meter")(kw("total", total), kw("start_t", start_t), kw("last_draw_t", 0.0),
                                    kw("symbol", c.arg(1)), kw("enable_color", enable_color));
    // Stored before the first draw, so a failing stdout leaves it in place.
    set_global("_state", meter);
    global("_draw_progress")(0, kw("force", true));
    return {};
}

const Sig update_sig{"update_progress", {arg("current").int_().ann("int")}, "None"};

Object update_progress(Call& c) {
    Object m = global("_state");
    if (m.is_none()) return {};
    Object now = global("time").method("perf_counter");
    Object current = c.arg(0);
    // Reports below the total are throttled; reaching the total always draws.
    if (current.lt(m.attr("total")) && sub(now, m.attr("last_draw_t")).lt(m.attr("min_redraw_interval"))) return {};
    global("_draw_progress")(current);
    return {};
}

const Sig finish_sig{"finish_progress", {}, "None"};

Object finish_progress(Call&) {
    Object m = global("_state");
    if (m.is_none()) return {};
    global("_draw_progress")(m.attr("total"), kw("force", true));
    sys_stdout().method("write", "\n");
    sys_stdout().method("flush");
    return {};
}

// ---------------------------------------------------------------------------
const Sig build_right_sig{"build_right", {arg("items").list().ann("List[Tuple[str, str]]")}, "str"};

Object build_right(Call& c) {
    PyObject* items = c.raw(0);
    Object texts = kit::list();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i) {
        Object item = Object::borrow(PyList_GET_ITEM(items, i));
        Object text = unpack2(item.get()).second;
        if (text.truthy()) kit::check_rc(PyList_Append(texts.get(), text.get()));
    }
    return global("_join_right")(texts);
}

const Sig draw_sig{"_draw_progress", {arg("current").int_().ann("int"), arg("force").def_bool(false).ann("bool")},
                   "None"};

// `force` is accepted for the callers' sake; throttling is theirs.
Object draw_progress(Call& c) {
    Object m = global("_state");
    if (m.is_none()) return {};
    Object build_right_fn = kit::make_function({build_right_sig, build_right,
                                                "build_right(list items: List[Tuple[str, str]]) -> str",
                                                "_draw_progress.<locals>.build_right"});
    const Object zero = kit::integer(0);
    const Object bar_min = kit::integer(10);

    Object total = m.attr("total");
    Object current = c.arg(0);
    if (total.lt(current)) current = total;
    if (!current.gt(zero)) current = zero;

    Object now = global("time").method("perf_counter");
    Object elapsed = sub(now, m.attr("start_t"));
    const Object tiny = kit::floating(1e-9);
    if (!elapsed.gt(tiny)) elapsed = tiny;
    Object rate = truediv(current, elapsed);
    Object remaining = rate.gt(zero) ? truediv(sub(total, current), rate)
                                     : kit::floating(std::numeric_limits<double>::infinity());

    Object completed = Object::steal(PyObject_RichCompare(current.get(), total.get(), Py_EQ));
    const bool done = completed.truthy();
    Object spin;
    if (done) {
        spin = global("_DONE_TOKEN");
    } else {
        // The frame follows the clock (a tenth of a second each), not the updates.
        Object spinner = global("_SPINNER");
        Object tick = Object::steal(PyNumber_Long(mul(now, kit::integer(10)).get()));
        Object idx = Object::steal(PyNumber_Remainder(tick.get(), kit::integer(spinner.len()).get()));
        spin = spinner.item(idx);
    }

    Object pal = m.attr("palette");
    Object left = concat({pal(global("_BOLD")), spin, pal(global("_RESET")), " ", pal(global("_CYAN")),
                          m.attr("symbol"), pal(global("_RESET"))});

    Object right_items = global("_compose_right")(current, total, rate, remaining, elapsed, pal, completed);
    Object whole = Object::steal(PySlice_New(nullptr, nullptr, nullptr));
    Object visible_items = right_items.item(whole);

    Object width = global("_term_width")();
    const Object min_width = kit::integer(40);
    if (!width.gt(min_width)) width = min_width;
    Object right = build_right_fn(visible_items);

    // " [" and "]" around the bar, and the space before the right part.
    Object budget_right_bar = sub(sub(width, global("_len_noansi")(left)), kit::integer(4));
    if (budget_right_bar.lt(bar_min)) budget_right_bar = bar_min;
    Object room = sub(budget_right_bar, global("_len_noansi")(right));

    // Blank right-hand items, least useful first, until the bar has room.
    PyObject* const drop_priority[] = {kit::name("elapsed"), kit::name("eta"), kit::name("rate"),
                                       kit::name("percent")};
    for (PyObject* label : drop_priority) {
        if (!room.lt(bar_min)) break;
        PyObject* vis = visible_items.get();  // a list: build_right accepted it
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(vis); ++i) {
            Object item = Object::borrow(PyList_GET_ITEM(vis, i));
            auto [k, t] = unpack2(item.get());
            if (kit::check_rc(PyObject_RichCompareBool(k.get(), label, Py_EQ)) && t.truthy()) {
                kit::check_rc(PyList_SetItem(vis, i, kit::tuple(k, kit::name("")).release()));
                break;
            }
        }
        right = build_right_fn(visible_items);
        room = sub(budget_right_bar, global("_len_noansi")(right));
    }

    Object bar_w = room.gt(bar_min) ? room : bar_min;
    right = build_right_fn(visible_items);

    // Filled cells on integers too, so that they always agree with the count.
    Object filled;
    if (done) {
        filled = bar_w;
    } else {
        Object share = total.eq(zero) ? zero : trunc_div(mul(bar_w, current), total);
        filled = share.lt(bar_w) ? share : bar_w;
    }
    Object bar = concat({pal(global("_GREEN")), mul(global("_BAR_FILLED"), filled), pal(global("_RESET"))});
    Object empty_cells = sub(bar_w, filled);
    if (empty_cells.gt(zero)) {
        bar = concat({bar, concat({pal(global("_DIM")), mul(global("_BAR_EMPTY"), empty_cells), pal(global("_RESET"))})});
    }

    Object line = concat({left, " [", bar, "]"});
    if (right.truthy()) line = concat({line, " ", right});
    Object padded = global("_pad_to_width")(line, width);
    sys_stdout().method("write", concat({"\r", padded}));
    sys_stdout().method("flush");
    m.set_attr("last_draw_t", now);
    return {};
}

// ---------------------------------------------------------------------------
constexpr const char* kStartDoc =
    "start_progress(int total: int, str symbol: str) -> None\n\nKh\xE1\xBB\x9Fi t\xE1\xBA\xA1o meter m\xE1\xBB\x9Bi.";
constexpr const char* kUpdateDoc =
    "update_progress(int current: int) -> None\n\nC\xE1\xBA\xADp nh\xE1\xBA\xADt tr\xE1\xBA\xA1ng th\xC3\xA1i "
    "ti\xE1\xBA\xBFn \xC4\x91\xE1\xBB\x99.";
constexpr const char* kFinishDoc =
    "finish_progress() -> None\n\nHo\xC3\xA0n t\xE1\xBA\xA5t meter v\xC3\xA0 xu\xE1\xBB\x91ng d\xC3\xB2ng.";

PyObject* type_obj(PyTypeObject* t) { return reinterpret_cast<PyObject*>(t); }

void body(kit::Module& m) {
    m.set("math", kit::import("math"));
    m.set("os", kit::import("os"));
    m.set("re", kit::import("re"));
    m.set("shutil", kit::import("shutil"));
    m.set("sys", kit::import("sys"));
    m.set("time", kit::import("time"));
    m.from_import("dataclasses", {"dataclass"});
    m.from_import("typing", {"List", "Tuple"});

    m.set("_SPINNER", kit::tuple("-", "\\", "|", "/"));
    m.set("_DONE_TOKEN", kit::str("OK"));
    m.set("_BAR_FILLED", kit::str("#"));
    m.set("_BAR_EMPTY", kit::str("."));
    m.set("_RESET", kit::str("\x1b[0m"));
    m.set("_DIM", kit::str("\x1b[2m"));
    m.set("_BOLD", kit::str("\x1b[1m"));
    m.set("_CYAN", kit::str("\x1b[36m"));
    m.set("_GREEN", kit::str("\x1b[38;2;93;105;244m"));  // 24-bit, not the basic green
    m.set("_YELLOW", kit::str("\x1b[33m"));
    m.set("_BLUE", kit::str("\x1b[34m"));

    m.def({isatty_sig, isatty, "_isatty() -> bool"});
    m.def({ansi_ok_sig, ansi_ok, "_ansi_ok() -> bool"});
    m.def({fmt_time_sig, fmt_time, "_fmt_time(double seconds: float) -> str"});
    m.def({fmt_rate_sig, fmt_rate, "_fmt_rate(double rate: float) -> str"});
    m.def({term_width_sig, term_width, "_term_width(int default: int = 80) -> int"});
    m.def({compose_right_sig, compose_right,
           "_compose_right(int current: int, int total: int, double rate: float, double remaining: float, "
           "double elapsed: float, pal, completed: bool) -> List[Tuple[str, str]]"});
    m.def({join_right_sig, join_right, "_join_right(list parts: List[str]) -> str"});
    m.def({strip_ansi_sig, strip_ansi, "_strip_ansi(str s: str) -> str"});
    m.def({len_noansi_sig, len_noansi, "_len_noansi(str s: str) -> int"});
    m.def({pad_to_width_sig, pad_to_width, "_pad_to_width(str s: str, int width: int) -> str"});

    kit::ClassDef meter(m, "_Meter");
    meter.annotate("total", Object::borrow(type_obj(&PyLong_Type)))
        .annotate("start_t", Object::borrow(type_obj(&PyFloat_Type)))
        .annotate("last_draw_t", Object::borrow(type_obj(&PyFloat_Type)))
        .annotate("symbol", Object::borrow(type_obj(&PyUnicode_Type)))
        .annotate("enable_color", Object::borrow(type_obj(&PyBool_Type)))
        .annotate("min_redraw_interval", Object::borrow(type_obj(&PyFloat_Type)))
        .attr("min_redraw_interval", kit::floating(1.0 / 24))
        .method(palette_sig, palette, "_Meter.palette(self, str code: str) -> str");
    m.set("_Meter", m.get("dataclass")(meter.build()));

    m.set("_state", kit::None());

    m.def({start_sig, start_progress, kStartDoc});
    m.def({update_sig, update_progress, kUpdateDoc});
    m.def({finish_sig, finish_progress, kFinishDoc});
    m.def({draw_sig, draw_progress, "_draw_progress(int current: int, force: bool = False) -> None"});
    // The inner function's name is interned on each draw; holding it here
    // keeps it from entering and leaving the interpreter's interned table
    // every time (which churns, and now and then rebuilds, that table).
    kit::name("build_right");
}

}  // namespace

KIT_MODULE(progress, body)
