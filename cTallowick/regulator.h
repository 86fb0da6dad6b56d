// The camera's power as the kernel tells every user: the fixed regulator the
// camera overlays give the sensor ("cam1-reg", "cam0-reg" for a Compute
// Module's other connector; "cam1_reg" and "cam0_reg" on older kernels),
// which the sensor drivers switch on only while a camera is in use. Each is a
// device of the regulator class with a "name" and a "state" ("enabled",
// "disabled" or "unknown") any user may read. Without a camera overlay there
// is no such device.
#ifndef CTALLOWICK_REGULATOR_H
#define CTALLOWICK_REGULATOR_H

#include <string>
#include <vector>

extern const char regulator_class_path[]; // "/sys/class/regulator"

// True for the names the camera's regulators go by.
bool is_camera_regulator(const std::string &name);

enum class camera_power_state {
    off,    // every camera regulator found reads other than "enabled"
    on,     // one reads "enabled"
    absent, // none was found, or all of them have gone
};

// The camera regulators found by the last scan(), read by read().
class camera_power {
public:
    // Lists the regulator class and keeps the camera's regulators, in the
    // order of their device names: how many (0 where there is none, or no
    // regulator class at all), or -errno where the class cannot be listed.
    int scan();

    // Reads the kept regulators' state files in turn and stops at the first
    // "enabled". One that can no longer be opened has gone and is forgotten.
    camera_power_state read();

    // Reads the state every interval (nanoseconds, from now on a steady
    // cadence) until it differs from known, budget has passed, or a signal
    // interrupted the sleep: the state last read. Without regulators it
    // only sleeps out the budget. Made to run without the interpreter's
    // lock: a waiting indicator costs one system call and one read a round.
    camera_power_state wait_for_change(camera_power_state known, long long interval,
                                       long long budget);

    // The names of the regulators kept, as scan() found them.
    std::vector<std::string> names() const;

private:
    struct regulator {
        std::string name;
        std::string state_path;
    };
    std::vector<regulator> regulators_;
};

#endif // CTALLOWICK_REGULATOR_H
