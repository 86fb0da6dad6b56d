#include "gpiochips.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <linux/gpio.h>

#include "boards.h"
#include "trace.h"

namespace vcioemu {

// The structures' sizes are the kernel's ABI: a header that disagreed would
// make the emulator agree with a caller built against the same mistake.
static_assert(sizeof(gpiochip_info) == 68, "gpiochip_info");
static_assert(sizeof(gpio_v2_line_values) == 16, "gpio_v2_line_values");
static_assert(sizeof(gpio_v2_line_attribute) == 16, "gpio_v2_line_attribute");
static_assert(sizeof(gpio_v2_line_config) == 272, "gpio_v2_line_config");
static_assert(sizeof(gpio_v2_line_request) == 592, "gpio_v2_line_request");
static_assert(sizeof(gpio_v2_line_info) == 256, "gpio_v2_line_info");

namespace {

const char chip_prefix[] = "/dev/gpiochip";
const char device_tree_revision[] = "/proc/device-tree/system/linux,revision";
const char firmware_tree_revision[] = "/sys/firmware/devicetree/base/system/linux,revision";
const char cpuinfo_path[] = "/proc/cpuinfo";
const char persist_path[] = "/sys/module/pinctrl_bcm2835/parameters/persist_gpio_outputs";

const char expander_label[] = "raspberrypi-exp-gpio";
constexpr unsigned expander_lines = 8;
// Expander line k is the firmware's line 128 + k.
constexpr uint32_t expander_first_line = 128;

constexpr uint64_t direction_flags = GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_OUTPUT;
constexpr uint64_t edge_flags = GPIO_V2_LINE_FLAG_EDGE_RISING | GPIO_V2_LINE_FLAG_EDGE_FALLING;
constexpr uint64_t drive_flags = GPIO_V2_LINE_FLAG_OPEN_DRAIN | GPIO_V2_LINE_FLAG_OPEN_SOURCE;
constexpr uint64_t bias_flags = GPIO_V2_LINE_FLAG_BIAS_PULL_UP | GPIO_V2_LINE_FLAG_BIAS_PULL_DOWN |
                                GPIO_V2_LINE_FLAG_BIAS_DISABLED;
// The event clocks came after uAPI v2 itself (Linux 5.11 and 5.19): the
// headers of a 5.10 system (Debian 11) do not name them, the kernels the
// emulator stands for take them.
constexpr uint64_t event_clock_realtime = 1ULL << 11; // GPIO_V2_LINE_FLAG_EVENT_CLOCK_REALTIME
constexpr uint64_t event_clock_hte = 1ULL << 12;      // GPIO_V2_LINE_FLAG_EVENT_CLOCK_HTE
// USED is the kernel's to report, never the caller's to ask for.
constexpr uint64_t valid_flags = GPIO_V2_LINE_FLAG_ACTIVE_LOW | direction_flags | edge_flags |
                                 drive_flags | bias_flags | event_clock_realtime | event_clock_hte;

template <typename T, size_t N> bool all_zero(const T (&words)[N])
{
    return std::all_of(std::begin(words), std::end(words), [](const T &word) { return word == 0; });
}

bool bit(uint64_t bits, unsigned index)
{
    return ((bits >> index) & 1U) != 0;
}

// A number of text, decimal, fitting unsigned.
bool parse_unsigned(const std::string &text, unsigned &value)
{
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = static_cast<unsigned>(std::strtoul(text.c_str(), nullptr, 10));
    return true;
}

// "CHIP:OFFSET:TEXT" with a non-empty text.
bool parse_line_text(const std::string &value, GpioSettings::LineText &line)
{
    const size_t first = value.find(':');
    const size_t second = first == std::string::npos ? first : value.find(':', first + 1);
    if (second == std::string::npos || second + 1 >= value.size())
        return false;
    line.text = value.substr(second + 1);
    return parse_unsigned(value.substr(0, first), line.chip) &&
           parse_unsigned(value.substr(first + 1, second - first - 1), line.offset);
}

// The flags of a line of a request: an attribute of flags for it, else the
// request's own.
uint64_t line_flags(const gpio_v2_line_config &config, unsigned index)
{
    for (unsigned i = 0; i < config.num_attrs && i < GPIO_V2_LINE_NUM_ATTRS_MAX; ++i) {
        const gpio_v2_line_config_attribute &attr = config.attrs[i];
        if (attr.attr.id == GPIO_V2_LINE_ATTR_ID_FLAGS && bit(attr.mask, index))
            return attr.attr.flags;
    }
    return config.flags;
}

// The value an output line is driven to: its bit of the first output-values
// attribute for it; 0 without one.
uint32_t output_value(const gpio_v2_line_config &config, unsigned index)
{
    for (unsigned i = 0; i < config.num_attrs && i < GPIO_V2_LINE_NUM_ATTRS_MAX; ++i) {
        const gpio_v2_line_config_attribute &attr = config.attrs[i];
        if (attr.attr.id == GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES && bit(attr.mask, index))
            return bit(attr.attr.values, index) ? 1 : 0;
    }
    return 0;
}

bool debounced(const gpio_v2_line_config &config, unsigned index)
{
    for (unsigned i = 0; i < config.num_attrs && i < GPIO_V2_LINE_NUM_ATTRS_MAX; ++i) {
        const gpio_v2_line_config_attribute &attr = config.attrs[i];
        if (attr.attr.id == GPIO_V2_LINE_ATTR_ID_DEBOUNCE && bit(attr.mask, index))
            return true;
    }
    return false;
}

// The kernel's rules for one line's flags (gpio_v2_line_flags_validate);
// Raspberry Pi's kernels have no hardware timestamp engine.
int validate_flags(uint64_t flags)
{
    if ((flags & ~valid_flags) != 0)
        return EINVAL;
    if ((flags & event_clock_hte) != 0)
        return EOPNOTSUPP;
    if ((flags & direction_flags) == direction_flags)
        return EINVAL;
    if ((flags & edge_flags) != 0 && (flags & GPIO_V2_LINE_FLAG_INPUT) == 0)
        return EINVAL;
    if ((flags & drive_flags) == drive_flags)
        return EINVAL;
    if ((flags & drive_flags) != 0 && (flags & GPIO_V2_LINE_FLAG_OUTPUT) == 0)
        return EINVAL;
    if ((flags & bias_flags) != 0 && (flags & direction_flags) == 0)
        return EINVAL;
    const uint64_t bias = flags & bias_flags;
    if ((bias & (bias - 1)) != 0)
        return EINVAL;
    return 0;
}

// The configuration's frame, its attributes and each line's flags. The
// kernel itself does not look at attribute ids and padding; refusing them
// here catches a caller that leaves them to chance.
int validate_config(const gpio_v2_line_config &config, unsigned lines)
{
    if (config.num_attrs > GPIO_V2_LINE_NUM_ATTRS_MAX || !all_zero(config.padding))
        return EINVAL;
    for (unsigned i = 0; i < config.num_attrs; ++i) {
        const gpio_v2_line_attribute &attr = config.attrs[i].attr;
        if (attr.id < GPIO_V2_LINE_ATTR_ID_FLAGS || attr.id > GPIO_V2_LINE_ATTR_ID_DEBOUNCE ||
            attr.padding != 0)
            return EINVAL;
    }
    for (unsigned i = 0; i < lines; ++i) {
        const uint64_t flags = line_flags(config, i);
        const int err = validate_flags(flags);
        if (err != 0)
            return err;
        if (debounced(config, i) && (flags & GPIO_V2_LINE_FLAG_INPUT) == 0)
            return EINVAL;
    }
    return 0;
}

// How a line is configured, for the trace: "output 1", "input", "as-is".
std::string mode_text(const gpio_v2_line_config &config, unsigned index)
{
    const uint64_t flags = line_flags(config, index);
    if ((flags & GPIO_V2_LINE_FLAG_OUTPUT) != 0)
        return "output " + std::to_string(output_value(config, index));
    return (flags & GPIO_V2_LINE_FLAG_INPUT) != 0 ? "input" : "as-is";
}

// A name field of the kernel: at most 31 bytes and a NUL.
void copy_name(char (&field)[GPIO_MAX_NAME_SIZE], const std::string &text)
{
    std::memset(field, 0, sizeof(field));
    std::memcpy(field, text.data(), std::min(text.size(), sizeof(field) - 1));
}

std::string fixed_name(const char (&field)[GPIO_MAX_NAME_SIZE])
{
    return {field, strnlen(field, sizeof(field))};
}

} // namespace

bool apply_gpio_word(const std::string &word, GpioSettings &settings)
{
    const size_t equals = word.find('=');
    const std::string name = word.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : word.substr(equals + 1);
    if (equals == std::string::npos) {
        if (name == "no-device-tree")
            settings.device_tree = false;
        else if (name == "no-cpuinfo")
            settings.cpuinfo = false;
        else if (name == "no-expander")
            settings.expander = false;
        else
            return false;
        return true;
    }
    GpioSettings::LineText line{0, 0, ""};
    if (name == "chips" || name == "sets") {
        int err = 0;
        if (!errno_from_name(value, err) || err == 0)
            return false;
        (name == "chips" ? settings.chips_errno : settings.sets_errno) = err;
        return true;
    }
    if (name == "persist" && (value == "Y" || value == "N" || value == "none")) {
        settings.persist = value == "Y"   ? Persist::yes
                           : value == "N" ? Persist::no
                                          : Persist::absent;
        return true;
    }
    if ((name == "hold" || name == "name") && parse_line_text(value, line)) {
        (name == "hold" ? settings.holds : settings.names).push_back(line);
        return true;
    }
    if (name == "pull" && parse_line_text(value, line) &&
        (line.text == "up" || line.text == "down")) {
        settings.pulls.push_back(line);
        return true;
    }
    return false;
}

bool is_board_file(const char *path)
{
    return std::strcmp(path, device_tree_revision) == 0 ||
           std::strcmp(path, firmware_tree_revision) == 0 || std::strcmp(path, cpuinfo_path) == 0 ||
           std::strcmp(path, persist_path) == 0;
}

bool is_chip_path(const char *path, unsigned &number)
{
    if (std::strncmp(path, chip_prefix, sizeof(chip_prefix) - 1) != 0)
        return false;
    const std::string rest = path + sizeof(chip_prefix) - 1;
    const bool canonical = rest == "0" || (!rest.empty() && rest[0] != '0');
    if (!canonical || !parse_unsigned(rest, number))
        number = UINT32_MAX;
    return true;
}

bool GpioKernel::build(uint32_t board_revision, const GpioSettings &chosen)
{
    revision = board_revision;
    settings = chosen;
    ++current_generation;
    requests.clear();
    chips.clear();
    const BoardLayout layout = board_layout(revision);
    chips.push_back({layout.soc_label, false, std::vector<Line>(layout.soc_lines)});
    if (layout.expander_names != nullptr && settings.expander) {
        chips.push_back({expander_label, true, std::vector<Line>(expander_lines)});
        for (unsigned k = 0; k < expander_lines; ++k)
            chips[1].lines[k].name = (*layout.expander_names)[k];
    }
    for (unsigned i = 0; i < layout.noted_count; ++i) {
        const NotedLine &noted = layout.noted[i];
        if (noted.chip >= chips.size() || noted.offset >= chips[noted.chip].lines.size())
            continue;
        Line &line = chips[noted.chip].lines[noted.offset];
        if (noted.name != nullptr)
            line.name = noted.name;
        if (noted.consumer != nullptr) {
            // The regulators drive their lines, off until a camera runs.
            line.kernel_held = true;
            line.consumer = noted.consumer;
            line.output = true;
        }
    }
    return apply_lines(settings);
}

bool GpioKernel::apply_lines(const GpioSettings &chosen)
{
    settings.device_tree = chosen.device_tree;
    settings.cpuinfo = chosen.cpuinfo;
    settings.chips_errno = chosen.chips_errno;
    settings.sets_errno = chosen.sets_errno;
    settings.persist = chosen.persist;
    bool all_found = true;
    for (const GpioSettings::LineText &name : chosen.names) {
        Line *line = mutable_line(name.chip, name.offset);
        if (line != nullptr)
            line->name = name.text;
        all_found = all_found && line != nullptr;
    }
    for (const GpioSettings::LineText &hold : chosen.holds) {
        Line *line = mutable_line(hold.chip, hold.offset);
        if (line != nullptr) {
            line->kernel_held = true;
            line->consumer = hold.text;
        }
        all_found = all_found && line != nullptr;
    }
    // The expander's driver offers no bias: its lines read what the firmware
    // has, and a pull there would stand for nothing a board does.
    for (const GpioSettings::LineText &pull : chosen.pulls) {
        Line *line = mutable_line(pull.chip, pull.offset);
        const bool soc_line = line != nullptr && !chips[pull.chip].expander;
        if (soc_line)
            line->pulled_up = pull.text == "up";
        all_found = all_found && soc_line;
    }
    return all_found;
}

GpioKernel::Line *GpioKernel::mutable_line(unsigned chip, unsigned offset)
{
    if (chip >= chips.size() || offset >= chips[chip].lines.size())
        return nullptr;
    return &chips[chip].lines[offset];
}

const GpioKernel::Line *GpioKernel::line_at(unsigned chip, unsigned offset) const
{
    if (chip >= chips.size() || offset >= chips[chip].lines.size())
        return nullptr;
    return &chips[chip].lines[offset];
}

GpioKernel::Chip *GpioKernel::chip_at(unsigned number, unsigned generation)
{
    if (generation != current_generation || number >= chips.size())
        return nullptr;
    return &chips[number];
}

// A SoC line set to input reads its bias, down unless a pull word says up:
// nothing else drives the camera's pins.
uint32_t GpioKernel::level(const Chip &chip, unsigned offset) const
{
    if (chip.expander)
        return firmware.line_state(expander_first_line + offset);
    const Line &line = chip.lines[offset];
    if (line.output)
        return line.level;
    return line.pulled_up ? 1 : 0;
}

void GpioKernel::drive(Chip &chip, unsigned offset, uint32_t value)
{
    if (chip.expander)
        firmware.set_line_state(expander_first_line + offset, value);
    else
        chip.lines[offset].level = value;
}

// Chips the board lacks answer ENOENT whatever the fault: there is no node
// to be refused. A chip opened read-only may request lines all the same, as
// the kernel checks no access mode on its ioctls.
int GpioKernel::open_error(unsigned number, int flags) const
{
    if (number >= chips.size())
        return ENOENT;
    if (settings.chips_errno != 0)
        return settings.chips_errno;
    if ((flags & O_DIRECTORY) != 0)
        return ENOTDIR;
    if ((flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL))
        return EEXIST;
    return 0;
}

// Opens of nodes the board lacks are left out: a search of every node
// would bury the rest.
void GpioKernel::trace_open(unsigned number, int flags, int result) const
{
    if (!trace || result == -ENOENT)
        return;
    if (result < 0)
        trace_out("gpio: open %s%u flags %d -> %s\n", chip_prefix, number, flags,
                  errno_name(-result).c_str());
    else
        trace_out("gpio: open %s%u flags %d -> %d\n", chip_prefix, number, flags, result);
}

void GpioKernel::trace_close(unsigned number, int fd) const
{
    if (trace)
        trace_out("gpio: close %s%u fd %d\n", chip_prefix, number, fd);
}

int GpioKernel::chip_ioctl(unsigned number, unsigned generation, uint32_t code, void *arg,
                           int line_fd, unsigned &id)
{
    Chip *chip = chip_at(number, generation);
    if (chip == nullptr)
        return ENODEV;
    if (arg == nullptr)
        return EFAULT;
    // The first uAPI and the line watches are not played: the kernel answers
    // EINVAL for them where it is built without them.
    switch (code) {
    case GPIO_GET_CHIPINFO_IOCTL: {
        gpiochip_info info{};
        copy_name(info.name, "gpiochip" + std::to_string(number));
        copy_name(info.label, chip->label);
        info.lines = static_cast<uint32_t>(chip->lines.size());
        std::memcpy(arg, &info, sizeof(info));
        return 0;
    }
    case GPIO_V2_GET_LINEINFO_IOCTL:
        return line_info(*chip, arg);
    case GPIO_V2_GET_LINE_IOCTL:
        return request_lines(number, *chip, arg, line_fd, id);
    default:
        return EINVAL;
    }
}

int GpioKernel::line_info(const Chip &chip, void *arg)
{
    gpio_v2_line_info info{};
    std::memcpy(&info, arg, sizeof(info));
    if (!all_zero(info.padding) || info.offset >= chip.lines.size())
        return EINVAL;
    const unsigned offset = info.offset;
    const Line &line = chip.lines[offset];
    info = gpio_v2_line_info{};
    info.offset = offset;
    copy_name(info.name, line.name);
    copy_name(info.consumer, line.consumer);
    if (line.kernel_held || line.request != 0)
        info.flags |= GPIO_V2_LINE_FLAG_USED;
    info.flags |= line.output ? GPIO_V2_LINE_FLAG_OUTPUT : GPIO_V2_LINE_FLAG_INPUT;
    if (line.active_low)
        info.flags |= GPIO_V2_LINE_FLAG_ACTIVE_LOW;
    std::memcpy(arg, &info, sizeof(info));
    return 0;
}

// The kernel's checks in its order: the request's frame, the configuration,
// then each line (out of range: EINVAL; held, or twice in the request: EBUSY).
int GpioKernel::request_lines(unsigned number, Chip &chip, void *arg, int line_fd, unsigned &id)
{
    ++requests_received;
    gpio_v2_line_request request{};
    std::memcpy(&request, arg, sizeof(request));
    int err = 0;
    if (request.num_lines == 0 || request.num_lines > GPIO_V2_LINES_MAX ||
        !all_zero(request.padding))
        err = EINVAL;
    if (err == 0)
        err = validate_config(request.config, request.num_lines);
    for (unsigned i = 0; err == 0 && i < request.num_lines; ++i) {
        const unsigned offset = request.offsets[i];
        if (offset >= chip.lines.size()) {
            err = EINVAL;
            break;
        }
        const Line &line = chip.lines[offset];
        bool repeated = false;
        for (unsigned j = 0; j < i; ++j)
            repeated = repeated || request.offsets[j] == offset;
        if (line.kernel_held || line.request != 0 || repeated)
            err = EBUSY;
    }
    std::string consumer = fixed_name(request.consumer);
    if (trace)
        trace_request(number, chip, request, consumer, err == 0 ? line_fd : -err);
    if (err != 0)
        return err;

    id = next_request++;
    // A request without a consumer name shows as "?", as the kernel shows it.
    if (consumer.empty())
        consumer = "?";
    bool drove = false;
    for (unsigned i = 0; i < request.num_lines; ++i) {
        Line &line = chip.lines[request.offsets[i]];
        line.request = id;
        line.consumer = consumer;
        drove = configure_line(chip, request.offsets[i], request.config, i) || drove;
    }
    if (drove)
        ++drives;
    requests[id] = {number,
                    std::vector<unsigned>(request.offsets, request.offsets + request.num_lines),
                    line_fd};
    static_cast<gpio_v2_line_request *>(arg)->fd = line_fd;
    return 0;
}

void GpioKernel::trace_request(unsigned number, const Chip &chip,
                               const gpio_v2_line_request &request, const std::string &consumer,
                               int result)
{
    const std::string outcome = result < 0 ? errno_name(-result) : std::to_string(result);
    if (request.num_lines != 1) {
        trace_out("gpio: request %s%u lines %u consumer \"%s\" -> %s\n", chip_prefix, number,
                  request.num_lines, consumer.c_str(), outcome.c_str());
        return;
    }
    const unsigned offset = request.offsets[0];
    const std::string name = offset < chip.lines.size() ? chip.lines[offset].name : "";
    trace_out("gpio: request %s%u line %u \"%s\" %s consumer \"%s\" -> %s\n", chip_prefix, number,
              offset, name.c_str(), mode_text(request.config, 0).c_str(), consumer.c_str(),
              outcome.c_str());
}

// Sets one line as the configuration says: an output is driven to its
// value as it turns, with no level in between; without a direction flag the
// line stays as it is. True when the line was driven.
bool GpioKernel::configure_line(Chip &chip, unsigned offset, const gpio_v2_line_config &config,
                                unsigned index)
{
    Line &line = chip.lines[offset];
    const uint64_t flags = line_flags(config, index);
    line.active_low = (flags & GPIO_V2_LINE_FLAG_ACTIVE_LOW) != 0;
    if ((flags & GPIO_V2_LINE_FLAG_OUTPUT) != 0) {
        line.output = true;
        drive(chip, offset, output_value(config, index) ^ (line.active_low ? 1U : 0U));
        return true;
    }
    if ((flags & GPIO_V2_LINE_FLAG_INPUT) != 0)
        line.output = false;
    return false;
}

int GpioKernel::line_ioctl(unsigned id, uint32_t code, void *arg)
{
    const auto found = requests.find(id);
    if (found == requests.end())
        return ENODEV;
    if (arg == nullptr)
        return EFAULT;
    switch (code) {
    case GPIO_V2_LINE_GET_VALUES_IOCTL:
        return get_values(found->second, arg);
    case GPIO_V2_LINE_SET_VALUES_IOCTL:
        return set_values(found->second, arg);
    case GPIO_V2_LINE_SET_CONFIG_IOCTL:
        return set_config(found->second, arg);
    default:
        return EINVAL;
    }
}

// Values are logical: an active-low line reads and is set inverted.
int GpioKernel::get_values(const Request &request, void *arg)
{
    gpio_v2_line_values values{};
    std::memcpy(&values, arg, sizeof(values));
    if (values.mask == 0)
        return EINVAL;
    Chip &chip = chips[request.chip];
    uint64_t bits = 0;
    for (unsigned i = 0; i < request.offsets.size(); ++i) {
        if (!bit(values.mask, i))
            continue;
        const unsigned offset = request.offsets[i];
        const uint32_t value = level(chip, offset) ^ (chip.lines[offset].active_low ? 1U : 0U);
        bits |= static_cast<uint64_t>(value) << i;
        if (trace)
            trace_out("gpio: get %s%u line %u -> %u\n", chip_prefix, request.chip, offset, value);
    }
    values.bits = bits;
    std::memcpy(arg, &values, sizeof(values));
    return 0;
}

// Every line of the mask must be an output before any is set.
int GpioKernel::set_values(const Request &request, void *arg)
{
    gpio_v2_line_values values{};
    std::memcpy(&values, arg, sizeof(values));
    if (values.mask == 0)
        return EINVAL;
    Chip &chip = chips[request.chip];
    for (unsigned i = 0; i < request.offsets.size(); ++i) {
        const unsigned offset = request.offsets[i];
        int err = settings.sets_errno;
        if (err == 0 && bit(values.mask, i) && !chip.lines[offset].output)
            err = EPERM;
        if (err != 0) {
            if (trace)
                trace_out("gpio: set %s%u line %u -> %s\n", chip_prefix, request.chip, offset,
                          errno_name(err).c_str());
            return err;
        }
    }
    bool drove = false;
    for (unsigned i = 0; i < request.offsets.size(); ++i) {
        if (!bit(values.mask, i))
            continue;
        const unsigned offset = request.offsets[i];
        const uint32_t value = bit(values.bits, i) ? 1 : 0;
        drive(chip, offset, value ^ (chip.lines[offset].active_low ? 1U : 0U));
        drove = true;
        if (trace)
            trace_out("gpio: set %s%u line %u -> %u\n", chip_prefix, request.chip, offset, value);
    }
    if (drove)
        ++drives;
    return 0;
}

int GpioKernel::set_config(const Request &request, void *arg)
{
    gpio_v2_line_config config{};
    std::memcpy(&config, arg, sizeof(config));
    const auto lines = static_cast<unsigned>(request.offsets.size());
    const int err = validate_config(config, lines);
    Chip &chip = chips[request.chip];
    if (err != 0) {
        if (trace)
            trace_out("gpio: config %s%u line %u -> %s\n", chip_prefix, request.chip,
                      request.offsets[0], errno_name(err).c_str());
        return err;
    }
    bool drove = false;
    for (unsigned i = 0; i < lines; ++i) {
        drove = configure_line(chip, request.offsets[i], config, i) || drove;
        if (trace)
            trace_out("gpio: config %s%u line %u -> %s\n", chip_prefix, request.chip,
                      request.offsets[i], mode_text(config, i).c_str());
    }
    if (drove)
        ++drives;
    return 0;
}

// A released SoC output keeps its level only where the kernel persists
// outputs; the expander's driver has no release step at all.
void GpioKernel::release(unsigned id)
{
    const auto found = requests.find(id);
    if (found == requests.end())
        return;
    const Request &request = found->second;
    Chip &chip = chips[request.chip];
    for (const unsigned offset : request.offsets) {
        Line &line = chip.lines[offset];
        line.request = 0;
        line.consumer.clear();
        line.active_low = false;
        if (!chip.expander && settings.persist != Persist::yes) {
            line.output = false;
            line.level = 0;
        }
        if (trace)
            trace_out("gpio: release %s%u line %u\n", chip_prefix, request.chip, offset);
    }
    requests.erase(found);
}

bool GpioKernel::board_file(const char *path, std::string &content) const
{
    const uint32_t code = firmware.board_revision();
    if (std::strcmp(path, device_tree_revision) == 0 ||
        std::strcmp(path, firmware_tree_revision) == 0) {
        const char cell[4] = {static_cast<char>(code >> 24), static_cast<char>(code >> 16),
                              static_cast<char>(code >> 8), static_cast<char>(code)};
        content.assign(cell, sizeof(cell));
        return settings.device_tree;
    }
    if (std::strcmp(path, cpuinfo_path) == 0) {
        char revision_line[32];
        std::snprintf(revision_line, sizeof(revision_line), "Revision\t: %04x\n", code);
        content = "processor\t: 0\n"
                  "model name\t: ARMv7 Processor rev 4 (v7l)\n"
                  "BogoMIPS\t: 38.40\n"
                  "Features\t: half thumb fastmult vfp edsp neon vfpv3 tls vfpv4 idiva idivt "
                  "vfpd32 lpae evtstrm crc32\n"
                  "CPU implementer\t: 0x41\n"
                  "CPU architecture: 7\n"
                  "CPU variant\t: 0x0\n"
                  "CPU part\t: 0xd03\n"
                  "CPU revision\t: 4\n"
                  "\n"
                  "Hardware\t: BCM2835\n";
        content += revision_line;
        content += "Serial\t\t: 00000000c0ffee01\n";
        return settings.cpuinfo;
    }
    if (std::strcmp(path, persist_path) == 0) {
        content = settings.persist == Persist::yes ? "Y\n" : "N\n";
        return settings.persist != Persist::absent;
    }
    return false;
}

int GpioKernel::line_value(unsigned chip, unsigned offset) const
{
    return line_at(chip, offset) != nullptr ? static_cast<int>(level(chips[chip], offset)) : -1;
}

int GpioKernel::line_output(unsigned chip, unsigned offset) const
{
    const Line *line = line_at(chip, offset);
    return line != nullptr ? (line->output ? 1 : 0) : -1;
}

int GpioKernel::line_requested(unsigned chip, unsigned offset) const
{
    const Line *line = line_at(chip, offset);
    return line != nullptr ? (line->request != 0 ? 1 : 0) : -1;
}

void GpioKernel::forget_counts()
{
    requests_received = 0;
    drives = 0;
}

} // namespace vcioemu
