// Every difference between the interpreters the module builds for lives here:
// Python 2.7 against Python 3, and within Python 3 the layouts and calls that
// changed between minor versions. The rest of the binding is one source that
// speaks only through these names.
#ifndef PYTALLOWICK_COMPAT_H
#define PYTALLOWICK_COMPAT_H

#define PY_SSIZE_T_CLEAN
// Python 2.7's headers still declare register variables, which C++17 no
// longer has; they are the interpreter's, not ours to mend.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wregister"
#include <Python.h>
#include <frameobject.h>
#pragma GCC diagnostic pop

#include <climits>
#include <cstring>

#if PY_MAJOR_VERSION < 3 || (PY_MAJOR_VERSION == 3 && PY_MINOR_VERSION < 11)
#include <longintrepr.h>
#endif

// The compile-time interface version the module announces; a build may claim
// another one to exercise the import-time version check.
#ifndef PYT_BUILT_MAJOR
#define PYT_BUILT_MAJOR PY_MAJOR_VERSION
#define PYT_BUILT_MINOR PY_MINOR_VERSION
#endif

// The module is built with every symbol hidden; the entry point is the
// interpreter's way in. (PyMODINIT_FUNC marks it visible only from 3.9 on.)
#define PYT_EXPORTED __attribute__((visibility("default")))

#if PY_MAJOR_VERSION < 3
// ---------------------------------------------------------------- Python 2.7
#define PYT_BUILTINS_MODULE "__builtin__"
#define PYT_TYPE_FLAGS                                                                             \
    (Py_TPFLAGS_DEFAULT | Py_TPFLAGS_CHECKTYPES | Py_TPFLAGS_BASETYPE |                            \
     Py_TPFLAGS_HAVE_VERSION_TAG | Py_TPFLAGS_HAVE_NEWBUFFER)
#define PYT_TYPE_HEAD .ob_refcnt = 1, .ob_type = nullptr, .ob_size = 0,
// The entry point named for the module, calling make for the module object.
// The interpreter keeps the module it registered in Py_InitModule4.
#define PYT_MODULE_ENTRY(name, make)                                                               \
    extern "C" PYT_EXPORTED void init##name(void)                                                  \
    {                                                                                              \
        PyObject *module = make();                                                                 \
        Py_XDECREF(module);                                                                        \
    }

#define pyt_intern PyString_InternFromString
#define pyt_box_int PyInt_FromLong

// Text the kernel hands over (line and consumer names, paths): a byte string.
inline PyObject *pyt_text(const char *text)
{
    return PyString_FromString(text);
}

inline PyObject *pyt_create_module(const char *name, PyMethodDef *methods, const char *doc)
{
    // Py_InitModule4 lends the module; the caller owns a reference of its own.
    PyObject *module = Py_InitModule4(name, methods, doc, nullptr, PYTHON_API_VERSION);
    Py_XINCREF(module);
    return module;
}

// Py_InitModule4 has already entered the module in the table of loaded
// modules.
inline int pyt_register_module(PyObject * /*module*/, const char * /*name*/)
{
    return 0;
}

// A Python 2 int holds a native long.
inline bool pyt_is_short_int(PyObject *x)
{
    return PyInt_Check(x);
}
inline long pyt_short_int_value(PyObject *x)
{
    return PyInt_AS_LONG(x);
}

// Python 2 asks __int__ first and __long__ second.
inline unaryfunc pyt_integer_slot(PyNumberMethods *nb, const char **tag)
{
    if (nb->nb_int != nullptr) {
        *tag = "int";
        return nb->nb_int;
    }
    *tag = "long";
    return nb->nb_long;
}

// Keyword names are byte strings; unicode keys are compared after coercion.
inline bool pyt_is_byte_key(PyObject *key)
{
    return PyString_CheckExact(key) || PyString_Check(key);
}
inline bool pyt_byte_key_equals(PyObject *name, PyObject *key)
{
    return PyString_GET_SIZE(name) == PyString_GET_SIZE(key) && _PyString_Eq(name, key) != 0;
}
inline bool pyt_text_lengths_differ(PyObject * /*name*/, PyObject * /*key*/)
{
    return false;
}

