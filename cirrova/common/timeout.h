// The time-out rule shared by the clients.
#pragma once

#include <nanobind/nanobind.h>

namespace cirrova {

// A call's time-out: `timeout` unless it is None (or absent, empty handle),
// then `default_timeout`.
nanobind::object choose_timeout(nanobind::handle timeout, nanobind::handle default_timeout);

// In the keyword mapping of a request: when it has no "timeout" or a
// "timeout" of None, set "timeout" to `default_timeout`, or, when that is
// None too, leave the keyword out so that the httpx.Client's own time-out
// holds.
void apply_default_timeout(nanobind::dict& kwargs, nanobind::handle default_timeout);

// kwargs["timeout"] = timeout, unless `timeout` is None (or empty).
void set_timeout(nanobind::dict& kwargs, nanobind::handle timeout);

}  // namespace cirrova
