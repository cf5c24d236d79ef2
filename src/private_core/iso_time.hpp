// Plain ISO dates and date-times read in C++: what pandas parses them to,
// without pandas reading the texts.
#pragma once

#include "kit/kit.hpp"

#include <cstdint>

namespace pc {

// Days from 1970-01-01 to a day of the proleptic Gregorian calendar.
constexpr std::int64_t days_from_civil(int y, int m, int d) {
    y -= m <= 2;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097LL + doe - 719468;
}

// The seconds from 1970-01-01 of a plain ISO text: "YYYY-MM-DD" (a date,
// `with_time` false) or "YYYY-MM-DD HH:MM:SS" with a space or a "T" (a
// date-time, `with_time` true), of a real day between the years 1678 and
// 2261 (inside every resolution pandas parses to) and a real time of day.
// False for anything else.
inline bool plain_iso(PyObject* v, bool& with_time, std::int64_t& seconds) {
    if (!PyUnicode_CheckExact(v) || !PyUnicode_IS_COMPACT_ASCII(v)) return false;
    const Py_ssize_t len = PyUnicode_GET_LENGTH(v);
    if (len != 10 && len != 19) return false;
    const auto* t = static_cast<const unsigned char*>(PyUnicode_DATA(v));
    static constexpr char kLayout[] = "0000-00-00 00:00:00";
    int field[6] = {0, 0, 0, 0, 0, 0};
    for (Py_ssize_t k = 0, f = 0; k < len; ++k) {
        if (kLayout[k] != '0') {
            if (k == 10 ? (t[k] != ' ' && t[k] != 'T') : t[k] != static_cast<unsigned char>(kLayout[k])) return false;
            ++f;
        } else if (t[k] < '0' || t[k] > '9') {
            return false;
        } else {
            field[f] = field[f] * 10 + (t[k] - '0');
        }
    }
    const int y = field[0], m = field[1], d = field[2];
    static constexpr int month_days[] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 1678 || y > 2261 || m < 1 || m > 12 || d < 1) return false;
    const bool leap = y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
    if (d > month_days[m] + (m == 2 && leap)) return false;
    if (field[3] > 23 || field[4] > 59 || field[5] > 59) return false;
    with_time = len == 19;
    seconds = days_from_civil(y, m, d) * 86400 + field[3] * 3600 + field[4] * 60 + field[5];
    return true;
}

}  // namespace pc
