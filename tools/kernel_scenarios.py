"""The scenarios of tools/kernel-check: one table, run on Linux's own GPIO
code (gpio-sim, in a virtual machine) and under the LD_PRELOAD emulator, so
that each side's answer can be held against the other's.

A board is the kernel's view of a Pi, written out from the boards' device
trees (see the notes on Raspberry Pi boards), not taken from the emulator or
the product: chips by their labels and sizes, the lines the device tree
names, and the lines a kernel consumer holds from boot. Chip 0 is the SoC's,
chip 1 the firmware's expander; both runners number them so.

A scenario is a board, what is done to it before the product runs (a pull,
a line the kernel holds, a user outside the gpio group, a camera regulator)
and one action: a `tallowick` command, or a function of this module that
drives CameraLED from Python. An action that keeps running (`indicate`,
`on --hold`) is stopped with SIGTERM once it holds the LED line, after its
state is looked at.

Python 3 only: read by tools/kernel_check.py on this machine and inside the
virtual machine.
"""

SOC = 0
EXPANDER = 1

SOC_2835 = ("pinctrl-bcm2835", 54)
SOC_2711 = ("pinctrl-bcm2711", 58)
EXPANDER_CHIP = "raspberrypi-exp-gpio"

NAMES_3B = ("BT_ON", "WL_ON", "STATUS_LED", "LAN_RUN", "HDMI_HPD_N", "CAM_GPIO0", "CAM_GPIO1", "PWR_LOW_N")
NAMES_4B = ("BT_ON", "WL_ON", "PWR_LED_OFF", "GLOBAL_RESET", "VDD_SD_IO_SEL", "CAM_GPIO", "SD_PWR_ON", "SD_OC_N")
NAMES_CM3 = ("HDMI_HPD_N", "EMMC_EN_N", "NC", "NC", "NC", "NC", "NC", "NC")

CAMERA_REGULATOR = "cam1_regulator"
# A regulator holds its enable line as an output, low until a camera runs.
REGULATOR_HOLD = ("output-low", CAMERA_REGULATOR)


def _expander_names(names):
    return {(EXPANDER, offset): name for offset, name in enumerate(names)}


class Board(object):
    """What the kernel shows of one board. holds maps a line to (direction,
    consumer): "input", "output-low" or "output-high", as a gpio-sim hog
    takes it. watch are the lines whose level, direction and holder are
    compared: the LED line, and those a wrong road would touch."""

    def __init__(self, revision, soc, expander=False, names=None, holds=None, watch=()):
        self.revision = revision
        self.soc = soc
        self.expander = expander
        self.names = dict(names or {})
        self.holds = dict(holds or {})
        self.watch = tuple(watch)

    def chips(self):
        """(label, number of lines) by chip number."""
        chips = [self.soc]
        if self.expander:
            chips.append((EXPANDER_CHIP, 8))
        return chips


BOARDS = {
    "zero-w": Board(
        0x9000C1,
        SOC_2835,
        names={(SOC, 40): "CAM_GPIO1", (SOC, 44): "CAM_GPIO0"},
        holds={(SOC, 44): REGULATOR_HOLD},
        watch=[(SOC, 40), (SOC, 44)],
    ),
    # Old-style code 0010: the revision line reads "0010".
    "b-plus": Board(
        0x0010,
        SOC_2835,
        names={(SOC, 32): "CAM_GPIO1", (SOC, 41): "CAM_GPIO0"},
        holds={(SOC, 41): REGULATOR_HOLD},
        watch=[(SOC, 32), (SOC, 41)],
    ),
    "3b": Board(
        0xA02082,
        SOC_2835,
        expander=True,
        names=_expander_names(NAMES_3B),
        holds={(EXPANDER, 5): REGULATOR_HOLD},
        watch=[(EXPANDER, 6), (EXPANDER, 5)],
    ),
    # A 3 B whose kernel binds no expander driver: the product's road is
    # then the mailbox, which neither side has.
    "3b-no-expander": Board(0xA02082, SOC_2835, watch=[(SOC, 40)]),
    # The SD card's regulators hold lines 4 and 6 too; their levels are no
    # part of the comparison.
    "4b": Board(
        0xC03111,
        SOC_2711,
        expander=True,
        names=_expander_names(NAMES_4B),
        holds={
            (EXPANDER, 4): ("output-low", "vdd-sd-io"),
            (EXPANDER, 5): REGULATOR_HOLD,
            (EXPANDER, 6): ("output-low", "sd_vcc_reg"),
        },
        watch=[(EXPANDER, 5), (EXPANDER, 6)],
    ),
    # The line named CAM_GPIO1 powers the camera here.
    "zero-2w": Board(
        0x902120,
        SOC_2835,
        names={(SOC, 40): "CAM_GPIO1"},
        holds={(SOC, 40): REGULATOR_HOLD},
        watch=[(SOC, 40)],
    ),
    "cm3": Board(
        0xA020A0,
        SOC_2835,
        expander=True,
        names=_expander_names(NAMES_CM3),
        watch=[(EXPANDER, 1), (SOC, 2)],
    ),
}


