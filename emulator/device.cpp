// The vcio driver's side of the emulator: the device node, its descriptors
// and the property ioctl, checked and answered the way the kernel's driver
// does before and after handing the buffer to the firmware.
#include "device.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/gpio.h>
#include <new>
#include <pthread.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "emulator.h"
#include "trace.h"

namespace vcioemu {

namespace {

const char device_path[] = "/dev/vcio";

// The driver's one request: _IOWR of type 100, number 0 and a pointer-sized
// argument, as a process of this word size encodes it.
constexpr uint32_t property_request_code = _IOWR(100, 0, char *);

// The driver takes the total size, the status word and the closing end tag
// as its frame around the tag list, which must be whole words.
constexpr uint32_t driver_frame_bytes = 12;
// The driver's own copy of a larger buffer cannot be allocated.
constexpr uint32_t driver_allocation_limit = 4U << 20;
// The firmware refuses a buffer this large without parsing it.
constexpr uint32_t firmware_size_limit = 1U << 20;

const char *tag_name(uint32_t tag)
{
    switch (tag) {
    case tag_get_gpio_state:
        return "GET_GPIO_STATE";
    case tag_set_gpio_state:
        return "SET_GPIO_STATE";
    case tag_get_board_revision:
        return "GET_BOARD_REVISION";
    default:
        return nullptr;
    }
}

uint32_t value_bytes_needed(uint32_t tag)
{
    return tag == tag_get_board_revision ? revision_value_bytes : gpio_value_bytes;
}

void trace_tag(const TagEvent &event, uint32_t status)
{
    const char *name = tag_name(event.tag);
    if (name == nullptr || event.ignored)
        trace_out("vcio: tag 0x%08x not answered (status 0x%08x)\n", event.tag, status);
    else if (event.value_size < value_bytes_needed(event.tag))
        trace_out("vcio: %s with %u value bytes, %u needed (status 0x%08x)\n", name,
                  event.value_size, value_bytes_needed(event.tag), status);
    else if (event.tag == tag_get_board_revision && event.answered)
        trace_out("vcio: %s -> 0x%06x (status 0x%08x)\n", name, event.state, status);
    else if (event.tag == tag_get_board_revision)
        trace_out("vcio: %s (status 0x%08x)\n", name, status);
    else if (event.refusal != 0)
        trace_out("vcio: %s line %u refused (answer 0x%08x, status 0x%08x)\n", name, event.line,
                  event.refusal, status);
    else if (event.tag == tag_set_gpio_state || event.answered)
        trace_out("vcio: %s line %u -> %u (status 0x%08x)\n", name, event.line, event.state,
                  status);
    else
        trace_out("vcio: %s line %u (status 0x%08x)\n", name, event.line, status);
}

// One line per tag, all with the request's overall status.
void trace_tags(const TagTrace &tags, uint32_t status)
{
    for (size_t i = 0; i < tags.count; ++i)
        trace_tag(tags.events[i], status);
    if (tags.dropped != 0)
        trace_out("vcio: %zu more tags (status 0x%08x)\n", tags.dropped, status);
    if (tags.overrun)
        trace_out("vcio: tag list runs past the end of the buffer (status 0x%08x)\n", status);
    else if (tags.count == 0)
        trace_out("vcio: empty tag list (status 0x%08x)\n", status);
}

// Requests the kernel's file layer answers for every file before the driver
// sees anything.
bool is_file_layer_request(uint32_t code)
{
    return code == FIOCLEX || code == FIONCLEX || code == FIONBIO || code == FIOASYNC;
}

// Loaded into a process, the emulator reads its environment before the
// process can make a request.
__attribute__((constructor)) void load_emulator()
{
    Emulator::instance();
}

} // namespace

void trace_out(const char *format, ...)
{
    char line[256];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    if (length < 0)
        return;
    const size_t size = std::min(static_cast<size_t>(length), sizeof(line) - 1);
    size_t done = 0;
    while (done < size) {
        const ssize_t written = write(STDERR_FILENO, line + done, size - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        done += static_cast<size_t>(written);
    }
}

bool is_device_path(const char *path)
{
    return path != nullptr && std::strcmp(path, device_path) == 0;
}

// The callers are C library entry points: an allocation failure is reported
// as the kernel would report its own, never thrown through them.
int open_device(int flags)
{
    try {
        return Emulator::instance().open_device(flags);
    } catch (const std::bad_alloc &) {
        return -ENOMEM;
    }
}

bool is_emulated_path(const char *path)
{
    unsigned number = 0;
    return path != nullptr && (std::strcmp(path, device_path) == 0 || is_chip_path(path, number) ||
                               is_board_file(path));
}

int open_emulated(const char *path, int flags)
{
    try {
        if (is_device_path(path))
            return Emulator::instance().open_device(flags);
        return Emulator::instance().open_gpio_path(path, flags);
    } catch (const std::bad_alloc &) {
        return -ENOMEM;
    }
}

bool device_ioctl(int fd, unsigned long request, void *arg, int &err)
{
    try {
        return Emulator::instance().device_ioctl(fd, request, arg, err);
    } catch (const std::bad_alloc &) {
        err = ENOMEM;
        return true;
    }
}

bool release_device(int fd, int &err)
{
    return Emulator::instance().release_device(fd, err);
}

void descriptors_replaced(unsigned first, unsigned last)
{
    Emulator::instance().descriptors_replaced(first, last);
}

Emulator &Emulator::instance()
{
    static auto *const emulator = new Emulator();
    return *emulator;
}

Emulator::Emulator() : kept(kept_requests * kept_words)
{
    const Settings settings = settings_from_environment();
    faults = settings.faults;
    trace = settings.trace;
    firmware.set_board_revision(settings.board_revision);
    gpio_settings = settings.gpio;
    gpio.set_trace(trace);
    if (!gpio.build(settings.board_revision, gpio_settings))
        trace_out("vcioemu: VCIOEMU_GPIO: a name or hold is for a line board 0x%x does not have\n",
                  settings.board_revision);
    // A child forked while another thread held the mutex would inherit it
    // locked for good.
    pthread_atfork([] { instance().mutex.lock(); }, [] { instance().mutex.unlock(); },
                   [] { instance().mutex.unlock(); });
}

const Emulator::Descriptor *Emulator::find(int fd) const
{
    const auto it = std::find_if(descriptors.begin(), descriptors.end(),
                                 [fd](const Descriptor &d) { return d.fd == fd; });
    return it != descriptors.end() ? &*it : nullptr;
}

bool Emulator::is_live(int fd)
{
    const auto it = std::find_if(descriptors.begin(), descriptors.end(),
                                 [fd](const Descriptor &d) { return d.fd == fd; });
    if (it == descriptors.end())
        return false;
    struct stat st {};
    if (fstat(fd, &st) == 0 && st.st_dev == it->dev && st.st_ino == it->ino)
        return true;
    forget(fd);
    return false;
}

void Emulator::forget(int fd)
{
    const auto number = static_cast<unsigned>(fd);
    forget_where([](const Descriptor &d, unsigned first,
                    unsigned) { return static_cast<unsigned>(d.fd) == first; },
                 number, number);
}

// The kernel lets a line request's lines go when its file is closed.
void Emulator::forget_where(bool (*drop)(const Descriptor &, unsigned, unsigned), unsigned first,
                            unsigned last)
{
    for (const Descriptor &d : descriptors) {
        if (d.kind == Kind::line && drop(d, first, last))
            gpio.release(d.object);
    }
    descriptors.erase(
        std::remove_if(descriptors.begin(), descriptors.end(),
                       [drop, first, last](const Descriptor &d) { return drop(d, first, last); }),
        descriptors.end());
    open_count.store(descriptors.size(), std::memory_order_release);
}

int Emulator::new_descriptor(const char *name, bool cloexec, Kind kind, unsigned object)
{
    descriptors.reserve(descriptors.size() + 1);
    // A real descriptor of an anonymous file of its own: its number cannot
    // clash with any other descriptor, and its identity tells whether the
    // number still refers to it.
    const int fd = memfd_create(name, cloexec ? MFD_CLOEXEC : 0U);
    if (fd == -1)
        return -errno;
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        const int err = errno;
        real_close(fd);
        return -err;
    }
    // The number may still be listed when the process closed it by a raw
    // system call: it is this new file's now.
    forget(fd);
    descriptors.push_back({fd, st.st_dev, st.st_ino, kind, object, gpio.generation()});
    open_count.store(descriptors.size(), std::memory_order_release);
    return fd;
}

int Emulator::open_device(int flags)
{
    std::lock_guard<std::mutex> hold(mutex);
    open_flags = flags;
    int err = faults.open_errno;
    if (err == 0 && (flags & O_DIRECTORY) != 0)
        err = ENOTDIR;
    if (err == 0 && (flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL))
        err = EEXIST;
    if (err != 0) {
        if (trace)
            trace_out("vcio: open %s flags %d failed: %s\n", device_path, flags,
                      std::strerror(err));
        return -err;
    }

    const int fd = new_descriptor("vcio", (flags & O_CLOEXEC) != 0, Kind::vcio, 0);
    if (fd < 0)
        return fd;
    if ((flags & O_NONBLOCK) != 0 && fcntl(fd, F_SETFL, O_NONBLOCK) != 0) {
        err = errno;
        forget(fd);
        real_close(fd);
        return -err;
    }
    if (trace)
        trace_out("vcio: open %s flags %d -> %d\n", device_path, flags, fd);
    return fd;
}

int Emulator::open_gpio_path(const char *path, int flags)
{
    std::lock_guard<std::mutex> hold(mutex);
    unsigned number = 0;
    if (!is_chip_path(path, number))
        return open_board_file(path, flags);
    int result = -gpio.open_error(number, flags);
    // The kernel makes no difference between the access modes here.
    if (result == 0)
        result = new_descriptor("gpiochip", (flags & O_CLOEXEC) != 0, Kind::chip, number);
    if (result >= 0 && (flags & O_NONBLOCK) != 0 && fcntl(result, F_SETFL, O_NONBLOCK) != 0) {
        const int err = errno;
        forget(result);
        real_close(result);
        result = -err;
    }
    gpio.trace_open(number, flags, result);
    return result;
}

// The board files are read-only to their users: a sealed anonymous file
// holds the content, at offset 0, close-on-exec as asked.
int Emulator::open_board_file(const char *path, int flags)
{
    std::string content;
    int err = 0;
    if (!gpio.board_file(path, content))
        err = ENOENT;
    else if ((flags & O_ACCMODE) != O_RDONLY || (flags & O_CREAT) != 0)
        err = EACCES;
    else if ((flags & O_DIRECTORY) != 0)
        err = ENOTDIR;
    int fd = -1;
    if (err == 0) {
        fd = memfd_create("board-file",
                          ((flags & O_CLOEXEC) != 0 ? MFD_CLOEXEC : 0U) | MFD_ALLOW_SEALING);
        if (fd == -1)
            err = errno;
    }
    if (err == 0 &&
        (write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()) ||
         lseek(fd, 0, SEEK_SET) != 0 ||
         fcntl(fd, F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL) != 0)) {
        err = errno != 0 ? errno : EIO;
        real_close(fd);
    }
    if (trace && err != 0)
        trace_out("board: open %s flags %d -> %s\n", path, flags, errno_name(err).c_str());
    else if (trace)
        trace_out("board: open %s flags %d -> %d\n", path, flags, fd);
    return err != 0 ? -err : fd;
}

