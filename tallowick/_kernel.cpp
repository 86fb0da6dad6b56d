// tallowick._kernel: what tallowick.camera needs of the native core, and no
// more. The board's revision and where its camera LED is, and the kernel's
// GPIO character device: a chip found by its label (Chip), one line of it
// requested (Line). One source for Python 2.7 and every Python 3; the
// interpreters' differences live in pyTallowick/compat.h.
//
// Nothing here ends the process but firmware_revision(), whose firmware
// channel does on any failure: the caller probes "/dev/vcio" first. Every
// other failure is an OSError(errno, strerror, filename), made in one place.
#include "compat.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <string>
#include <vector>

#include "board.h"
#include "gpio.h"
#include "gpiochip.h"
#include "regulator.h"

namespace {

const char module_name[] = "tallowick._kernel";
const char module_doc[] =
    "The board, its camera LED and the kernel's GPIO chips, for tallowick.camera.";
const char device_tree_revision[] = "/proc/device-tree/system/linux,revision";
const char cpuinfo[] = "/proc/cpuinfo";

// The one place an errno becomes an exception. Python 3's OSError picks the
// subclass (PermissionError, FileNotFoundError, ...) from the number itself.
PyObject *raise_os_error(int error, const char *path)
{
    PyObject *exception = PyObject_CallFunction(PyExc_OSError, const_cast<char *>("iss"), error,
                                                std::strerror(error), path);
    if (exception != nullptr) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exception)), exception);
        Py_DECREF(exception);
    }
    return nullptr;
}

// A 32-bit revision code from a Python integer; false with an exception set.
bool read_code(PyObject *number, uint32_t &code)
{
    const unsigned long value = PyLong_AsUnsignedLong(number);
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred() != nullptr)
        return false;
    if (value > 0xffffffffUL) {
        PyErr_SetString(PyExc_OverflowError, "a revision code has 32 bits");
        return false;
    }
    code = static_cast<uint32_t>(value);
    return true;
}

PyObject *new_reference(PyObject *object)
{
    Py_INCREF(object);
    return object;
}

// ------------------------------------------------------------------- Line

struct LineObject {
    PyObject ob_base;
    gpio_line_request *request; // owned; nullptr once released
    PyObject *chip;             // the Chip it came from, named in errors
};

LineObject *as_line(PyObject *self)
{
    return reinterpret_cast<LineObject *>(self);
}

// The line's request, or nullptr with ValueError when it was released.
gpio_line_request *held_request(PyObject *self)
{
    gpio_line_request *request = as_line(self)->request;
    if (request != nullptr && request->valid())
        return request;
    PyErr_SetString(PyExc_ValueError, "the line has been released");
    return nullptr;
}

gpio_chip *chip_of(PyObject *self);

// None, or the OSError of a negative errno result, naming the chip.
PyObject *none_or_error(PyObject *self, int result)
{
    if (result < 0)
        return raise_os_error(-result, chip_of(as_line(self)->chip)->path().c_str());
    return new_reference(Py_None);
}

PyObject *line_get(PyObject *self, PyObject * /*unused*/)
{
    gpio_line_request *request = held_request(self);
    if (request == nullptr)
        return nullptr;
    const int value = request->get_value();
    if (value < 0)
        return none_or_error(self, value);
    return PyBool_FromLong(value);
}

PyObject *line_set(PyObject *self, PyObject *value)
{
    gpio_line_request *request = held_request(self);
    const int level = request == nullptr ? -1 : PyObject_IsTrue(value);
    if (level < 0)
        return nullptr;
    return none_or_error(self, request->set_value(level));
}

PyObject *line_make_output(PyObject *self, PyObject *value)
{
    gpio_line_request *request = held_request(self);
    const int level = request == nullptr ? -1 : PyObject_IsTrue(value);
    if (level < 0)
        return nullptr;
    return none_or_error(self, request->make_output(level));
}

PyObject *line_switch(PyObject *self, PyObject *args);

PyObject *line_release(PyObject *self, PyObject * /*unused*/)
{
    delete as_line(self)->request;
    as_line(self)->request = nullptr;
    return new_reference(Py_None);
}