# The actions that run CameraLED from Python. Each gets the tallowick.camera
# module, observe(label), which records the watched lines then, and
# record(label, value) for what the product answers.


def camera_switches(camera, observe, record):
    with camera.CameraLED() as led:
        record("where", led.where)
        record("is_lit", led.is_lit)
        led.on()
        observe("after on")
        record("is_lit after on", led.is_lit)
        led.toggle()
        observe("after toggle")
        record("is_lit after toggle", led.is_lit)


def camera_reads_only(camera, observe, record):
    with camera.CameraLED() as led:
        record("is_lit", led.is_lit)
        observe("after is_lit")


PYTHON_ACTIONS = {
    "camera_switches": camera_switches,
    "camera_reads_only": camera_reads_only,
}


class Scenario(object):
    """One row. command: the tallowick arguments; python: a name in
    PYTHON_ACTIONS (one of the two). pulls: line -> "up"; holds: line ->
    consumer, held as an input by the kernel (a hog); unprivileged: the
    product runs as a user who may not open the GPIO chips; regulators:
    regulator name -> state, in /sys/class/regulator; until_held: stopped
    with SIGTERM once it holds the first watched line.

    persist is what pinctrl-bcm2835's persist_gpio_outputs says: "Y" (a
    released SoC output keeps its level, as on Raspberry Pi's kernels), or
    None for a kernel without the parameter, whose SoC driver returns a
    released line to input. gpio-sim does neither: it keeps the direction
    and sets the value back to the pull. With "Y" the level a line was left
    at is still known (the kernel's trace of the values set); without the
    parameter the released line's state is the SoC driver's, which gpio-sim
    does not play, so such a row compares what the product says and the
    lines while it holds them, not after. watch replaces the board's
    watched lines."""

    def __init__(self, name, board, command=None, python=None, pulls=None, holds=None,
                 unprivileged=False, regulators=None, until_held=False, persist="Y", watch=None):
        self.name = name
        self.board_name = board
        self.board = BOARDS[board]
        self.command = list(command) if command is not None else None
        self.python = python
        self.pulls = dict(pulls or {})
        self.holds = dict(holds or {})
        self.unprivileged = unprivileged
        self.regulators = dict(regulators or {})
        self.until_held = until_held
        self.persist = persist
        self.watch = self.board.watch if watch is None else tuple(watch)

    def all_holds(self):
        """Every line the kernel holds: (direction, consumer) by line."""
        holds = dict(self.board.holds)
        for line, consumer in self.holds.items():
            holds[line] = ("input", consumer)
        return holds


HOG = "cam_led_hog"