// A plain dictionary lookup, borrowed; an error raised while comparing keys
// counts as "not found".
inline PyObject *pyt_dict_lookup(PyObject *dict, PyObject *key)
{
    return PyDict_GetItem(dict, key);
}

// A key shown in a message: its byte-string form under the default encoding,
// or its escaped form when it has none, so that no NULL reaches the format.
inline PyObject *pyt_key_for_message(PyObject *key)
{
    if (PyString_Check(key)) {
        Py_INCREF(key);
        return key;
    }
    PyObject *encoded = PyUnicode_AsEncodedString(key, nullptr, nullptr);
    if (encoded == nullptr) {
        PyErr_Clear();
        encoded = PyUnicode_AsUnicodeEscapeString(key);
    }
    return encoded;
}

inline void pyt_raise_keyword_error(const char *format, const char *function_name, PyObject *key)
{
    PyObject *shown = pyt_key_for_message(key);
    if (shown != nullptr) {
        PyErr_Format(PyExc_TypeError, format, function_name, PyString_AS_STRING(shown));
        Py_DECREF(shown);
    }
}
#define PYT_UNEXPECTED_KEYWORD "%.200s() got an unexpected keyword argument '%.200s'"
#define PYT_MULTIPLE_VALUES "%s() got multiple values for keyword argument '%s'"

#else
// ------------------------------------------------------------------ Python 3
#define PYT_BUILTINS_MODULE "builtins"
#define PYT_TYPE_FLAGS (Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE)
#define PYT_TYPE_HEAD .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
// The entry point named for the module, returning what make makes.
// NOLINTBEGIN(bugprone-macro-parentheses): a definition, not an expression
#define PYT_MODULE_ENTRY(name, make)                                                               \
    extern "C" PYT_EXPORTED PyObject *PyInit_##name(void)                                          \
    {                                                                                              \
        return make();                                                                             \
    }
// NOLINTEND(bugprone-macro-parentheses)

#define pyt_intern PyUnicode_InternFromString
#define pyt_box_int PyLong_FromLong

// Text the kernel hands over (line and consumer names, paths): UTF-8 as far
// as it goes; a stray byte becomes U+FFFD rather than an error.
inline PyObject *pyt_text(const char *text)
{
    return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace");
}

inline PyObject *pyt_create_module(const char *name, PyMethodDef *methods, const char *doc)
{
    static PyModuleDef definition = {
        PyModuleDef_HEAD_INIT, name, doc, -1, methods, nullptr, nullptr, nullptr, nullptr,
    };
    return PyModule_Create2(&definition, PYTHON_API_VERSION);
}

// Enters the module in the table of loaded modules under its own name unless
// an entry is there already. -1 with an exception set on failure.
inline int pyt_register_module(PyObject *module, const char *name)
{
    PyObject *modules = PyImport_GetModuleDict();
    if (modules == nullptr)
        return -1;
    if (!PyDict_Check(modules) || PyDict_GetItemString(modules, name) != nullptr)
        return 0;
    return PyDict_SetItemString(modules, name, module);
}

// Python 3 has one integer type.
inline bool pyt_is_short_int(PyObject * /*x*/)
{
    return false;
}
inline long pyt_short_int_value(PyObject * /*x*/)
{
    return 0;
}

// The slot is called directly rather than through PyNumber_Long: the result is
// checked here, and an int subclass returned by __int__ is read as it is,
// without the interpreter's deprecation warning.
inline unaryfunc pyt_integer_slot(PyNumberMethods *nb, const char **tag)
{
    *tag = "int";
    return nb->nb_int;
}

