// okgate-helper's system call filter.
#pragma once

namespace okg::helper {

// From here on the process only reads requests, asks the kernel over netlink and answers: any
// other system call ends it. A netlink sock_diag socket may be opened again after a failed
// request, and no other socket; bpf() only reads an object's info. False when the filter could not
// be installed.
bool Confine();

} // namespace okg::helper
