#include "routing/routing.h"

namespace routing {

int RetrieveDefaultRoutes() {
    return 1;
}
int CheckForIpv6Environment() {
    return 0;
}
void FreeDefaultRoutes() {}
void CloseDefaultRoutes() {}
void CloseIpv4Routes() {}
void CloseIpv6Routes() {}
void ReopenIpv4Routes() {}
void ReopenIpv6Routes() {}
void ReopenDefaultRoutes() {}
int DisableIpv6() {
    return 0;
}
int EnableRouteForIpv4(std::string_view) {
    return 0;
}
int EnableRouteForIpv6(std::string_view) {
    return 0;
}
int SetRouteForServer(std::string_view) {
    return 0;
}
int SetRouteForServer6(std::string_view) {
    return 0;
}
void DisableCustomRoutes() {}
int SetRouteForDns(std::string_view) {
    return -1;
}
int SetRouteForDns6(std::string_view) {
    return -1;
}
void UnsetRoutesForDns() {}
void UnsetRoutesForDns6() {}
void StartRouteWatchThread() {}
void StopRouteWatchThread() {}
void StartRouteWatchThread4() {}
void StartRouteWatchThread6() {}
void StopRouteWatchThread4() {}
void StopRouteWatchThread6() {}
void InitRoutingVariablesOs() {}

}  // namespace routing
