#include "regulators.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace vcioemu {

namespace {

const char class_path[] = "/sys/class/regulator";
const char state_suffix[] = "/state";

std::atomic<unsigned> state_opens{0};

// Read by every open of the process, from any thread, and set at the first
// of them from VCIOEMU_REGULATORS: a process may list the class before it
// opens anything else the emulator answers.
struct Folder {
    std::mutex mutex;
    std::string path;
};

Folder &folder()
{
    static Folder *const chosen = [] {
        auto *made = new Folder();
        const char *given = std::getenv("VCIOEMU_REGULATORS");
        if (given != nullptr)
            made->path = given;
        return made;
    }();
    return *chosen;
}

bool ends_with(const char *text, const char *suffix)
{
    const size_t length = std::strlen(text);
    const size_t suffix_length = std::strlen(suffix);
    return length >= suffix_length && std::strcmp(text + length - suffix_length, suffix) == 0;
}

} // namespace

void set_regulator_folder(const char *chosen)
{
    Folder &current = folder();
    const std::lock_guard<std::mutex> hold(current.mutex);
    current.path = chosen != nullptr ? chosen : "";
}

int redirect_regulator_path(const char *path, char *redirected, size_t size)
{
    constexpr size_t prefix = sizeof(class_path) - 1;
    // The class folder itself, or a path below it; "/sys/class/regulators"
    // is another file.
    if (path == nullptr || std::strncmp(path, class_path, prefix) != 0 ||
        (path[prefix] != '\0' && path[prefix] != '/'))
        return 0;
    {
        Folder &current = folder();
        const std::lock_guard<std::mutex> hold(current.mutex);
        if (current.path.empty())
            return 0;
        const int length =
            std::snprintf(redirected, size, "%s%s", current.path.c_str(), path + prefix);
        if (length < 0 || static_cast<size_t>(length) >= size)
            return -ENAMETOOLONG;
    }
    if (ends_with(path, state_suffix))
        state_opens.fetch_add(1, std::memory_order_relaxed);
    return 1;
}

unsigned regulator_state_opens()
{
    return state_opens.load(std::memory_order_relaxed);
}

void reset_regulator_counts()
{
    state_opens.store(0, std::memory_order_relaxed);
}

} // namespace vcioemu
