// The kernel's regulator class ("/sys/class/regulator") as a test wants the
// board to show it: served from a folder of the test's own, in which the
// test makes, changes and removes regulator.N/name and regulator.N/state
// files at the moments it chooses. Without such a folder the paths go to the
// system untouched.
#ifndef VCIOEMU_REGULATORS_H
#define VCIOEMU_REGULATORS_H

#include <cstddef>

namespace vcioemu {

// The folder that stands for the regulator class, "" for none.
void set_regulator_folder(const char *folder);

// For a path in the regulator class, the same path under the folder, written
// to redirected (size bytes): 1, or -ENAMETOOLONG where it does not fit; 0
// for every other path, and for all of them without a folder. Allocates
// nothing: the C library's entry points call it.
int redirect_regulator_path(const char *path, char *redirected, size_t size);

// Opens of regulators' state files redirected since the last reset.
unsigned regulator_state_opens();
void reset_regulator_counts();

} // namespace vcioemu

#endif // VCIOEMU_REGULATORS_H
