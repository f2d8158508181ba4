#include "engine/platform/linux/BpfProgram.h"

#include "tcpstate.skel.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace okg::linuxfeed {

namespace {

// libbpf reports through a print hook; keep its last warning as the reason for a refusal
// instead of writing verifier logs to the terminal of a desktop program.
std::string lastLibbpfWarning;

int KeepLibbpfWarning(enum libbpf_print_level level, const char* format, va_list args) {
    if (level == LIBBPF_DEBUG)
        return 0;
    char text[512];
    int n = std::vsnprintf(text, sizeof text, format, args);
    if (n > 0) {
        std::string line(text);
        while (!line.empty() && (line.back() == '\n' || line.back() == ' '))
            line.pop_back();
        if (!line.empty())
            lastLibbpfWarning = line;
    }
    return 0;
}

std::string Reason(const char* step, int err) {
    err = err < 0 ? -err : err;
    std::string why = std::string(step) + ": " + std::strerror(err);
    if (err == EPERM || err == EACCES)
        why += " (needs CAP_BPF and CAP_PERFMON)";
    else if (!lastLibbpfWarning.empty())
        why += " (" + lastLibbpfWarning + ")";
    return why;
}

} // namespace

std::unique_ptr<BpfProgram> BpfProgram::Load(std::string& whyNot) {
    libbpf_set_print(KeepLibbpfWarning);
    lastLibbpfWarning.clear();

    std::unique_ptr<BpfProgram> program(new BpfProgram());
    program->skel_ = tcpstate__open();
    if (!program->skel_) {
        whyNot = Reason("opening the BPF program failed", errno);
        return nullptr;
    }
    // The namespace it serves is ours: the window that started the helper shares it.
    struct stat ns {};
    if (stat("/proc/self/ns/net", &ns) != 0) {
        whyNot = Reason("reading the network namespace failed", errno);
        return nullptr;
    }
    program->skel_->rodata->netns_inum = uint32_t(ns.st_ino);
    if (int err = tcpstate__load(program->skel_)) {
        whyNot = Reason("loading the BPF program failed", err);
        return nullptr;
    }
    // From now on user space may only read the counters: the reader's mapping too, wherever
    // its descriptor goes.
    if (int err = bpf_map_freeze(bpf_map__fd(program->skel_->maps.counters))) {
        whyNot = Reason("freezing the BPF loss counters failed", err);
        return nullptr;
    }
    if (int err = tcpstate__attach(program->skel_)) {
        whyNot = Reason("attaching the BPF program failed", err);
        return nullptr;
    }
    return program;
}

BpfProgram::~BpfProgram() {
    tcpstate__destroy(skel_);
}

FeedDescriptors BpfProgram::Descriptors() const {
    return {bpf_map__fd(skel_->maps.events), bpf_map__max_entries(skel_->maps.events),
            bpf_map__fd(skel_->maps.counters)};
}

bool BpfProgram::SkippedRuns(uint64_t& misses) const {
    bpf_prog_info info{};
    uint32_t length = sizeof info;
    if (bpf_obj_get_info_by_fd(bpf_program__fd(skel_->progs.okg_tcp_set_state), &info, &length))
        return false;
    misses = info.recursion_misses;
    return true;
}

} // namespace okg::linuxfeed
