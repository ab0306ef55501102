// The wall clock: Python's time.time(), looked up at every call so that a
// test can patch it, and locale-free UTC formatting.
#pragma once

#include <string>

namespace cirrova {

struct UtcTime {
    int year, month, day, hour, minute, second;
    int weekday;  // 0 = Monday
};

double now_seconds();             // time.time()
UtcTime utc_now();                // time.time() as UTC, fraction dropped
UtcTime utc_from_seconds(double seconds);

std::string fmt_amz_date(const UtcTime& t);   // %Y%m%dT%H%M%SZ
std::string fmt_date_stamp(const UtcTime& t); // %Y%m%d
std::string fmt_http_date(const UtcTime& t);  // %a, %d %b %Y %H:%M:%S GMT
std::string fmt_iso8601(const UtcTime& t);    // %Y-%m-%dT%H:%M:%SZ

}  // namespace cirrova