int Emulator::gpio_ioctl(const Descriptor &descriptor, uint32_t code, void *arg)
{
    if (descriptor.kind == Kind::line)
        return gpio.line_ioctl(descriptor.object, code, arg);
    const unsigned chip = descriptor.object;
    const unsigned generation = descriptor.generation;
    if (code != GPIO_V2_GET_LINE_IOCTL) {
        unsigned unused = 0;
        return gpio.chip_ioctl(chip, generation, code, arg, -1, unused);
    }
    // The kernel's line request descriptors are always close-on-exec.
    const int line_fd = new_descriptor("gpio-line", true, Kind::line, 0);
    if (line_fd < 0)
        return -line_fd;
    unsigned id = 0;
    const int err = gpio.chip_ioctl(chip, generation, code, arg, line_fd, id);
    if (err != 0) {
        forget(line_fd);
        real_close(line_fd);
        return err;
    }
    for (Descriptor &d : descriptors) {
        if (d.fd == line_fd)
            d.object = id;
    }
    return 0;
}

bool Emulator::device_ioctl(int fd, unsigned long request, void *arg, int &err)
{
    if (open_count.load(std::memory_order_acquire) == 0)
        return false;
    std::lock_guard<std::mutex> hold(mutex);
    const Descriptor *descriptor = find(fd);
    if (descriptor == nullptr)
        return false;
    // The kernel takes the request code as a 32-bit number.
    const auto code = static_cast<uint32_t>(request);
    if (descriptor->kind != Kind::vcio) {
        if (is_file_layer_request(code))
            return false;
        err = gpio_ioctl(*descriptor, code, arg);
        return true;
    }
    request_code = request;
    if (is_file_layer_request(code))
        return false;
    if (code != property_request_code) {
        if (trace)
            trace_out("vcio: unknown ioctl 0x%08x (%s)\n", code, std::strerror(EINVAL));
        err = EINVAL;
    } else if (arg == nullptr) {
        err = EFAULT;
    } else {
        err = property_request(static_cast<unsigned char *>(arg));
    }
    return true;
}

