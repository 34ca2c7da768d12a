#include "guard/kernel.h"

#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <net/if.h>
#include <nftables/libnftables.h>

#include <memory>

#include "netlink/bytes.h"
#include "util/no_destructor.h"

namespace guard {
namespace {

using Context = std::unique_ptr<nft_ctx, decltype(&nft_ctx_free)>;

std::optional<std::string> runNft(const std::string& commands, std::string& output) {
    const Context context(nft_ctx_new(NFT_CTX_DEFAULT), nft_ctx_free);
    if (!context) return "libnftables made no context";
    nft_ctx_buffer_output(context.get());
    nft_ctx_buffer_error(context.get());
    const int result = nft_run_cmd_from_buffer(context.get(), commands.c_str());
    const char* listed = nft_ctx_get_output_buffer(context.get());
    output = listed != nullptr ? listed : "";
    if (result == 0) return std::nullopt;
    const char* error = nft_ctx_get_error_buffer(context.get());
    return error != nullptr && *error != '\0' ? error : "nft failed without a message";
}

// Asks nf_tables for its generation: it answers unless the kernel lacks it.
bool kernelHasNfTables() {
    nfgenmsg header{};
    header.nfgen_family = AF_UNSPEC;
    header.version = NFNETLINK_V0;
    const netlink::Request request(NFNL_SUBSYS_NFTABLES << 8 | NFT_MSG_GETGEN,
                                   NLM_F_REQUEST | NLM_F_ACK, 0, header);
    return netlink::exchange(NETLINK_NETFILTER, request.bytes()) == 0;
}

}  // namespace

Kernel systemKernel() {
    return Kernel{
        .nft = runNft,
        .hasNfTables = kernelHasNfTables,
        .addresses = netlink::dumpAddresses,
        .interfaceIndex = [](const std::string& name) { return ::if_nametoindex(name.c_str()); },
        .watchInterfaces =
            [] {
                return netlink::subscribe(NETLINK_ROUTE,
                                          {RTNLGRP_LINK, RTNLGRP_IPV4_IFADDR, RTNLGRP_IPV6_IFADDR});
            },
        .watchTables = [] { return netlink::subscribe(NETLINK_NETFILTER, {NFNLGRP_NFTABLES}); },
    };
}

Kernel& kernel() {
    static util::NoDestructor<Kernel> instance(systemKernel());
    return instance.get();
}

}  // namespace guard