// Keyword names are text only.
inline bool pyt_is_byte_key(PyObject * /*key*/)
{
    return false;
}
inline bool pyt_byte_key_equals(PyObject * /*name*/, PyObject * /*key*/)
{
    return false;
}
inline bool pyt_text_lengths_differ(PyObject *name, PyObject *key)
{
#if PY_MINOR_VERSION < 12
    if (PyUnicode_READY(name) < 0 || PyUnicode_READY(key) < 0) {
        PyErr_Clear();
        return false; // let the full comparison decide
    }
#endif
    return PyUnicode_GET_LENGTH(name) != PyUnicode_GET_LENGTH(key);
}

// A plain dictionary lookup, borrowed; an error raised while comparing keys
// counts as "not found", silently: from 3.13 on PyDict_GetItem writes such an
// error to standard error as an unraisable exception.
inline PyObject *pyt_dict_lookup(PyObject *dict, PyObject *key)
{
    PyObject *found = PyDict_GetItemWithError(dict, key);
    if (found == nullptr)
        PyErr_Clear();
    return found;
}

inline void pyt_raise_keyword_error(const char *format, const char *function_name, PyObject *key)
{
    PyErr_Format(PyExc_TypeError, format, function_name, key);
}
#define PYT_UNEXPECTED_KEYWORD "%s() got an unexpected keyword argument '%U'"
#define PYT_MULTIPLE_VALUES "%s() got multiple values for keyword argument '%U'"
#endif

// ------------------------------------------------- integers (PyLong objects)

// Reads a Python long by the size and digits of its layout when its magnitude
// takes at most two digits; *direct is false for larger ones, which the caller
// converts through PyLong_AsLong.
inline long long pyt_read_small_long(PyObject *x, bool *direct)
{
#if PY_MAJOR_VERSION > 3 || (PY_MAJOR_VERSION == 3 && PY_MINOR_VERSION >= 12)
    auto *number = reinterpret_cast<PyLongObject *>(x);
    *direct = PyUnstable_Long_IsCompact(number) != 0;
    return *direct ? static_cast<long long>(PyUnstable_Long_CompactValue(number)) : 0;
#else
    const Py_ssize_t size = Py_SIZE(x);
    const digit *digits = reinterpret_cast<PyLongObject *>(x)->ob_digit;
    long long magnitude = 0;
    *direct = true;
    switch (size < 0 ? -size : size) {
    case 0:
        break;
    case 1:
        magnitude = digits[0];
        break;
    case 2:
        magnitude =
            static_cast<long long>(digits[0]) + (static_cast<long long>(digits[1]) << PyLong_SHIFT);
        break;
    default:
        *direct = false;
        break;
    }
    return size < 0 ? -magnitude : magnitude;
#endif
}

// ----------------------------------------------------- objects and exceptions

#if PY_VERSION_HEX >= 0x030C0000
// The pending exception, saved around work that may raise one of its own.
struct PytSavedError {
    PyObject *exception;
};
inline PytSavedError pyt_save_error()
{
    return {PyErr_GetRaisedException()};
}
inline void pyt_restore_error(PytSavedError saved)
{
    PyErr_SetRaisedException(saved.exception);
}
#else
struct PytSavedError {
    PyObject *type;
    PyObject *value;
    PyObject *traceback;
};
inline PytSavedError pyt_save_error()
{
    PytSavedError saved;
    PyErr_Fetch(&saved.type, &saved.value, &saved.traceback);
    return saved;
}
inline void pyt_restore_error(PytSavedError saved)
{
    PyErr_Restore(saved.type, saved.value, saved.traceback);
}
#endif

inline void pyt_adjust_refcount(PyObject *o, Py_ssize_t delta)
{
#if PY_VERSION_HEX >= 0x03090000
    Py_SET_REFCNT(o, Py_REFCNT(o) + delta);
#else
    Py_REFCNT(o) += delta;
#endif
}

