#include <atomic>

#include "core/fault_point.h"

namespace core {
namespace {

thread_local const char* currentOperation = nullptr;
thread_local int currentCount = 0;
// The background threads' records, counted together: which thread makes them is chance.
std::atomic<int> backgroundCount = 0;

}  // namespace

ActionScope::ActionScope(const char* operation) : outermost_(currentOperation == nullptr) {
    if (!outermost_) return;
    currentOperation = operation;
    currentCount = 0;
}

ActionScope::~ActionScope() {
    if (outermost_) currentOperation = nullptr;
}

void recordMade() {
    if (currentOperation == nullptr) {
        faultPoint("background", ++backgroundCount);
    } else {
        faultPoint(currentOperation, ++currentCount);
    }
}

}  // namespace core
