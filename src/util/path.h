#pragma once

#include <string>

namespace util {

// The directory an absolute path names its last part in: "/" for "/x", "/a" for "/a/b".
inline std::string parentDirectory(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace util
