// Loading and attaching the BPF program on the TCP state tracepoint: what needs CAP_BPF and
// CAP_PERFMON. Done by okgate-helper, or by the program itself when it runs as root. Plain C++
// with libbpf, no Qt: the helper links it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

struct tcpstate;

namespace okg::linuxfeed {

// What a reader of the program's events needs: the ring buffer map with its data size, and the
// mappable array holding the ring's drop counter (a 64-bit count at offset 0), read-only. Whoever
// reads them never needs a right. Not the program: whoever holds it can attach it again, even
// without any capability.
struct FeedDescriptors {
    int ring = -1;
    uint32_t ringBytes = 0;
    int counters = -1;
};

class BpfProgram {
public:
    // Loads and attaches the program, reporting the sockets of this process's network namespace
    // only. Null, with the reason in whyNot, when the kernel refuses it (no CAP_BPF or
    // CAP_PERFMON, no BTF, a kernel too old).
    static std::unique_ptr<BpfProgram> Load(std::string& whyNot);

    BpfProgram(const BpfProgram&) = delete;
    BpfProgram& operator=(const BpfProgram&) = delete;
    // Detaches and unloads the program.
    ~BpfProgram();

    // The descriptors stay the program's: a reader elsewhere gets copies of them.
    FeedDescriptors Descriptors() const;

    // The runs the kernel skipped because the tracepoint fired again on the same processor while
    // the program ran (its recursion_misses): events lost without a trace in the ring. False when
    // the kernel would not tell.
    bool SkippedRuns(uint64_t& misses) const;

private:
    BpfProgram() = default;
    tcpstate* skel_ = nullptr;
};

} // namespace okg::linuxfeed
