#include "clock.h"

#include "pyutil.h"

#include <cmath>
#include <cstdio>

namespace cirrova {

double now_seconds() {
    static PyObject* time_module = [] { return steal_or_throw(PyImport_ImportModule("time")).release().ptr(); }();
    // Looked up at every call so that patching time.time freezes the clients.
    nb::object fn = getattr(time_module, CIRROVA_STR("time"));
    nb::object t = vcall(fn, {});
    double v = PyFloat_AsDouble(t.ptr());
    if (v == -1.0 && PyErr_Occurred()) raise_current();
    return v;
}

UtcTime utc_from_seconds(double seconds) {
    if (!std::isfinite(seconds) || seconds < -62135596800.0 || seconds > 253402300799.0)
        raise(PyExc_OverflowError, "timestamp out of range for platform time_t");
    long long s = (long long)std::floor(seconds);
    long long days = s >= 0 ? s / 86400 : -((-s + 86399) / 86400);
    long long rem = s - days * 86400;
    UtcTime t{};
    t.hour = (int)(rem / 3600);
    t.minute = (int)(rem % 3600 / 60);
    t.second = (int)(rem % 60);
    t.weekday = (int)(((days % 7) + 7 + 3) % 7);  // 1970-01-01 was a Thursday
    // Civil date from days since the epoch (proleptic Gregorian).
    long long z = days + 719468;
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    long long doe = z - era * 146097;
    long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long y = yoe + era * 400;
    long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    long long mp = (5 * doy + 2) / 153;
    t.day = (int)(doy - (153 * mp + 2) / 5 + 1);
    t.month = (int)(mp < 10 ? mp + 3 : mp - 9);
    t.year = (int)(y + (t.month <= 2));
    return t;
}

UtcTime utc_now() { return utc_from_seconds(now_seconds()); }

std::string fmt_amz_date(const UtcTime& t) {
    char b[32];
    std::snprintf(b, sizeof b, "%04d%02d%02dT%02d%02d%02dZ", t.year, t.month, t.day, t.hour, t.minute, t.second);
    return b;
}

std::string fmt_date_stamp(const UtcTime& t) {
    char b[16];
    std::snprintf(b, sizeof b, "%04d%02d%02d", t.year, t.month, t.day);
    return b;
}

std::string fmt_http_date(const UtcTime& t) {
    static const char* days[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    static const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char b[40];
    std::snprintf(b, sizeof b, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[t.weekday], t.day, months[t.month - 1],
                  t.year, t.hour, t.minute, t.second);
    return b;
}

std::string fmt_iso8601(const UtcTime& t) {
    char b[32];
    std::snprintf(b, sizeof b, "%04d-%02d-%02dT%02d:%02d:%02dZ", t.year, t.month, t.day, t.hour, t.minute, t.second);
    return b;
}

}  // namespace cirrova
