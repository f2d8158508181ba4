#include "engine/platform/linux/HelperProtocol.h"

#include <sys/socket.h>

#include <cstring>

namespace okg::helper {

Request ParseRequest(std::span<const std::byte> bytes, int flags) {
    Request request;
    uint32_t type = 0;
    if (flags & MSG_TRUNC)
        request.refusal = "a request was cut short";
    else if (flags & MSG_CTRUNC)
        request.refusal = "a request came with descriptors";
    else if (bytes.size() < sizeof type)
        request.refusal = "a request without its type";
    else if (std::memcpy(&type, bytes.data(), sizeof type),
             type != ResetMessage && type != MissesMessage)
        request.refusal = "an unknown request";
    else if (bytes.size() != (type == ResetMessage ? sizeof(ResetRequest) : sizeof(MissesRequest)))
        request.refusal = "a request of the wrong length";
    if (*request.refusal)
        return request;
    if (type == MissesMessage) {
        request.kind = Request::Misses;
        return request;
    }

    std::memcpy(&request.reset, bytes.data(), sizeof request.reset);
    const ResetRequest& r = request.reset;
    if (r.family != AF_INET && r.family != AF_INET6)
        request.refusal = "a request for another address family";
    else if (r.family == AF_INET && r.ifindex != 0)
        request.refusal = "an IPv4 request naming an interface";
    else
        request.kind = Request::Reset;
    return request;
}

} // namespace okg::helper
