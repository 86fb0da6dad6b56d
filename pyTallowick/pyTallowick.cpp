// The extension module pyTallowick: the type Tallowick, whose every instance
// owns one LED controller, and the module's entry point. One source serves
// Python 2.7 and Python 3; the interpreters' differences live in compat.h and
// the entry point stands at the bottom.
//
// The interpreter's headers come first: they choose the system's feature
// macros.
#include "compat.h"

#include <cstdio>
#include <new>

#include "CTallowick.h"
#include "args.h"
#include "gpio.h"

namespace {

const char module_name[] = "pyTallowick";
const char source_file[] = "pyTallowick.cpp";
const char module_doc[] = "Switches the Raspberry Pi camera LED and reads its state.\n"
                          "\n"
                          "Tallowick() makes a controller; Open(led_pin=134) opens the firmware\n"
                          "mailbox, SetState(state) drives the LED line, GetState() reads it and\n"
                          "Close() releases the mailbox.";
constexpr long default_led_pin = 134;

// Module-wide values, made once by initialisation and never released.
PyObject *module_dict = nullptr;
PyObject *empty_tuple = nullptr;
PyObject *name_test = nullptr;

struct TallowickObject {
    PyObject ob_base;
    CTallowick *thisptr;
};

CTallowick *controller_of(PyObject *self)
{
    return reinterpret_cast<TallowickObject *>(self)->thisptr;
}

// Adds a traceback entry for a failure reported at line of this source: a
// frame of its own, named "<where> (<file>:<line>)". Best effort: when the
// entry cannot be built, the pending exception stands without it.
void add_traceback(const char *where, int line)
{
    char function_name[200];
    PyCodeObject *code = nullptr;
    PyFrameObject *frame = nullptr;
    PytSavedError pending = pyt_save_error();

    PyOS_snprintf(function_name, sizeof(function_name), "%s (%s:%d)", where, source_file, line);
    code = PyCode_NewEmpty(source_file, function_name, line);
    if (code != nullptr)
        frame = PyFrame_New(PyThreadState_Get(), code, module_dict, nullptr);
    if (frame != nullptr)
        pyt_set_frame_line(frame, line);
    PyErr_Clear();
    pyt_restore_error(pending);

    if (frame != nullptr)
        PyTraceBack_Here(frame);
    Py_XDECREF(code);
    Py_XDECREF(frame);
}

// The result of a controller call as a Python integer; nullptr with the
// allocation's exception and a traceback entry on failure.
PyObject *box_result(int result, const char *where, int line)
{
    PyObject *boxed = pyt_box_int(result);
    if (boxed == nullptr)
        add_traceback(where, line);
    return boxed;
}

// ------------------------------------------------------------------ methods

PyObject *tallowick_open(PyObject *self, PyObject *args, PyObject *kwds)
{
    static const char where[] = "pyTallowick.Tallowick.Open";
    PyObject *led_pin = parse_open_args(args, kwds);
    if (led_pin == nullptr) {
        add_traceback(where, __LINE__);
        return nullptr;
    }
    const int pin = arg_to_int(led_pin);
    if (pin == -1 && PyErr_Occurred() != nullptr) {
        add_traceback(where, __LINE__);
        return nullptr;
    }
    return box_result(controller_of(self)->Open(pin), where, __LINE__);
}

PyObject *tallowick_close(PyObject *self, PyObject * /*unused*/)
{
    controller_of(self)->Close();
    Py_INCREF(Py_None);
    return Py_None;
}

PyObject *tallowick_set_state(PyObject *self, PyObject *state)
{
    static const char where[] = "pyTallowick.Tallowick.SetState";
    const int new_state = arg_to_int(state);
    if (new_state == -1 && PyErr_Occurred() != nullptr) {
        add_traceback(where, __LINE__);
        return nullptr;
    }
    return box_result(controller_of(self)->SetState(new_state), where, __LINE__);
}

PyObject *tallowick_get_state(PyObject *self, PyObject * /*unused*/)
{
    return box_result(controller_of(self)->GetState(), "pyTallowick.Tallowick.GetState", __LINE__);
}

// The same texts stand in the type stub, for editors.
const char type_doc[] = "One LED controller. It owns at most one open descriptor of the\n"
                        "firmware mailbox, closed by Close() or when the object goes away.";
const char open_doc[] = "Opens the mailbox for LED line led_pin. Returns the descriptor\n"
                        "(>= 0), -2 when already open, -1 when led_pin carries this board's SD\n"
                        "card or eMMC (refused, with a message on standard error); ends the\n"
                        "process with status 1 when the device cannot be opened.";
const char close_doc[] = "Closes the mailbox; harmless when it is not open.";
const char set_state_doc[] = "Drives the LED line: on for any non-zero state, off for 0. Returns\n"
                             "0, or -1 when not open.";
const char get_state_doc[] = "Reads the LED line: 0 or 1, or -1 when not open.";

PyMethodDef tallowick_methods[] = {
    {const_cast<char *>("Open"), pyt_method(tallowick_open), METH_VARARGS | METH_KEYWORDS,
     open_doc},
    {const_cast<char *>("Close"), pyt_method(tallowick_close), METH_NOARGS, close_doc},
    {const_cast<char *>("SetState"), pyt_method(tallowick_set_state), METH_O, set_state_doc},
    {const_cast<char *>("GetState"), pyt_method(tallowick_get_state), METH_NOARGS, get_state_doc},
    {nullptr, nullptr, 0, nullptr},
};

// -------------------------------------------------------- creation and end

PyObject *tallowick_new(PyTypeObject *type, PyObject * /*args*/, PyObject * /*kwds*/)
{
    PyObject *self = nullptr;
    if (PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT) != 0)
        self = PyBaseObject_Type.tp_new(type, empty_tuple, nullptr);
    else
        self = type->tp_alloc(type, 0);
    if (self == nullptr)
        return nullptr;

