#pragma once

// The watch that keeps a resolver replacement in force. DHCP clients and network managers
// rewrite the resolver file whenever a lease or a link changes, which would send every name
// lookup to the local network's resolver, outside the tunnel. The watch notices any write or
// replacement of the file and asks the resolver module to answer it.

#include <functional>
#include <string>

#include "util/wakeable_thread.h"

namespace dns {

class ResolverWatch {
  public:
    ResolverWatch() = default;
    ResolverWatch(const ResolverWatch&) = delete;
    ResolverWatch& operator=(const ResolverWatch&) = delete;

    // Watches `path` (and the file a link there points to) and calls `changed` on the watch's
    // own thread, once for every burst of writes or renames. Replaces a watch that runs.
    void start(const std::string& path, std::function<void()> changed);
    // Wakes the watch and waits for it to end. Must not be called while `changed` may be
    // waiting for something the caller holds.
    void stop();

  private:
    util::WakeableThread thread_;
};

}  // namespace dns
