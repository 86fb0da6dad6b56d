// The camera's power regulators, read from a regulator class the test lays
// out in a folder of its own, which the emulator stands in place of
// "/sys/class/regulator".
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "emulated.h"
#include "regulator.h"

namespace {

class CameraPower : public Emulated {
protected:
    void SetUp() override
    {
        Emulated::SetUp();
        char pattern[] = "/tmp/regulators-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
        vcioemu_regulators(folder.c_str());
    }

    void TearDown() override
    {
        vcioemu_regulators(nullptr);
        ASSERT_EQ(std::system(("rm -rf " + folder).c_str()), 0);
        Emulated::TearDown();
    }

    void add(const std::string &device, const std::string &name, const std::string &state)
    {
        ASSERT_EQ(mkdir((folder + "/" + device).c_str(), 0755), 0);
        write(device, "name", name);
        write(device, "state", state);
    }

    void write(const std::string &device, const char *attribute, const std::string &text)
    {
        std::ofstream(folder + "/" + device + "/" + attribute) << text << '\n';
    }

    void remove_device(const std::string &device)
    {
        ASSERT_EQ(std::system(("rm -rf " + folder + "/" + device).c_str()), 0);
    }

    std::string folder;
    camera_power power;
};

TEST_F(CameraPower, KnowsTheCamerasRegulatorsByNameOnly)
{
    add("regulator.0", "regulator-dummy", "enabled");
    add("regulator.1", "vdd-sd-io", "enabled");
    add("regulator.4", "cam1-reg", "disabled");
    add("regulator.12", "cam0_reg", "disabled");
    add("regulator.9", "cam1-reg-extra", "enabled");
    EXPECT_EQ(power.scan(), 2);
    // Sorted by device name: "regulator.12" before "regulator.4".
    EXPECT_EQ(power.names(), (std::vector<std::string>{"cam0_reg", "cam1-reg"}));
    EXPECT_EQ(power.read(), camera_power_state::off);
}

TEST_F(CameraPower, IsOnWhileAnyOfThemIsEnabled)
{
    add("regulator.3", "cam0-reg", "disabled");
    add("regulator.5", "cam1-reg", "unknown");
    ASSERT_EQ(power.scan(), 2);
    EXPECT_EQ(power.read(), camera_power_state::off);
    write("regulator.5", "state", "enabled");
    EXPECT_EQ(power.read(), camera_power_state::on);
    write("regulator.5", "state", "disabled");
    write("regulator.3", "state", "enabled");
    EXPECT_EQ(power.read(), camera_power_state::on);
}

TEST_F(CameraPower, ReadsNoFurtherThanTheFirstEnabled)
{
    add("regulator.3", "cam0-reg", "enabled");
    add("regulator.5", "cam1-reg", "disabled");
    ASSERT_EQ(power.scan(), 2);
    vcioemu_reset();
    EXPECT_EQ(power.read(), camera_power_state::on);
    EXPECT_EQ(vcioemu_regulator_state_opens(), 1U);
    write("regulator.3", "state", "disabled");
    EXPECT_EQ(power.read(), camera_power_state::off);
    EXPECT_EQ(vcioemu_regulator_state_opens(), 3U);
}

TEST_F(CameraPower, IsAbsentWithoutRegulatorsAndOnceTheyHaveGone)
{
    // No class folder at all, then an empty one, then one without a camera.
    ASSERT_EQ(rmdir(folder.c_str()), 0);
    EXPECT_EQ(power.scan(), 0);
    EXPECT_EQ(power.read(), camera_power_state::absent);
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    EXPECT_EQ(power.scan(), 0);
    add("regulator.0", "regulator-dummy", "enabled");
    EXPECT_EQ(power.scan(), 0);
    EXPECT_EQ(power.read(), camera_power_state::absent);

    // Appears enabled; one of two goes and the other still counts; both go.
    add("regulator.2", "cam1-reg", "enabled");
    add("regulator.3", "cam0-reg", "disabled");
    ASSERT_EQ(power.scan(), 2);
    EXPECT_EQ(power.read(), camera_power_state::on);
    remove_device("regulator.2");
    EXPECT_EQ(power.read(), camera_power_state::off);
    EXPECT_EQ(power.names(), std::vector<std::string>{"cam0-reg"});
    remove_device("regulator.3");
    EXPECT_EQ(power.read(), camera_power_state::absent);
    EXPECT_TRUE(power.names().empty());
}

// Milliseconds since start.
long long elapsed_ms(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

constexpr long long ms = 1000000;

TEST_F(CameraPower, WaitsOnASteadyCadenceUntilTheStateChanges)
{
    add("regulator.5", "cam1-reg", "disabled");
    ASSERT_EQ(power.scan(), 1);
    vcioemu_reset();
    // Nothing changes: a read every interval, the budget out.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(power.wait_for_change(camera_power_state::off, 20 * ms, 200 * ms),
              camera_power_state::off);
    EXPECT_GE(elapsed_ms(start), 200);
    EXPECT_EQ(vcioemu_regulator_state_opens(), 10U);

    // A change half-way: seen at the next read, long before the budget.
    std::thread camera([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        write("regulator.5", "state", "enabled");
    });
    start = std::chrono::steady_clock::now();
    const camera_power_state state =
        power.wait_for_change(camera_power_state::off, 20 * ms, 20000 * ms);
    const long long took = elapsed_ms(start);
    camera.join();
    EXPECT_EQ(state, camera_power_state::on);
    EXPECT_GE(took, 100);
    EXPECT_LT(took, 10000);

    // Gone: absent is a change too.
    remove_device("regulator.5");
    EXPECT_EQ(power.wait_for_change(camera_power_state::on, 20 * ms, 5000 * ms),
              camera_power_state::absent);
}

void ignore_signal(int /*signal*/) {}

TEST_F(CameraPower, ASignalOrTheLackOfRegulatorsEndsTheWaitWithoutReading)
{
    // Without regulators there is nothing to read: the budget is slept out.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(power.wait_for_change(camera_power_state::absent, 10 * ms, 100 * ms),
              camera_power_state::absent);
    EXPECT_GE(elapsed_ms(start), 100);
    EXPECT_EQ(vcioemu_regulator_state_opens(), 0U);

    // A handled signal cuts the sleep short, as the interpreter's handlers
    // need it to.
    add("regulator.5", "cam1-reg", "enabled");
    ASSERT_EQ(power.scan(), 1);
    struct sigaction action {};
    struct sigaction saved {};
    action.sa_handler = ignore_signal;
    ASSERT_EQ(sigaction(SIGUSR1, &action, &saved), 0);
    // Sent again and again until the wait ends: one that came before the
    // wait began (a slow machine, an emulated processor) would be lost.
    const pthread_t waiter = pthread_self();
    std::atomic<bool> waiting{true};
    std::thread sender([waiter, &waiting] {
        while (waiting.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            pthread_kill(waiter, SIGUSR1);
        }
    });
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(power.wait_for_change(camera_power_state::on, 50 * ms, 20000 * ms),
              camera_power_state::on);
    EXPECT_LT(elapsed_ms(start), 10000);
    waiting.store(false);
    sender.join();
    sigaction(SIGUSR1, &saved, nullptr);
}

} // namespace
