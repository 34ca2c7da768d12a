#include "core/paths.h"

#include "util/no_destructor.h"

namespace core {

Paths& paths() {
    static util::NoDestructor<Paths> instance;
    return instance.get();
}

}  // namespace core