// Runs the finalizer (tp_finalize) of an object being deallocated, when its
// type has one that has not run yet. Returns true when the finalizer
// resurrected the object. Python 2 has no finalizer slot.
inline bool pyt_finalize_from_dealloc(PyObject *o)
{
#if PY_MAJOR_VERSION < 3
    (void)o;
    return false;
#else
    PyTypeObject *type = Py_TYPE(o);
    if (type->tp_finalize == nullptr)
        return false;
#if PY_VERSION_HEX >= 0x03090000
    if (PyType_IS_GC(type) && PyObject_GC_IsFinalized(o) != 0)
        return false;
#else
    if (PyType_IS_GC(type) && _PyGC_FINALIZED(o))
        return false;
#endif
    return PyObject_CallFinalizerFromDealloc(o) != 0;
#endif
}

// A fresh frame's line: set directly up to 3.10; from 3.11 on a frame takes
// its line from its code object's first line.
inline void pyt_set_frame_line(PyFrameObject *frame, int line)
{
#if PY_VERSION_HEX < 0x030B0000
    frame->f_lineno = line;
#else
    (void)frame;
    (void)line;
#endif
}

// True when the calling thread holds the interpreter's lock: only then may it
// run Python code. Python 2.7 has no call that says so and is asked through
// the thread states.
inline bool pyt_thread_holds_gil()
{
#if PY_MAJOR_VERSION < 3
    PyThreadState *mine = PyGILState_GetThisThreadState();
    return mine != nullptr && mine == _PyThreadState_Current;
#else
    return PyGILState_Check() != 0;
#endif
}

// Method tables store every calling convention as PyCFunction.
template <typename Function> PyCFunction pyt_method(Function function)
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// Objects called without arguments (tallowick._kernel's switches), at the
// cost of a plain function call: through the vectorcall protocol where the
// interpreter has it (3.9 and later), which makes no argument tuple per call;
// through tp_call elsewhere. Each instance keeps the vectorcall function in a
// pyt_call_slot, which pyt_fill_call_slot sets.
#if PY_MAJOR_VERSION >= 3 && PY_VERSION_HEX >= 0x03090000
#define PYT_HAVE_VECTORCALL 1
using pyt_call_slot = vectorcallfunc;
#else
#define PYT_HAVE_VECTORCALL 0
using pyt_call_slot = void *;
#endif

inline PyObject *pyt_no_arguments_taken()
{
    PyErr_SetString(PyExc_TypeError, "takes no arguments");
    return nullptr;
}

template <PyObject *(*Call)(PyObject *)>
PyObject *pyt_call_without_arguments(PyObject *self, PyObject *args, PyObject *kwds)
{
    if (PyTuple_GET_SIZE(args) != 0 || (kwds != nullptr && PyDict_Size(kwds) != 0))
        return pyt_no_arguments_taken();
    return Call(self);
}

#if PYT_HAVE_VECTORCALL
template <PyObject *(*Call)(PyObject *)>
PyObject *pyt_vectorcall_without_arguments(PyObject *self, PyObject *const * /*args*/,
                                           size_t nargsf, PyObject *kwnames)
{
    if (PyVectorcall_NARGS(nargsf) != 0 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0))
        return pyt_no_arguments_taken();
    return Call(self);
}
#endif

// Before PyType_Ready: instances of type are called as Call(self); slot is
// the offset of their pyt_call_slot.
template <PyObject *(*Call)(PyObject *)>
void pyt_callable_without_arguments(PyTypeObject &type, Py_ssize_t slot)
{
    type.tp_call = pyt_call_without_arguments<Call>;
#if PYT_HAVE_VECTORCALL
    type.tp_vectorcall_offset = slot;
    type.tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL;
#else
    static_cast<void>(slot);
#endif
}

template <PyObject *(*Call)(PyObject *)> void pyt_fill_call_slot(pyt_call_slot &slot)
{
#if PYT_HAVE_VECTORCALL
    slot = pyt_vectorcall_without_arguments<Call>;
#else
    slot = nullptr;
#endif
}

#endif // PYTALLOWICK_COMPAT_H