void line_dealloc(PyObject *self)
{
    delete as_line(self)->request;
    Py_XDECREF(as_line(self)->chip);
    Py_TYPE(self)->tp_free(self);
}

PyMethodDef line_methods[] = {
    {const_cast<char *>("get"), pyt_method(line_get), METH_NOARGS,
     "The line's level: True or False."},
    {const_cast<char *>("set"), pyt_method(line_set), METH_O,
     "Drives the line (requested as an output) to value."},
    {const_cast<char *>("make_output"), pyt_method(line_make_output), METH_O,
     "Turns the request into an output driven to value, keeping the line."},
    {const_cast<char *>("release"), pyt_method(line_release), METH_NOARGS,
     "Lets the line go; harmless when released already."},
    {const_cast<char *>("switch"), pyt_method(line_switch), METH_VARARGS,
     "switch(value, failure) -> a callable that sets the line to value; on failure it raises "
     "what failure(the OSError) returns."},
    {nullptr, nullptr, 0, nullptr},
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject line_type = {
    PYT_TYPE_HEAD // ends with its own comma
        .tp_name = "tallowick._kernel.Line",
    .tp_basicsize = sizeof(LineObject),
    .tp_itemsize = 0,
    .tp_dealloc = line_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "One requested GPIO line, released by release() or when collected.",
    .tp_methods = line_methods,
};
#pragma GCC diagnostic pop

// ----------------------------------------------------------------- Switch

// A line's set() at one level, as a callable of its own: what CameraLED's
// on() and off() become once the line is an output, so that a switch costs
// no more than the line's own set. A failure goes through failure(OSError),
// whose result is raised instead.
struct SwitchObject {
    PyObject ob_base;
    pyt_call_slot call; // how the interpreter calls it
    PyObject *line;     // the Line it sets
    PyObject *failure;  // called with the OSError
    int level;
};

SwitchObject *as_switch(PyObject *self)
{
    return reinterpret_cast<SwitchObject *>(self);
}

PyObject *raise_translated(PyObject *failure)
{
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyObject *translated =
        value != nullptr ? PyObject_CallFunctionObjArgs(failure, value, nullptr) : nullptr;
    if (translated != nullptr) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(translated)), translated);
        Py_DECREF(translated);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
    } else if (!PyErr_Occurred()) {
        PyErr_Restore(type, value, traceback);
    } else {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
    }
    return nullptr;
}

PyObject *switch_call(PyObject *self)
{
    gpio_line_request *request = held_request(as_switch(self)->line);
    if (request == nullptr)
        return nullptr;
    const int result = request->set_value(as_switch(self)->level);
    if (result == 0)
        return new_reference(Py_None);
    static_cast<void>(none_or_error(as_switch(self)->line, result));
    return raise_translated(as_switch(self)->failure);
}

