// The daemon's own fault point: nothing happens there. Alone in its translation unit, so that
// a test daemon that defines faultPoint itself never pulls this one from the library.

#include "core/fault_point.h"

namespace core {

__attribute__((weak)) void faultPoint(std::string_view, int) {}

}  // namespace core