bool Emulator::release_device(int fd, int &err)
{
    if (open_count.load(std::memory_order_acquire) == 0)
        return false;
    std::lock_guard<std::mutex> hold(mutex);
    if (!is_live(fd))
        return false;
    const Descriptor descriptor = *find(fd);
    // Like Linux, the descriptor is gone even when close reports an error.
    forget(fd);
    if (descriptor.kind == Kind::chip && descriptor.generation == gpio.generation())
        gpio.trace_close(descriptor.object, fd);
    if (descriptor.kind != Kind::vcio)
        return true;
    err = faults.close_errno;
    if (trace && err != 0)
        trace_out("vcio: close %d failed: %s (descriptor released)\n", fd, std::strerror(err));
    else if (trace)
        trace_out("vcio: close %d\n", fd);
    return true;
}

void Emulator::descriptors_replaced(unsigned first, unsigned last)
{
    if (open_count.load(std::memory_order_acquire) == 0)
        return;
    std::lock_guard<std::mutex> hold(mutex);
    forget_where(
        [](const Descriptor &d, unsigned low, unsigned high) {
            const auto number = static_cast<unsigned>(d.fd);
            return number >= low && number <= high;
        },
        first, last);
}

// The driver's property request: the caller's buffer starts with its total
// size in bytes.
int Emulator::property_request(unsigned char *user)
{
    uint32_t size = 0;
    std::memcpy(&size, user, sizeof(size));
    keep_request(user, size);
    if (faults.ioctl_errno != 0) {
        if (trace)
            trace_out("vcio: request failed: %s\n", std::strerror(faults.ioctl_errno));
        return faults.ioctl_errno;
    }
    if (size < driver_frame_bytes || (size - driver_frame_bytes) % 4 != 0) {
        if (trace)
            trace_out("vcio: request of %u bytes refused (%s)\n", size, std::strerror(EINVAL));
        return EINVAL;
    }
    if (size > driver_allocation_limit) {
        if (trace)
            trace_out("vcio: request of %u bytes refused (%s)\n", size, std::strerror(ENOMEM));
        return ENOMEM;
    }
    return run_firmware(user, size / 4);
}

