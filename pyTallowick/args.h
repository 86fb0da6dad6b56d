// Argument rules of the Tallowick methods: the parameters of Open and the
// conversion of Python objects to the controller's int values.
#ifndef PYTALLOWICK_ARGS_H
#define PYTALLOWICK_ARGS_H

#include "compat.h"

// Made once by module initialisation and never released: the interned name
// "led_pin" and the integer 134, Open's default line.
extern PyObject *pyt_name_led_pin;
extern PyObject *pyt_default_led_pin;

// The led_pin value object of an Open call (borrowed), by position, by
// keyword or the default. nullptr with a TypeError (or a comparison's own
// exception) set on failure. kwds may be nullptr.
PyObject *parse_open_args(PyObject *args, PyObject *kwds);

// Matches every key of kwds against the parameter names from position
// num_pos_args on, storing matched values into values. 0 on success; -1 with
// an exception set on the first key that fails.
int match_keywords(PyObject *kwds, PyObject **const argnames[], PyObject *values[],
                   Py_ssize_t num_pos_args, const char *function_name);

// The int value of x. -1 is also a value: it means failure only while an
// exception is pending.
int arg_to_int(PyObject *x);

#endif // PYTALLOWICK_ARGS_H