    // No object is ever handed out without its controller.
    auto *controller = new (std::nothrow) CTallowick();
    if (controller == nullptr) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    reinterpret_cast<TallowickObject *>(self)->thisptr = controller;
    return self;
}

void tallowick_dealloc(PyObject *self)
{
    // Only when this is the object's own type's deallocation: a subclass's
    // deallocation has run the finalizer already, and __del__ runs once.
    if (Py_TYPE(self)->tp_dealloc == tallowick_dealloc && pyt_finalize_from_dealloc(self))
        return;

    PytSavedError pending = pyt_save_error();
    pyt_adjust_refcount(self, 1);
    auto *object = reinterpret_cast<TallowickObject *>(self);
    delete object->thisptr;
    object->thisptr = nullptr;
    pyt_adjust_refcount(self, -1);
    pyt_restore_error(pending);
    Py_TYPE(self)->tp_free(self);
}

// A static type: the slots not named here stay empty, so that PyType_Ready
// fills them from the base object type.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject tallowick_type = {
    PYT_TYPE_HEAD // ends with its own comma
        .tp_name = "pyTallowick.Tallowick",
    .tp_basicsize = sizeof(TallowickObject),
    .tp_itemsize = 0,
    .tp_dealloc = tallowick_dealloc,
    .tp_flags = PYT_TYPE_FLAGS,
    .tp_doc = type_doc,
    .tp_methods = tallowick_methods,
    .tp_new = tallowick_new,
};
#pragma GCC diagnostic pop

PyMethodDef module_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

// ------------------------------------------------------ fatal device errors

void flush_stream(const char *name)
{
    PyObject *stream = PySys_GetObject(const_cast<char *>(name));
    if (stream == nullptr || stream == Py_None)
        return;
    // The flush may replace the stream in sys and so release it.
    Py_INCREF(stream);
    PyObject *result = PyObject_CallMethod(stream, const_cast<char *>("flush"), nullptr);
    if (result == nullptr)
        PyErr_Clear();
    Py_XDECREF(result);
    Py_DECREF(stream);
}

// A device or firmware failure ends the process without the interpreter's
// own exit, which would have written out what the program printed: do it
// here, standard output first, in case both go to one place. Only a thread
// that holds the interpreter's lock may do it, and nothing here may keep the
// process from ending.
void flush_python_streams()
{
    if (Py_IsInitialized() == 0 || !pyt_thread_holds_gil())
        return;
    PytSavedError pending = pyt_save_error();
    flush_stream("stdout");
    flush_stream("stderr");
    pyt_restore_error(pending);
}

