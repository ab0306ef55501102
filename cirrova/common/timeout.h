// The time-out rule shared by the clients.
#pragma once

#include <nanobind/nanobind.h>

namespace cirrova {

// A call's time-out: `timeout` unless it is None (or absent, empty handle),
// then `default_timeout`.
nanobind::object choose_timeout(nanobind::handle timeout, nanobind::handle default_timeout);

// In the keyword mapping of a request: when it has no "timeout" or a
// "timeout" of None and `default_timeout` is not None, set "timeout" to it.
void apply_default_timeout(nanobind::dict& kwargs, nanobind::handle default_timeout);

}  // namespace cirrova
