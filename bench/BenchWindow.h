// Window services for the benchmarks: no window; the event pump runs a hook.
#pragma once

#include <functional>

namespace bench {
extern std::function<void()> OnDoEvents;
}
