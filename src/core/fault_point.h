#pragma once

// Where a daemon built for the crash tests ends itself at once, as a crash would: right after
// each record of what outlives the process is on disk, before the change it announces is made.
// The daemon itself does nothing there: the library's definition of faultPoint, alone in its
// translation unit (fault_point.cpp), is empty, and a test daemon links one of its own in its
// place.

#include <string_view>

namespace core {

// While it lives, the records this thread makes count as actions of `operation`. A scope
// opened inside another counts toward the outer one.
class ActionScope {
  public:
    explicit ActionScope(const char* operation);
    ~ActionScope();
    ActionScope(const ActionScope&) = delete;
    ActionScope& operator=(const ActionScope&) = delete;

  private:
    bool outermost_;
};

// Called by whoever writes a record, once it is durable.
void recordMade();

// The seam: the operation a record belongs to ("background" for a thread outside any scope,
// such as a route watcher's) and its count of records so far, this one included.
void faultPoint(std::string_view operation, int action);

}  // namespace core
