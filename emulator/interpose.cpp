// The C library entry points the emulator stands in front of. Preloaded, these
// definitions come first in the process's symbol lookup: they take the calls
// that concern "/dev/vcio", the GPIO chips and the board files, and hand every
// other call to the next definition, the C library's own.
//
// Each of these files defines the C library's own symbol names. The headers'
// large-file, 64-bit time and fortify options would rename or wrap the
// declarations and so define other symbols than intended: switch them off.
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#undef _FORTIFY_SOURCE

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/types.h>
#include <unistd.h>

#include "device.h"
#include "regulators.h"

#define VCIOEMU_INTERPOSE extern "C" __attribute__((visibility("default")))

namespace {

using open_fn = int (*)(const char *, int, ...);
using open_2_fn = int (*)(const char *, int);
using openat_fn = int (*)(int, const char *, int, ...);
using openat_2_fn = int (*)(int, const char *, int);
using ioctl_fn = int (*)(int, unsigned long, ...);
using close_fn = int (*)(int);
using dup2_fn = int (*)(int, int);
using dup3_fn = int (*)(int, int, int);
using close_range_fn = int (*)(unsigned, unsigned, int);
using closefrom_fn = void (*)(int);
using opendir_fn = DIR *(*)(const char *);

// close_range's flag that marks the descriptors close-on-exec instead of
// closing them (linux/close_range.h).
constexpr int close_range_cloexec = 1 << 2;

template <typename Fn> Fn next_definition(const char *name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

// A C library without the entry point (an older one, say) gives nobody a
// reason to call it; should someone all the same, fail like a missing call.
int missing()
{
    errno = ENOSYS;
    return -1;
}

int opened(int fd_or_error)
{
    if (fd_or_error < 0) {
        errno = -fd_or_error;
        return -1;
    }
    return fd_or_error;
}

// The mode argument is there only with O_CREAT or O_TMPFILE: read it only then.
bool needs_mode(int flags)
{
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

// A path of the regulator class, with the test's folder standing for it:
// the same path under that folder, in the caller's buffer. Otherwise the
// path as given; nullptr, with errno set, for one too long to redirect.
struct RegulatorPath {
    char buffer[PATH_MAX];
};

const char *regulator_redirected(const char *path, RegulatorPath &storage)
{
    const int redirected =
        vcioemu::redirect_regulator_path(path, storage.buffer, sizeof(storage.buffer));
    if (redirected < 0) {
        errno = -redirected;
        return nullptr;
    }
    return redirected != 0 ? storage.buffer : path;
}

int open_path(open_fn real, const char *path, int flags, mode_t mode)
{
    RegulatorPath storage;
    path = regulator_redirected(path, storage);
    if (path == nullptr)
        return -1;
    if (vcioemu::is_emulated_path(path))
        return opened(vcioemu::open_emulated(path, flags));
    return real != nullptr ? real(path, flags, mode) : missing();
}

int open_path_2(open_2_fn real, const char *path, int flags)
{
    RegulatorPath storage;
    path = regulator_redirected(path, storage);
    if (path == nullptr)
        return -1;
    if (vcioemu::is_emulated_path(path))
        return opened(vcioemu::open_emulated(path, flags));
    return real != nullptr ? real(path, flags) : missing();
}

// An absolute path names the same file whatever directory dirfd is.
int openat_path(openat_fn real, int dirfd, const char *path, int flags, mode_t mode)
{
    RegulatorPath storage;
    path = regulator_redirected(path, storage);
    if (path == nullptr)
        return -1;
    if (vcioemu::is_emulated_path(path))
        return opened(vcioemu::open_emulated(path, flags));
    return real != nullptr ? real(dirfd, path, flags, mode) : missing();
}

int openat_path_2(openat_2_fn real, int dirfd, const char *path, int flags)
{
    RegulatorPath storage;
    path = regulator_redirected(path, storage);
    if (path == nullptr)
        return -1;
    if (vcioemu::is_emulated_path(path))
        return opened(vcioemu::open_emulated(path, flags));
    return real != nullptr ? real(dirfd, path, flags) : missing();
}

int ioctl_call(ioctl_fn real, int fd, unsigned long request, void *arg)
{
    int err = 0;
    if (vcioemu::device_ioctl(fd, request, arg, err)) {
        if (err == 0)
            return 0;
        errno = err;
        return -1;
    }
    return real != nullptr ? real(fd, request, arg) : missing();
}

close_fn next_close()
{
    static const auto real = next_definition<close_fn>("close");
    return real;
}

} // namespace

VCIOEMU_INTERPOSE int open(const char *path, int flags, ...)
{
    static const auto real = next_definition<open_fn>("open");
    va_list args;
    va_start(args, flags);
    const mode_t mode = needs_mode(flags) ? va_arg(args, mode_t) : 0;
    va_end(args);
    return open_path(real, path, flags, mode);
}

VCIOEMU_INTERPOSE int open64(const char *path, int flags, ...)
{
    static const auto real = next_definition<open_fn>("open64");
    va_list args;
    va_start(args, flags);
    const mode_t mode = needs_mode(flags) ? va_arg(args, mode_t) : 0;
    va_end(args);
    return open_path(real, path, flags, mode);
}

VCIOEMU_INTERPOSE int openat(int dirfd, const char *path, int flags, ...)
{
    static const auto real = next_definition<openat_fn>("openat");
    va_list args;
    va_start(args, flags);
    const mode_t mode = needs_mode(flags) ? va_arg(args, mode_t) : 0;
    va_end(args);
    return openat_path(real, dirfd, path, flags, mode);
}

VCIOEMU_INTERPOSE int openat64(int dirfd, const char *path, int flags, ...)
{
    static const auto real = next_definition<openat_fn>("openat64");
    va_list args;
    va_start(args, flags);
    const mode_t mode = needs_mode(flags) ? va_arg(args, mode_t) : 0;
    va_end(args);
    return openat_path(real, dirfd, path, flags, mode);
}

// The checked entry points that fortified builds route open and openat to.
VCIOEMU_INTERPOSE int __open_2(const char *path, int flags)
{
    static const auto real = next_definition<open_2_fn>("__open_2");
    return open_path_2(real, path, flags);
}

VCIOEMU_INTERPOSE int __open64_2(const char *path, int flags)
{
    static const auto real = next_definition<open_2_fn>("__open64_2");
    return open_path_2(real, path, flags);
}

VCIOEMU_INTERPOSE int __openat_2(int dirfd, const char *path, int flags)
{
    static const auto real = next_definition<openat_2_fn>("__openat_2");
    return openat_path_2(real, dirfd, path, flags);
}

VCIOEMU_INTERPOSE int __openat64_2(int dirfd, const char *path, int flags)
{
    static const auto real = next_definition<openat_2_fn>("__openat64_2");
    return openat_path_2(real, dirfd, path, flags);
}

// The C library opens a folder for listing by a call of its own, which no
// interposer sees: the regulator class is redirected here.
VCIOEMU_INTERPOSE DIR *opendir(const char *path)
{
    static const auto real = next_definition<opendir_fn>("opendir");
    RegulatorPath storage;
    path = regulator_redirected(path, storage);
    if (path == nullptr)
        return nullptr;
    if (real == nullptr) {
        errno = ENOSYS;
        return nullptr;
    }
    return real(path);
}

VCIOEMU_INTERPOSE int ioctl(int fd, unsigned long request, ...) __THROW
{
    static const auto real = next_definition<ioctl_fn>("ioctl");
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    return ioctl_call(real, fd, request, arg);
}

#if defined(__TIMESIZE) && __TIMESIZE == 32
// Where time_t was 32 bits wide, programs built with 64-bit time call ioctl
// under this name.
VCIOEMU_INTERPOSE int __ioctl_time64(int fd, unsigned long request, ...) __THROW
{
    static const auto real = next_definition<ioctl_fn>("__ioctl_time64");
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    return ioctl_call(real, fd, request, arg);
}
#endif

VCIOEMU_INTERPOSE int close(int fd)
{
    int err = 0;
    const bool device = vcioemu::release_device(fd, err);
    const int result = vcioemu::real_close(fd);
    if (device && err != 0) {
        errno = err;
        return -1;
    }
    return result;
}

// A descriptor number made to refer to another file is no longer the device.
VCIOEMU_INTERPOSE int dup2(int oldfd, int newfd) __THROW
{
    static const auto real = next_definition<dup2_fn>("dup2");
    const int result = real != nullptr ? real(oldfd, newfd) : missing();
    if (result != -1 && oldfd != newfd)
        vcioemu::descriptors_replaced(static_cast<unsigned>(newfd), static_cast<unsigned>(newfd));
    return result;
}

VCIOEMU_INTERPOSE int dup3(int oldfd, int newfd, int flags) __THROW
{
    static const auto real = next_definition<dup3_fn>("dup3");
    const int result = real != nullptr ? real(oldfd, newfd, flags) : missing();
    if (result != -1)
        vcioemu::descriptors_replaced(static_cast<unsigned>(newfd), static_cast<unsigned>(newfd));
    return result;
}

VCIOEMU_INTERPOSE int close_range(unsigned int first, unsigned int last, int flags) __THROW
{
    static const auto real = next_definition<close_range_fn>("close_range");
    const int result = real != nullptr ? real(first, last, flags) : missing();
    if (result == 0 && (flags & close_range_cloexec) == 0)
        vcioemu::descriptors_replaced(first, last);
    return result;
}

VCIOEMU_INTERPOSE void closefrom(int lowfd) __THROW
{
    static const auto real = next_definition<closefrom_fn>("closefrom");
    if (real != nullptr)
        real(lowfd);
    vcioemu::descriptors_replaced(static_cast<unsigned>(lowfd < 0 ? 0 : lowfd), UINT_MAX);
}

int vcioemu::real_close(int fd)
{
    const close_fn real = next_close();
    return real != nullptr ? real(fd) : missing();
}
