#include "regulator.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <time.h>
#include <unistd.h>

const char regulator_class_path[] = "/sys/class/regulator";

namespace {

// "enabled\n", "disabled\n" and "unknown\n" fit; so does any name worth
// comparing with the camera's.
constexpr size_t attribute_size = 32;

struct directory_closer {
    void operator()(DIR *directory) const { closedir(directory); }
};
using owned_directory = std::unique_ptr<DIR, directory_closer>;

// A sysfs attribute's text without its newline: 0, or -errno.
int read_attribute(const std::string &path, std::string &text)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1)
        return -errno;
    char buffer[attribute_size];
    ssize_t got = 0;
    do {
        got = read(fd, buffer, sizeof(buffer));
    } while (got == -1 && errno == EINTR);
    const int err = got == -1 ? -errno : 0;
    // A close of a file only read reports nothing worth acting on.
    static_cast<void>(close(fd));
    if (err != 0)
        return err;
    text.assign(buffer, static_cast<size_t>(got));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\0'))
        text.pop_back();
    return 0;
}

// The device's attribute file, for a class entry such as "regulator.3".
std::string attribute_path(const std::string &device, const char *attribute)
{
    return std::string(regulator_class_path) + "/" + device + "/" + attribute;
}

// The class folder's device entries, sorted so that a scan is repeatable.
// readdir64: a 32-bit build's readdir fails with EOVERFLOW on an entry whose
// inode number or offset needs 64 bits, as any file system's may.
int list_devices(std::vector<std::string> &devices)
{
    const owned_directory directory(opendir(regulator_class_path));
    if (!directory)
        return errno == ENOENT ? 0 : -errno;
    errno = 0;
    while (const dirent64 *entry = readdir64(directory.get())) {
        if (entry->d_name[0] != '.')
            devices.emplace_back(entry->d_name);
        errno = 0;
    }
    if (errno != 0)
        return -errno;
    std::sort(devices.begin(), devices.end());
    return 0;
}

} // namespace

bool is_camera_regulator(const std::string &name)
{
    return name == "cam1-reg" || name == "cam0-reg" || name == "cam1_reg" || name == "cam0_reg";
}

int camera_power::scan()
{
    regulators_.clear();
    std::vector<std::string> devices;
    const int listed = list_devices(devices);
    if (listed != 0)
        return listed;
    for (const std::string &device : devices) {
        std::string name;
        // A device that goes while it is being looked at is simply not one.
        if (read_attribute(attribute_path(device, "name"), name) == 0 && is_camera_regulator(name))
            regulators_.push_back({name, attribute_path(device, "state")});
    }
    return static_cast<int>(regulators_.size());
}

camera_power_state camera_power::read()
{
    auto it = regulators_.begin();
    while (it != regulators_.end()) {
        std::string state;
        const int result = read_attribute(it->state_path, state);
        if (result == -ENOENT || result == -ENODEV) {
            it = regulators_.erase(it);
            continue;
        }
        if (result == 0 && state == "enabled")
            return camera_power_state::on;
        ++it;
    }
    return regulators_.empty() ? camera_power_state::absent : camera_power_state::off;
}

namespace {

constexpr long long nanoseconds_per_second = 1000000000LL;

timespec monotonic_now()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

timespec later(timespec when, long long nanoseconds)
{
    const long long total = when.tv_nsec + nanoseconds;
    when.tv_sec += static_cast<time_t>(total / nanoseconds_per_second);
    when.tv_nsec = static_cast<long>(total % nanoseconds_per_second);
    return when;
}

bool before(const timespec &a, const timespec &b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Sleeps until the moment: false when a signal cut it short.
bool sleep_until(const timespec &moment)
{
    return clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &moment, nullptr) == 0;
}

} // namespace

camera_power_state camera_power::wait_for_change(camera_power_state known, long long interval,
                                                 long long budget)
{
    const timespec start = monotonic_now();
    const timespec end = later(start, budget);
    if (regulators_.empty()) {
        sleep_until(end);
        return camera_power_state::absent;
    }
    timespec next = later(start, interval);
    camera_power_state state = known;
    while (!before(end, next)) {
        if (!sleep_until(next))
            return read();
        state = read();
        if (state != known)
            return state;
        next = later(next, interval);
    }
    return state;
}

std::vector<std::string> camera_power::names() const
{
    std::vector<std::string> names(regulators_.size());
    std::transform(regulators_.begin(), regulators_.end(), names.begin(),
                   [](const regulator &found) { return found.name; });
    return names;
}
