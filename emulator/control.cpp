// The emulator's control interface, for tests in the same process, and the
// environment variables that choose faults and the trace for a whole process.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "emulator.h"
#include "regulators.h"
#include "trace.h"

#pragma GCC visibility push(default)
#include "vcio_emulator.h"
#pragma GCC visibility pop

namespace vcioemu {

namespace {

struct ErrnoName {
    const char *name;
    int value;
};

// The errors a test is likely to want from open, ioctl or close.
constexpr ErrnoName errno_names[] = {
    {"EPERM", EPERM},         {"ENOENT", ENOENT},   {"EINTR", EINTR},   {"EIO", EIO},
    {"ENXIO", ENXIO},         {"EBADF", EBADF},     {"EAGAIN", EAGAIN}, {"ENOMEM", ENOMEM},
    {"EACCES", EACCES},       {"EFAULT", EFAULT},   {"EBUSY", EBUSY},   {"ENODEV", ENODEV},
    {"EINVAL", EINVAL},       {"ENFILE", ENFILE},   {"EMFILE", EMFILE}, {"ENOTTY", ENOTTY},
    {"EROFS", EROFS},         {"ENOSPC", ENOSPC},   {"EPIPE", EPIPE},   {"ENOSYS", ENOSYS},
    {"ETIMEDOUT", ETIMEDOUT}, {"ENOTDIR", ENOTDIR}, {"EEXIST", EEXIST}, {"EOPNOTSUPP", EOPNOTSUPP},
};

// A number in C notation (decimal, 0x hexadecimal, 0 octal) that fits 32 bits.
bool parse_number(const std::string &text, uint32_t &value)
{
    if (text.empty() || text[0] == '-')
        return false;
    char *end = nullptr;
    errno = 0;
    const unsigned long long number = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || number > UINT32_MAX)
        return false;
    value = static_cast<uint32_t>(number);
    return true;
}

bool parse_errno(const std::string &text, uint32_t &value)
{
    for (const ErrnoName &entry : errno_names) {
        if (text == entry.name) {
            value = static_cast<uint32_t>(entry.value);
            return true;
        }
    }
    return parse_number(text, value);
}

// Applies one "name=value" item of VCIOEMU_FAULTS.
bool apply_fault(const std::string &item, Faults &faults)
{
    const size_t equals = item.find('=');
    if (equals == std::string::npos)
        return false;
    const std::string name = item.substr(0, equals);
    const std::string text = item.substr(equals + 1);
    uint32_t value = 0;
    if (name == "open" && parse_errno(text, value))
        faults.open_errno = static_cast<int>(value);
    else if (name == "ioctl" && parse_errno(text, value))
        faults.ioctl_errno = static_cast<int>(value);
    else if (name == "close" && parse_errno(text, value))
        faults.close_errno = static_cast<int>(value);
    else if (name == "status" && parse_number(text, value))
        faults.firmware_status = value;
    else if (name == "raw_status" && parse_number(text, value))
        faults.raw_status = value;
    else if (name == "refuse" && parse_number(text, value)) {
        faults.firmware.refuse_line = true;
        faults.firmware.refused_line = value;
    } else if (name == "unanswered" && parse_number(text, value))
        faults.firmware.unanswered_tag = value;
    else
        return false;
    return true;
}

// Calls apply for each non-empty item of a comma separated list, and
// complain for each it refuses.
template <typename Apply>
bool apply_items(const std::string &list, Apply apply, void (*complain)(const std::string &))
{
    bool all = true;
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = list.find(',', start);
        if (comma == std::string::npos)
            comma = list.size();
        const std::string item = list.substr(start, comma - start);
        if (!item.empty() && !apply(item)) {
            all = false;
            if (complain != nullptr)
                complain(item);
        }
        start = comma + 1;
    }
    return all;
}

// A fault or a board that is silently not what was asked for would let a
// test pass for the wrong reason: say so.
void complain_about_fault(const std::string &item)
{
    std::fprintf(stderr, "vcioemu: VCIOEMU_FAULTS: cannot use \"%s\"\n", item.c_str());
}

void complain_about_gpio(const std::string &item)
{
    std::fprintf(stderr, "vcioemu: VCIOEMU_GPIO: cannot use \"%s\"\n", item.c_str());
}

} // namespace

std::string errno_name(int err)
{
    const auto *entry = std::find_if(std::begin(errno_names), std::end(errno_names),
                                     [err](const ErrnoName &e) { return e.value == err; });
    return entry != std::end(errno_names) ? entry->name : std::to_string(err);
}