// Hands the firmware the driver's own copy of the buffer, then gives the
// answer back only when the firmware reports success: on failure the
// caller's buffer stays as it was and the ioctl fails with EINVAL.
int Emulator::run_firmware(unsigned char *user, size_t count)
{
    scratch.resize(count);
    std::memcpy(scratch.data(), user, count * sizeof(uint32_t));
    // The driver frames the tag list itself: a request status and a closing
    // end tag, whatever the caller wrote there.
    scratch[1] = status_request;
    scratch[count - 1] = tag_end;

    // The firmware refuses an oversized buffer without parsing it, and a
    // firmware made to fail carries nothing out.
    const bool oversized = count * sizeof(uint32_t) >= firmware_size_limit;
    const uint32_t chosen = faults.raw_status != 0 ? faults.raw_status : faults.firmware_status;
    const bool failing = chosen != 0 && chosen != status_success;
    TagTrace tags;
    TagTrace *const tag_trace = trace && !oversized ? &tags : nullptr;
    uint32_t status = failing ? chosen : status_error;
    if (!oversized && failing)
        Firmware::describe(scratch.data(), count, tag_trace);
    else if (!oversized)
        status = firmware.answer(scratch.data(), count, faults.firmware, tag_trace);

    if (tag_trace != nullptr)
        trace_tags(tags, status);
    else if (trace && oversized)
        trace_out("vcio: request of %zu bytes, too large for the firmware (status 0x%08x)\n",
                  count * sizeof(uint32_t), status);

    if (status != status_success && faults.raw_status == 0)
        return EINVAL;
    scratch[1] = status;
    std::memcpy(user, scratch.data(), count * sizeof(uint32_t));
    return 0;
}

void Emulator::keep_request(const unsigned char *user, uint32_t size)
{
    const size_t slot = total_requests % kept_requests;
    // Word 0 is always read, whatever size it gives.
    const size_t words = std::min<size_t>(std::max<uint32_t>(size / 4, 1), kept_words);
    std::memcpy(&kept[slot * kept_words], user, words * sizeof(uint32_t));
    kept_count[slot] = static_cast<unsigned>(words);
    ++total_requests;
}

// Checking each descriptor drops those closed behind the emulator's back.
int Emulator::count_live(bool vcio)
{
    std::lock_guard<std::mutex> hold(mutex);
    size_t i = 0;
    while (i < descriptors.size()) {
        if (is_live(descriptors[i].fd))
            ++i;
    }
    return static_cast<int>(
        std::count_if(descriptors.begin(), descriptors.end(),
                      [vcio](const Descriptor &d) { return (d.kind == Kind::vcio) == vcio; }));
}

