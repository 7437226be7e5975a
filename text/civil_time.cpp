#include "text/civil_time.h"

#include <cstdio>

extern "C" void text_rfc3339(int64_t seconds, int64_t nanos, char* out, size_t cap) {
  if (out == nullptr || cap == 0) return;
  // Days to a civil date (proleptic Gregorian) as in Howard Hinnant's
  // algorithm, which holds for days before 1970 as well.
  int64_t days = seconds / 86400;
  int64_t secs = seconds % 86400;
  if (secs < 0) secs += 86400, --days;
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const int64_t m = mp < 10 ? mp + 3 : mp - 9;
  const int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
  const auto ll = [](int64_t v) { return static_cast<long long>(v); };
  if (nanos >= 0) {
    std::snprintf(out, cap, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%09lldZ", ll(y), ll(m), ll(d), ll(secs / 3600),
                  ll(secs / 60 % 60), ll(secs % 60), ll(nanos % 1000000000));
  } else {
    std::snprintf(out, cap, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", ll(y), ll(m), ll(d), ll(secs / 3600),
                  ll(secs / 60 % 60), ll(secs % 60));
  }
}