// --------------------------------------------------------- initialisation

// Reads the leading "major.minor" of a version text; false when it has none.
bool read_major_minor(const char *text, int *major, int *minor)
{
    return std::sscanf(text, "%d.%d", major, minor) == 2;
}

// Warns when the running interpreter's major.minor differs from the one the
// module was built for. -1 when the warning became an exception.
int check_version()
{
    char built[32];
    char running[32];
    int major = 0;
    int minor = 0;

    PyOS_snprintf(built, sizeof(built), "%d.%d", PYT_BUILT_MAJOR, PYT_BUILT_MINOR);
    if (read_major_minor(Py_GetVersion(), &major, &minor))
        PyOS_snprintf(running, sizeof(running), "%d.%d", major, minor);
    else
        PyOS_snprintf(running, sizeof(running), "%.20s", Py_GetVersion());
    if (major == PYT_BUILT_MAJOR && minor == PYT_BUILT_MINOR)
        return 0;

    char message[200];
    PyOS_snprintf(message, sizeof(message),
                  "compiletime version %s of module '%.100s' does not match runtime version %s",
                  built, module_name, running);
    return PyErr_WarnEx(nullptr, message, 1);
}

// Fills the module; -1 with an exception set on the first step that fails.
int populate_module(PyObject *module)
{
    PyObject *test_dict = nullptr;
    int status = -1;

    PyObject *builtins = PyImport_AddModule(PYT_BUILTINS_MODULE);
    if (builtins == nullptr)
        return -1;
    if (PyObject_SetAttrString(module, "__builtins__", builtins) < 0)
        return -1;
    pyt_name_led_pin = pyt_intern("led_pin");
    if (pyt_name_led_pin == nullptr)
        return -1;
    name_test = pyt_intern("__test__");
    if (name_test == nullptr)
        return -1;
    pyt_default_led_pin = pyt_box_int(default_led_pin);
    if (pyt_default_led_pin == nullptr)
        return -1;
    if (pyt_register_module(module, module_name) < 0)
        return -1;
    if (PyType_Ready(&tallowick_type) < 0)
        return -1;
    if (PyObject_SetAttrString(module, "Tallowick", reinterpret_cast<PyObject *>(&tallowick_type)) <
        0)
        return -1;
    test_dict = PyDict_New();
    if (test_dict == nullptr)
        return -1;
    status = PyDict_SetItem(module_dict, name_test, test_dict);
    Py_DECREF(test_dict);
    if (status == 0)
        rpi_firmware_set_exit_hook(flush_python_streams);
    return status;
}

// Takes a module whose initialisation failed out of the table of loaded
// modules, where it was entered on its way: a later import must try afresh,
// not find half a module.
void forget_module(PyObject *module)
{
    PytSavedError pending = pyt_save_error();
    PyObject *modules = PyImport_GetModuleDict();
    if (modules != nullptr && PyDict_Check(modules) &&
        PyDict_GetItemString(modules, module_name) == module &&
        PyDict_DelItemString(modules, module_name) < 0)
        PyErr_Clear();
    pyt_restore_error(pending);
}

// The module with one reference owned by the caller, or nullptr with an
// exception set.
PyObject *init_module()
{
    PyObject *module = nullptr;

    if (check_version() < 0)
        goto bad;
    empty_tuple = PyTuple_New(0);
    if (empty_tuple == nullptr)
        goto bad;
    module = pyt_create_module(module_name, module_methods, module_doc);
    if (module == nullptr)
        goto bad;
    module_dict = PyModule_GetDict(module);
    if (module_dict == nullptr)
        goto bad;
    Py_INCREF(module_dict);
    if (populate_module(module) < 0)
        goto bad;
    return module;

bad:
    if (module != nullptr) {
        if (module_dict != nullptr)
            add_traceback("init pyTallowick", __LINE__);
        forget_module(module);
        Py_DECREF(module);
        return nullptr;
    }
    if (PyErr_Occurred() == nullptr)
        PyErr_SetString(PyExc_ImportError, "init pyTallowick");
    return nullptr;
}

} // namespace

// ------------------------------------------------------------- entry point

PYT_MODULE_ENTRY(pyTallowick, init_module)