bool errno_from_name(const std::string &text, int &err)
{
    uint32_t value = 0;
    if (!parse_errno(text, value) || value > INT32_MAX)
        return false;
    err = static_cast<int>(value);
    return true;
}

bool apply_gpio_words(const char *words, GpioSettings &settings,
                      void (*complain)(const std::string &word))
{
    return apply_items(
        words, [&settings](const std::string &word) { return apply_gpio_word(word, settings); },
        complain);
}

Settings settings_from_environment()
{
    Settings settings;
    const char *trace = std::getenv("VCIOEMU_TRACE");
    settings.trace = trace != nullptr && *trace != '\0' && std::strcmp(trace, "0") != 0;

    const char *revision = std::getenv("VCIOEMU_REVISION");
    if (revision != nullptr && !parse_number(revision, settings.board_revision))
        std::fprintf(stderr, "vcioemu: VCIOEMU_REVISION: cannot use \"%s\"\n", revision);

    const char *gpio = std::getenv("VCIOEMU_GPIO");
    if (gpio != nullptr)
        apply_gpio_words(gpio, settings.gpio, complain_about_gpio);

    const char *faults = std::getenv("VCIOEMU_FAULTS");
    if (faults != nullptr) {
        apply_items(
            faults,
            [&settings](const std::string &item) { return apply_fault(item, settings.faults); },
            complain_about_fault);
    }
    return settings;
}

} // namespace vcioemu

using vcioemu::Emulator;
using vcioemu::Fault;

int vcioemu_open_descriptors(void)
{
    return Emulator::instance().open_descriptors();
}

int vcioemu_last_open_flags(void)
{
    return Emulator::instance().last_open_flags();
}

unsigned vcioemu_request_count(void)
{
    return Emulator::instance().request_count();
}

int vcioemu_request_words(unsigned index, uint32_t *words, unsigned max)
{
    return Emulator::instance().request_words(index, words, max);
}

unsigned long vcioemu_last_request_code(void)
{
    return Emulator::instance().last_request_code();
}

int vcioemu_line_state(uint32_t line)
{
    return Emulator::instance().line_state(line);
}

void vcioemu_set_line_state(uint32_t line, int state)
{
    Emulator::instance().set_line_state(line, state);
}

void vcioemu_reset(void)
{
    Emulator::instance().reset();
    vcioemu::reset_regulator_counts();
}

void vcioemu_fail_open(int err)
{
    Emulator::instance().set_fault(Fault::open, static_cast<uint32_t>(err));
}

void vcioemu_fail_ioctl(int err)
{
    Emulator::instance().set_fault(Fault::ioctl, static_cast<uint32_t>(err));
}

void vcioemu_fail_close(int err)
{
    Emulator::instance().set_fault(Fault::close, static_cast<uint32_t>(err));
}

void vcioemu_firmware_status(uint32_t status)
{
    Emulator::instance().set_fault(Fault::firmware_status, status);
}

void vcioemu_raw_status(uint32_t status)
{
    Emulator::instance().set_fault(Fault::raw_status, status);
}

void vcioemu_refuse_line(uint32_t line, int on)
{
    Emulator::instance().refuse_line(on != 0, line);
}

void vcioemu_leave_unanswered(uint32_t tag)
{
    Emulator::instance().set_fault(Fault::unanswered_tag, tag);
}

void vcioemu_board_revision(uint32_t revision)
{
    Emulator::instance().set_board_revision(revision);
}

void vcioemu_trace(int on)
{
    Emulator::instance().set_trace(on != 0);
}

int vcioemu_gpio_configure(const char *words)
{
    return Emulator::instance().configure_gpio(words != nullptr ? words : "") ? 0 : -1;
}

int vcioemu_gpio_open_descriptors(void)
{
    return Emulator::instance().gpio_open_descriptors();
}

int vcioemu_gpio_line_value(unsigned chip, unsigned offset)
{
    return Emulator::instance().gpio_line_value(chip, offset);
}

int vcioemu_gpio_line_output(unsigned chip, unsigned offset)
{
    return Emulator::instance().gpio_line_output(chip, offset);
}

int vcioemu_gpio_line_requested(unsigned chip, unsigned offset)
{
    return Emulator::instance().gpio_line_requested(chip, offset);
}

unsigned vcioemu_gpio_request_count(void)
{
    return Emulator::instance().gpio_request_count();
}

unsigned vcioemu_gpio_drive_count(void)
{
    return Emulator::instance().gpio_drive_count();
}

void vcioemu_regulators(const char *folder)
{
    vcioemu::set_regulator_folder(folder);
}

unsigned vcioemu_regulator_state_opens(void)
{
    return vcioemu::regulator_state_opens();
}
