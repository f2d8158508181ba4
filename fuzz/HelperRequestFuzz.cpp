// okgate-helper's request parser on arbitrary datagrams (the first byte picks recvmsg's flags):
// no read past the datagram, a refusal always says why, and a reset taken is exactly the bytes
// sent, of a family the helper serves.
#include "engine/platform/linux/HelperProtocol.h"

#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <vector>

using namespace okg::helper;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const int flags = (data[0] & 1 ? MSG_TRUNC : 0) | (data[0] & 2 ? MSG_CTRUNC : 0);
    // A copy of its own size, so that a read past the end is caught.
    std::vector<std::byte> bytes(size - 1);
    if (!bytes.empty())
        std::memcpy(bytes.data(), data + 1, bytes.size());
    const Request r = ParseRequest(bytes, flags);
    if (r.kind == Request::Refused) {
        if (!r.refusal || !*r.refusal)
            std::abort();
        return 0;
    }
    if (r.kind == Request::Misses) {
        if (flags || bytes.size() != sizeof(MissesRequest))
            std::abort();
        return 0;
    }
    if (flags || bytes.size() != sizeof(ResetRequest) ||
        std::memcmp(&r.reset, bytes.data(), sizeof r.reset) != 0 ||
        (r.reset.family != AF_INET && r.reset.family != AF_INET6) ||
        (r.reset.family == AF_INET && r.reset.ifindex != 0))
        std::abort();
    return 0;
}
