#include "clock.h"

#include "pyutil.h"

#include <cmath>

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

namespace {

void put(std::string& out, int v, int width) {
    char buf[8];
    for (int i = width - 1; i >= 0; --i, v /= 10) buf[i] = (char)('0' + v % 10);
    out.append(buf, (size_t)width);
}

// strftime for %Y %m %d %H %M %S %a %b, with English names whatever the locale.
std::string format(const UtcTime& t, std::string_view pattern) {
    static const char days[] = "MonTueWedThuFriSatSun";
    static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    std::string out;
    out.reserve(32);
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%' || i + 1 == pattern.size()) {
            out += pattern[i];
            continue;
        }
        switch (pattern[++i]) {
            case 'Y': put(out, t.year, 4); break;
            case 'm': put(out, t.month, 2); break;
            case 'd': put(out, t.day, 2); break;
            case 'H': put(out, t.hour, 2); break;
            case 'M': put(out, t.minute, 2); break;
            case 'S': put(out, t.second, 2); break;
            case 'a': out.append(days + 3 * t.weekday, 3); break;
            case 'b': out.append(months + 3 * (t.month - 1), 3); break;
            default: out += '%'; out += pattern[i];
        }
    }
    return out;
}

}  // namespace

std::string fmt_amz_date(const UtcTime& t) { return format(t, "%Y%m%dT%H%M%SZ"); }
std::string fmt_date_stamp(const UtcTime& t) { return format(t, "%Y%m%d"); }
std::string fmt_http_date(const UtcTime& t) { return format(t, "%a, %d %b %Y %H:%M:%S GMT"); }
std::string fmt_iso8601(const UtcTime& t) { return format(t, "%Y-%m-%dT%H:%M:%SZ"); }

}  // namespace cirrova