SCENARIOS = [
    Scenario("zero-w where", "zero-w", ["where"]),
    Scenario("zero-w on", "zero-w", ["on"]),
    Scenario("zero-w off", "zero-w", ["off"]),
    Scenario("zero-w state", "zero-w", ["state"]),
    Scenario("zero-w state, pulled up", "zero-w", ["state"], pulls={(SOC, 40): "up"}),
    Scenario("zero-w toggle from lit", "zero-w", ["toggle"], pulls={(SOC, 40): "up"}),
    Scenario("zero-w on, line held by the kernel", "zero-w", ["on"], holds={(SOC, 40): HOG}),
    Scenario("zero-w where, line held by the kernel", "zero-w", ["where"], holds={(SOC, 40): HOG}),
    Scenario("zero-w on, user outside the gpio group", "zero-w", ["on"], unprivileged=True),
    Scenario("zero-w where, user outside the gpio group", "zero-w", ["where"], unprivileged=True),
    Scenario("zero-w CameraLED", "zero-w", python="camera_switches"),
    Scenario("zero-w CameraLED read, pulled up", "zero-w", python="camera_reads_only", pulls={(SOC, 40): "up"}),
    Scenario("b-plus toggle", "b-plus", ["toggle"]),
    Scenario("b-plus where", "b-plus", ["where"]),
    Scenario("3b where", "3b", ["where"]),
    Scenario("3b on", "3b", ["on"]),
    Scenario("3b toggle", "3b", ["toggle"]),
    Scenario("3b CameraLED", "3b", python="camera_switches"),
    Scenario("3b on, user outside the gpio group", "3b", ["on"], unprivileged=True),
    Scenario("3b on, no expander chip", "3b-no-expander", ["on"]),
    Scenario("3b where, no expander chip", "3b-no-expander", ["where"]),
    Scenario("4b on", "4b", ["on"]),
    Scenario("4b where", "4b", ["where"]),
    Scenario("4b CameraLED", "4b", python="camera_switches"),
    Scenario("zero-2w on", "zero-2w", ["on"]),
    Scenario("cm3 on", "cm3", ["on"]),
    Scenario("cm3 where", "cm3", ["where"]),
    Scenario("zero-w on, kernel without the persist parameter", "zero-w", ["on"], persist=None),
    Scenario("zero-w on --hold", "zero-w", ["on", "--hold"], until_held=True),
    Scenario("zero-w on --hold, kernel without the persist parameter", "zero-w", ["on", "--hold"],
             until_held=True, persist=None),
    Scenario("3b off --hold", "3b", ["off", "--hold"], until_held=True),
    Scenario("zero-w indicate, camera powered", "zero-w", ["indicate"],
             regulators={"cam1-reg": "enabled"}, until_held=True),
    Scenario("zero-w indicate, camera not powered", "zero-w", ["indicate"],
             regulators={"cam1-reg": "disabled"}, until_held=True),
    Scenario("3b indicate, camera powered", "3b", ["indicate"],
             regulators={"cam1-reg": "enabled"}, until_held=True),
]


def problems(scenarios=None):
    """What makes rows unusable by one of the runners: each a line."""
    found = []
    seen = set()
    for scenario in SCENARIOS if scenarios is None else scenarios:
        where = "scenario %r" % scenario.name
        if scenario.name in seen:
            found.append("%s: named twice" % where)
        seen.add(scenario.name)
        if (scenario.command is None) == (scenario.python is None):
            found.append("%s: needs a command or a python action, not both" % where)
        if scenario.python is not None and scenario.python not in PYTHON_ACTIONS:
            found.append("%s: no python action %r" % (where, scenario.python))
        # The virtual machine's runner looks at the lines as root, in-process.
        if scenario.python is not None and (scenario.unprivileged or scenario.until_held):
            found.append("%s: a python action runs privileged and to its end" % where)
        chips = scenario.board.chips()
        lines = list(scenario.pulls) + list(scenario.holds) + list(scenario.watch)
        for chip, offset in lines:
            if chip >= len(chips) or offset >= chips[chip][1]:
                found.append("%s: no line %d of chip %d on %s" % (where, offset, chip, scenario.board_name))
        for line, pull in scenario.pulls.items():
            if line[0] != SOC or pull not in ("up", "down"):
                found.append("%s: a pull is up or down, on a SoC line" % where)
        if scenario.until_held and not scenario.watch:
            found.append("%s: stops once a watched line is held, but watches none" % where)
        if scenario.persist not in ("Y", None):
            found.append("%s: persist is Y or None" % where)

    return found