void switch_dealloc(PyObject *self)
{
    Py_XDECREF(as_switch(self)->line);
    Py_XDECREF(as_switch(self)->failure);
    Py_TYPE(self)->tp_free(self);
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject switch_type = {
    PYT_TYPE_HEAD // ends with its own comma
        .tp_name = "tallowick._kernel.Switch",
    .tp_basicsize = sizeof(SwitchObject),
    .tp_itemsize = 0,
    .tp_dealloc = switch_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "Sets its line to one level when called.",
};
#pragma GCC diagnostic pop

PyObject *line_switch(PyObject *self, PyObject *args)
{
    PyObject *value = nullptr;
    PyObject *failure = nullptr;
    if (PyArg_ParseTuple(args, "OO:switch", &value, &failure) == 0)
        return nullptr;
    const int level = PyObject_IsTrue(value);
    if (level < 0)
        return nullptr;
    if (PyCallable_Check(failure) == 0) {
        PyErr_SetString(PyExc_TypeError, "failure must be callable");
        return nullptr;
    }
    auto *object = PyObject_New(SwitchObject, &switch_type);
    if (object == nullptr)
        return nullptr;
    pyt_fill_call_slot<switch_call>(object->call);
    object->line = new_reference(self);
    object->failure = new_reference(failure);
    object->level = level;
    return reinterpret_cast<PyObject *>(object);
}

// ------------------------------------------------------------------- Chip

struct ChipObject {
    PyObject ob_base;
    gpio_chip *chip; // owned; its descriptor is closed by close()
};

gpio_chip *chip_of(PyObject *self)
{
    return reinterpret_cast<ChipObject *>(self)->chip;
}

PyObject *chip_path(PyObject *self, void * /*unused*/)
{
    return pyt_text(chip_of(self)->path().c_str());
}

// The offset argument; false with an exception set.
bool read_offset(PyObject *number, unsigned &offset)
{
    const long value = PyLong_AsLong(number);
    if (value == -1 && PyErr_Occurred() != nullptr)
        return false;
    if (value < 0 || value > 0xffff) {
        PyErr_SetString(PyExc_ValueError, "a line offset is from 0 to 65535");
        return false;
    }
    offset = static_cast<unsigned>(value);
    return true;
}

PyObject *chip_line_info(PyObject *self, PyObject *offset_object)
{
    unsigned offset = 0;
    if (!read_offset(offset_object, offset))
        return nullptr;
    try {
        gpio_line_info info{};
        const int result = chip_of(self)->line_info(offset, info);
        if (result < 0)
            return raise_os_error(-result, chip_of(self)->path().c_str());
        return Py_BuildValue("(NNNN)", pyt_text(info.name.c_str()), pyt_text(info.consumer.c_str()),
                             PyBool_FromLong(info.used ? 1 : 0),
                             PyBool_FromLong(info.output ? 1 : 0));
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

PyObject *chip_request(PyObject *self, PyObject *args, PyObject *kwds)
{
    static const char *keywords[] = {"offset", "consumer", "value", nullptr};
    PyObject *offset_object = nullptr;
    const char *consumer = nullptr;
    PyObject *value = Py_None;
    unsigned offset = 0;
    if (PyArg_ParseTupleAndKeywords(args, kwds, "Os|O:request", const_cast<char **>(keywords),
                                    &offset_object, &consumer, &value) == 0 ||
        !read_offset(offset_object, offset))
        return nullptr;
    const int level = value == Py_None ? 0 : PyObject_IsTrue(value);
    if (level < 0)
        return nullptr;

    auto *line = PyObject_New(LineObject, &line_type);
    if (line == nullptr)
        return nullptr;
    line->chip = new_reference(self);
    line->request = new (std::nothrow) gpio_line_request();
    if (line->request == nullptr) {
        Py_DECREF(line);
        return PyErr_NoMemory();
    }
    const line_mode mode = value == Py_None ? line_mode::as_is : line_mode::output;
    const int result = chip_of(self)->request(offset, mode, level, consumer, *line->request);
    if (result < 0) {
        Py_DECREF(line);
        return raise_os_error(-result, chip_of(self)->path().c_str());
    }
    return reinterpret_cast<PyObject *>(line);
}

PyObject *chip_close(PyObject *self, PyObject * /*unused*/)
{
    chip_of(self)->close();
    return new_reference(Py_None);
}

void chip_dealloc(PyObject *self)
{
    delete chip_of(self);
    Py_TYPE(self)->tp_free(self);
}

PyMethodDef chip_methods[] = {
    {const_cast<char *>("line_info"), pyt_method(chip_line_info), METH_O,
     "(name, consumer, used, output) of the line at offset."},
    {const_cast<char *>("request"), pyt_method(chip_request), METH_VARARGS | METH_KEYWORDS,
     "request(offset, consumer, value=None) -> Line: as it is for None, else an output driven "
     "to value."},
    {const_cast<char *>("close"), pyt_method(chip_close), METH_NOARGS,
     "Closes the chip; requested lines stay requested."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef chip_getset[] = {
    {const_cast<char *>("path"), chip_path, nullptr, const_cast<char *>("The chip's device node."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject chip_type = {
    PYT_TYPE_HEAD // ends with its own comma
        .tp_name = "tallowick._kernel.Chip",
    .tp_basicsize = sizeof(ChipObject),
    .tp_itemsize = 0,
    .tp_dealloc = chip_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "One opened GPIO chip, closed by close() or when collected.",
    .tp_methods = chip_methods,
    .tp_getset = chip_getset,
};
#pragma GCC diagnostic pop

// ------------------------------------------------------------ CameraPower

struct PowerObject {
    PyObject ob_base;
    camera_power *power; // owned
};

camera_power *power_of(PyObject *self)
{
    return reinterpret_cast<PowerObject *>(self)->power;
}

PyObject *power_scan(PyObject *self, PyObject * /*unused*/)
{
    try {
        const int found = power_of(self)->scan();
        if (found < 0)
            return raise_os_error(-found, regulator_class_path);
        return pyt_box_int(found);
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

PyObject *state_object(camera_power_state state)
{
    switch (state) {
    case camera_power_state::on:
        return new_reference(Py_True);
    case camera_power_state::off:
        return new_reference(Py_False);
    case camera_power_state::absent:
        break;
    }
    return new_reference(Py_None);
}

// Called every round of the indicator: no allocation but the result's.
PyObject *power_read(PyObject *self, PyObject * /*unused*/)
{
    return state_object(power_of(self)->read());
}

// Seconds as a float, to whole nanoseconds; false with an exception set.
bool read_duration(PyObject *seconds, long long &nanoseconds)
{
    const double value = PyFloat_AsDouble(seconds);
    if (value == -1.0 && PyErr_Occurred() != nullptr)
        return false;
    // Up to a day: more is a mistake, and would overflow a timespec's sum.
    if (!(value > 0.0 && value <= 86400.0)) {
        PyErr_SetString(PyExc_ValueError, "a duration is from 0 (excluded) to 86400 seconds");
        return false;
    }
    nanoseconds = static_cast<long long>(value * 1e9);
    return true;
}

// The indicator's wait between two switches, without the interpreter's lock.
// A signal cuts it short, and its Python handler runs before the return.
PyObject *power_wait(PyObject *self, PyObject *args)
{
    PyObject *known_object = nullptr;
    PyObject *interval_object = nullptr;
    PyObject *budget_object = nullptr;
    long long interval = 0;
    long long budget = 0;
    if (PyArg_ParseTuple(args, "OOO:wait", &known_object, &interval_object, &budget_object) == 0 ||
        !read_duration(interval_object, interval) || !read_duration(budget_object, budget))
        return nullptr;
    camera_power_state known = camera_power_state::absent;
    if (known_object != Py_None) {
        const int truth = PyObject_IsTrue(known_object);
        if (truth < 0)
            return nullptr;
        known = truth != 0 ? camera_power_state::on : camera_power_state::off;
    }
    PyThreadState *saved = PyEval_SaveThread();
    const camera_power_state state = power_of(self)->wait_for_change(known, interval, budget);
    PyEval_RestoreThread(saved);
    if (PyErr_CheckSignals() < 0)
        return nullptr;
    return state_object(state);
}

PyObject *power_names(PyObject *self, void * /*unused*/)
{
    try {
        const std::vector<std::string> names = power_of(self)->names();
        PyObject *tuple = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
        for (size_t i = 0; tuple != nullptr && i < names.size(); ++i) {
            PyObject *name = pyt_text(names[i].c_str());
            if (name == nullptr)
                Py_CLEAR(tuple);
            else
                PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), name);
        }
        return tuple;
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

void power_dealloc(PyObject *self)
{
    delete power_of(self);
    Py_TYPE(self)->tp_free(self);
}

PyMethodDef power_methods[] = {
    {const_cast<char *>("scan"), pyt_method(power_scan), METH_NOARGS,
     "Looks for the camera's regulators again: how many there are (0 for none)."},
    {const_cast<char *>("read"), pyt_method(power_read), METH_NOARGS,
     "True while one of them is enabled, False while none is, None when there is none."},
    {const_cast<char *>("wait"), pyt_method(power_wait), METH_VARARGS,
     "wait(known, interval, budget) -> the state read every interval seconds once it differs "
     "from known (True, False or None), or after budget seconds or a signal."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef power_getset[] = {
    {const_cast<char *>("names"), power_names, nullptr,
     const_cast<char *>("The names of the regulators the last scan found."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject power_type = {
    PYT_TYPE_HEAD // ends with its own comma
        .tp_name = "tallowick._kernel.CameraPower",
    .tp_basicsize = sizeof(PowerObject),
    .tp_itemsize = 0,
    .tp_dealloc = power_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "The camera's power regulators, as the kernel's regulator class shows them.",
    .tp_methods = power_methods,
    .tp_getset = power_getset,
};
#pragma GCC diagnostic pop

// -------------------------------------------------------- module functions

PyObject *new_camera_power(PyObject * /*module*/, PyObject * /*unused*/)
{
    auto *object = PyObject_New(PowerObject, &power_type);
    if (object == nullptr)
        return nullptr;
    object->power = new (std::nothrow) camera_power();
    if (object->power == nullptr) {
        Py_DECREF(object);
        return PyErr_NoMemory();
    }
    return reinterpret_cast<PyObject *>(object);
}

PyObject *find_chip(PyObject * /*module*/, PyObject *args)
{
    const char *label = nullptr;
    if (PyArg_ParseTuple(args, "s:find_chip", &label) == 0)
        return nullptr;
    auto *object = PyObject_New(ChipObject, &chip_type);
    if (object == nullptr)
        return nullptr;
    object->chip = new (std::nothrow) gpio_chip();
    if (object->chip == nullptr) {
        Py_DECREF(object);
        return PyErr_NoMemory();
    }
    try {
        std::string refused_path;
        const int result = object->chip->find(label, refused_path);
        if (result == 0)
            return reinterpret_cast<PyObject *>(object);
        Py_DECREF(object);
        if (result == -ENOENT)
            return new_reference(Py_None);
        return raise_os_error(-result, refused_path.c_str());
    } catch (const std::bad_alloc &) {
        Py_DECREF(object);
        return PyErr_NoMemory();
    }
}

PyObject *read_revision(PyObject * /*module*/, PyObject * /*unused*/)
{
    uint32_t code = 0;
    switch (read_board_revision(code)) {
    case revision_source::device_tree:
        return Py_BuildValue("(ks)", static_cast<unsigned long>(code), device_tree_revision);
    case revision_source::cpuinfo:
        return Py_BuildValue("(ks)", static_cast<unsigned long>(code), cpuinfo);
    case revision_source::none:
        break;
    }
    return new_reference(Py_None);
}

PyObject *firmware_revision(PyObject * /*module*/, PyObject * /*unused*/)
{
    const int mailbox = rpi_firmware_open();
    const uint32_t code = board_revision(mailbox);
    rpi_firmware_close(mailbox);
    return PyLong_FromUnsignedLong(code);
}

const char *road_name(led_road road)
{
    switch (road) {
    case led_road::soc_gpio:
        return "soc";
    case led_road::firmware_line:
        return "firmware";
    case led_road::carrier_board:
        return "carrier";
    case led_road::none:
        break;
    }
    return "none";
}

PyObject *led_of(PyObject * /*module*/, PyObject *code_object)
{
    uint32_t code = 0;
    if (!read_code(code_object, code))
        return nullptr;
    const struct camera_led led = camera_led_of(code);
    if (led.line < 0 || led.line_name == nullptr)
        return Py_BuildValue("(sOO)", road_name(led.road), Py_None, Py_None);
    return Py_BuildValue("(siN)", road_name(led.road), led.line, pyt_text(led.line_name));
}

PyObject *model(PyObject * /*module*/, PyObject *code_object)
{
    uint32_t code = 0;
    if (!read_code(code_object, code))
        return nullptr;
    return pyt_text(board_model(code));
}

PyObject *outputs_persist(PyObject * /*module*/, PyObject * /*unused*/)
{
    const int persist = soc_outputs_persist();
    if (persist < 0)
        return new_reference(Py_None);
    return PyBool_FromLong(persist);
}

PyObject *probe(PyObject * /*module*/, PyObject *args)
{
    const char *path = nullptr;
    int write = 0;
    if (PyArg_ParseTuple(args, "si:probe_open", &path, &write) == 0)
        return nullptr;
    // As each road opens its node: a chip read-write, the mailbox read-only.
    const int flags = write != 0 ? O_RDWR | O_CLOEXEC : O_RDONLY | O_NONBLOCK | O_CLOEXEC;
    return pyt_box_int(-probe_open(path, flags));
}

PyMethodDef module_methods[] = {
    {const_cast<char *>("board_revision"), pyt_method(read_revision), METH_NOARGS,
     "(code, path read) from the device tree or /proc/cpuinfo, or None."},
    {const_cast<char *>("firmware_revision"), pyt_method(firmware_revision), METH_NOARGS,
     "The code the firmware reports through /dev/vcio; ends the process on failure."},
    {const_cast<char *>("camera_led"), pyt_method(led_of), METH_O,
     "(road, line, line name) of the camera LED; road is soc, firmware, none or carrier."},
    {const_cast<char *>("board_model"), pyt_method(model), METH_O, "The board's model."},
    {const_cast<char *>("soc_outputs_persist"), pyt_method(outputs_persist), METH_NOARGS,
     "Whether a released SoC output keeps its level; None when the kernel does not say."},
    {const_cast<char *>("probe_open"), pyt_method(probe), METH_VARARGS,
     "probe_open(path, write) -> 0, or the errno of a refused open."},
    {const_cast<char *>("camera_power"), pyt_method(new_camera_power), METH_NOARGS,
     "A CameraPower that has not looked for the regulators yet."},
    {const_cast<char *>("find_chip"), pyt_method(find_chip), METH_VARARGS,
     "The GPIO chip with this label, or None; OSError when a node could not be opened."},
    {nullptr, nullptr, 0, nullptr},
};

// The firmware channel ends the process on failure: what the program had
// written to sys.stdout and sys.stderr goes out first, as pyTallowick does.
void flush_python_streams()
{
    if (Py_IsInitialized() == 0 || !pyt_thread_holds_gil())
        return;
    PytSavedError pending = pyt_save_error();
    for (const char *name : {"stdout", "stderr"}) {
        PyObject *stream = PySys_GetObject(const_cast<char *>(name));
        PyObject *result = stream == nullptr || stream == Py_None
                               ? nullptr
                               : PyObject_CallMethod(stream, const_cast<char *>("flush"), nullptr);
        Py_XDECREF(result);
        PyErr_Clear();
    }
    pyt_restore_error(pending);
}

PyObject *init_module()
{
    pyt_callable_without_arguments<switch_call>(switch_type, offsetof(SwitchObject, call));
    if (PyType_Ready(&chip_type) < 0 || PyType_Ready(&line_type) < 0 ||
        PyType_Ready(&switch_type) < 0 || PyType_Ready(&power_type) < 0)
        return nullptr;
    PyObject *module = pyt_create_module(module_name, module_methods, module_doc);
    if (module == nullptr)
        return nullptr;
    // The chips' labels and the expander's numbering come from the core, which
    // finds the chips by them.
    if (PyObject_SetAttrString(module, "Chip", reinterpret_cast<PyObject *>(&chip_type)) < 0 ||
        PyObject_SetAttrString(module, "Line", reinterpret_cast<PyObject *>(&line_type)) < 0 ||
        PyObject_SetAttrString(module, "CameraPower", reinterpret_cast<PyObject *>(&power_type)) <
            0 ||
        PyModule_AddStringConstant(module, "SOC_CHIP", soc_chip_label) < 0 ||
        PyModule_AddStringConstant(module, "EXPANDER_CHIP", expander_chip_label) < 0 ||
        PyModule_AddIntConstant(module, "FIRST_EXPANDER_LINE", expander_first_firmware_line) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    rpi_firmware_set_exit_hook(flush_python_streams);
    return module;
}

} // namespace

PYT_MODULE_ENTRY(_kernel, init_module)
