#include "core/paths.h"

namespace core {

Paths& paths() {
    static Paths instance;
    return instance;
}

}  // namespace core
