// The emulator's trace on standard error, and errno names for it and for
// the words that choose faults.
#ifndef VCIOEMU_TRACE_H
#define VCIOEMU_TRACE_H

#include <string>

namespace vcioemu {

// Writes one trace line to standard error in a single write, so that lines of
// concurrent requests and the process's own output do not interleave.
__attribute__((format(printf, 1, 2))) void trace_out(const char *format, ...);

// "EBUSY" for EBUSY; the number for an errno without a known name.
std::string errno_name(int err);
// The errno a name ("EACCES") or a number stands for: false for neither.
bool errno_from_name(const std::string &text, int &err);

} // namespace vcioemu

#endif // VCIOEMU_TRACE_H