int Emulator::open_descriptors()
{
    return count_live(true);
}

int Emulator::gpio_open_descriptors()
{
    return count_live(false);
}

int Emulator::gpio_line_value(unsigned chip, unsigned offset)
{
    std::lock_guard<std::mutex> hold(mutex);
    return gpio.line_value(chip, offset);
}

int Emulator::gpio_line_output(unsigned chip, unsigned offset)
{
    std::lock_guard<std::mutex> hold(mutex);
    return gpio.line_output(chip, offset);
}

int Emulator::gpio_line_requested(unsigned chip, unsigned offset)
{
    std::lock_guard<std::mutex> hold(mutex);
    return gpio.line_requested(chip, offset);
}

unsigned Emulator::gpio_request_count()
{
    std::lock_guard<std::mutex> hold(mutex);
    return gpio.request_count();
}

unsigned Emulator::gpio_drive_count()
{
    std::lock_guard<std::mutex> hold(mutex);
    return gpio.drive_count();
}

// The layout changes only with the expander; names, holds and the rest
// apply to the chips as they are.
bool Emulator::configure_gpio(const char *words)
{
    std::lock_guard<std::mutex> hold(mutex);
    GpioSettings chosen = gpio_settings;
    if (!apply_gpio_words(words, chosen, nullptr))
        return false;
    const bool rebuild = chosen.expander != gpio_settings.expander;
    gpio_settings = chosen;
    if (rebuild)
        return gpio.build(firmware.board_revision(), gpio_settings);
    return gpio.apply_lines(gpio_settings);
}

int Emulator::last_open_flags()
{
    std::lock_guard<std::mutex> hold(mutex);
    return open_flags;
}

unsigned Emulator::request_count()
{
    std::lock_guard<std::mutex> hold(mutex);
    return total_requests;
}

int Emulator::request_words(unsigned index, uint32_t *words, unsigned max)
{
    std::lock_guard<std::mutex> hold(mutex);
    const size_t held = std::min<size_t>(total_requests, kept_requests);
    if (index >= held)
        return -1;
    const size_t slot = (total_requests - held + index) % kept_requests;
    const unsigned count = kept_count[slot];
    if (words != nullptr)
        std::memcpy(words, &kept[slot * kept_words], std::min(count, max) * sizeof(uint32_t));
    return static_cast<int>(count);
}

unsigned long Emulator::last_request_code()
{
    std::lock_guard<std::mutex> hold(mutex);
    return request_code;
}

int Emulator::line_state(uint32_t line)
{
    std::lock_guard<std::mutex> hold(mutex);
    return static_cast<int>(firmware.line_state(line));
}

void Emulator::set_line_state(uint32_t line, int state)
{
    std::lock_guard<std::mutex> hold(mutex);
    firmware.set_line_state(line, state != 0 ? 1 : 0);
}

void Emulator::reset()
{
    std::lock_guard<std::mutex> hold(mutex);
    total_requests = 0;
    kept_count.fill(0);
    request_code = 0;
    firmware.forget_lines();
    firmware.set_board_revision(default_board_revision);
    faults = Faults();
    gpio_settings = GpioSettings();
    gpio.build(default_board_revision, gpio_settings);
    gpio.forget_counts();
}

void Emulator::set_fault(Fault fault, uint32_t value)
{
    std::lock_guard<std::mutex> hold(mutex);
    switch (fault) {
    case Fault::open:
        faults.open_errno = static_cast<int>(value);
        break;
    case Fault::ioctl:
        faults.ioctl_errno = static_cast<int>(value);
        break;
    case Fault::close:
        faults.close_errno = static_cast<int>(value);
        break;
    case Fault::firmware_status:
        faults.firmware_status = value;
        break;
    case Fault::raw_status:
        faults.raw_status = value;
        break;
    case Fault::unanswered_tag:
        faults.firmware.unanswered_tag = value;
        break;
    }
}

void Emulator::refuse_line(bool on, uint32_t line)
{
    std::lock_guard<std::mutex> hold(mutex);
    faults.firmware.refuse_line = on;
    faults.firmware.refused_line = line;
}

void Emulator::set_board_revision(uint32_t revision)
{
    std::lock_guard<std::mutex> hold(mutex);
    firmware.set_board_revision(revision);
    gpio.build(revision, gpio_settings);
}

void Emulator::set_trace(bool on)
{
    std::lock_guard<std::mutex> hold(mutex);
    trace = on;
    gpio.set_trace(on);
}

} // namespace vcioemu
