// The emulated "/dev/vcio" as the C library interposers see it. Each function
// decides whether a call is the device's; calls that are not go on to the
// real C library untouched.
#ifndef VCIOEMU_DEVICE_H
#define VCIOEMU_DEVICE_H

namespace vcioemu {

// True for the path the vcio driver's device node lives at.
bool is_device_path(const char *path);

// Opens an emulated descriptor: the descriptor, or -errno.
int open_device(int flags);

// True for every path the emulator answers: the vcio device, the GPIO chips
// and the board files.
bool is_emulated_path(const char *path);
// Opens an emulated path: the descriptor, or -errno.
int open_emulated(const char *path, int flags);

// For an ioctl on an emulated descriptor, answers it as the driver does and
// returns true, with err set to 0 or the errno of the failure. Returns false
// for any other descriptor, and for the requests that the kernel's file layer
// answers before the driver sees them: the real C library then runs those
// on the descriptor.
bool device_ioctl(int fd, unsigned long request, void *arg, int &err);

// Forgets an emulated descriptor before the caller closes it: returns true
// when fd was one, with err set to an injected close failure (of "/dev/vcio")
// or 0. A line request's lines are released.
bool release_device(int fd, int &err);

// Forgets the emulated descriptors numbered first to last, which the process
// has closed or pointed at other files (dup2, dup3, close_range, closefrom).
void descriptors_replaced(unsigned first, unsigned last);

// The C library's own close, past the emulator.
int real_close(int fd);

} // namespace vcioemu

#endif // VCIOEMU_DEVICE_H
