#include "args.h"

PyObject *pyt_name_led_pin = nullptr;
PyObject *pyt_default_led_pin = nullptr;

namespace {

const char open_name[] = "Open";

// Open's parameter names, closed by an empty entry. The entries refer to the
// variables, which initialisation fills, not to the objects.
PyObject **const open_argnames[] = {&pyt_name_led_pin, nullptr};

enum class KeyKind { bytes, text, other };

KeyKind classify_key(PyObject *key)
{
    if (pyt_is_byte_key(key))
        return KeyKind::bytes;
    if (PyUnicode_Check(key))
        return KeyKind::text;
    return KeyKind::other;
}

// Compares a parameter name with a keyword of the same kind by content.
// 1 on a match, 0 on none, -1 with the comparison's exception pending.
int name_matches(PyObject *name, PyObject *key, KeyKind kind)
{
    if (kind == KeyKind::bytes)
        return pyt_byte_key_equals(name, key) ? 1 : 0;
    if (pyt_text_lengths_differ(name, key))
        return 0;
    const int order = PyUnicode_Compare(name, key);
    if (order < 0 && PyErr_Occurred() != nullptr)
        return -1;
    return order == 0 ? 1 : 0;
}

// The entry of [from, to) whose name is key itself, or nullptr.
PyObject **const *find_by_identity(PyObject **const *from, PyObject **const *to, PyObject *key)
{
    for (PyObject **const *name = from; name != to; ++name) {
        if (**name == key)
            return name;
    }
    return nullptr;
}

// The entry of [from, to) whose name equals key by content, or nullptr;
// *failed is set when a comparison raised.
PyObject **const *find_by_content(PyObject **const *from, PyObject **const *to, PyObject *key,
                                  KeyKind kind, bool *failed)
{
    for (PyObject **const *name = from; name != to; ++name) {
        const int match = **name == key ? 1 : name_matches(**name, key, kind);
        if (match < 0) {
            *failed = true;
            return nullptr;
        }
        if (match > 0)
            return name;
    }
    return nullptr;
}

PyObject **const *end_of(PyObject **const *names)
{
    while (*names != nullptr)
        ++names;
    return names;
}

void raise_positional_count(const char *function_name, Py_ssize_t given)
{
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 function_name, "at most", static_cast<Py_ssize_t>(1), "", given);
}

// The controller takes an int; a native long (a Python 2 int, a value read
// from a long) may be wider on 64-bit machines.
int checked_int(long long value)
{
    if (value > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "signed integer is greater than maximum");
        return -1;
    }
    if (value < INT_MIN) {
        PyErr_SetString(PyExc_OverflowError, "signed integer is less than minimum");
        return -1;
    }
    return static_cast<int>(value);
}

bool fits_long(long long value)
{
    return static_cast<long long>(static_cast<long>(value)) == value;
}

// Values beyond a native long go through PyLong_AsLong, so that they fail
// with its own error wherever long is as narrow as int.
int long_to_int(PyObject *x)
{
    bool direct = false;
    long long value = pyt_read_small_long(x, &direct);
    if (!direct || !fits_long(value)) {
        const long wide = PyLong_AsLong(x);
        if (wide == -1 && PyErr_Occurred() != nullptr)
            return -1;
        value = wide;
    }
    return checked_int(value);
}

// x is an integer object: a Python 2 int, or a long of either flavour.
int integer_to_int(PyObject *x)
{
    if (pyt_is_short_int(x))
        return checked_int(pyt_short_int_value(x));
    return long_to_int(x);
}

bool is_integer(PyObject *x)
{
    return pyt_is_short_int(x) || PyLong_Check(x);
}

int conversion_failed()
{
    if (PyErr_Occurred() == nullptr)
        PyErr_SetString(PyExc_TypeError, "an integer is required");
    return -1;
}

// Objects that are not integers convert through their type's integer slot;
// its result must itself be an integer.
int int_by_number_protocol(PyObject *x)
{
    PyNumberMethods *number = Py_TYPE(x)->tp_as_number;
    const char *tag = nullptr;
    unaryfunc to_integer = number != nullptr ? pyt_integer_slot(number, &tag) : nullptr;
    if (to_integer == nullptr)
        return conversion_failed();

    PyObject *res = to_integer(x);
    if (res == nullptr)
        return conversion_failed();

    int result = -1;
    if (is_integer(res))
        result = integer_to_int(res);
    else
        PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", tag, tag,
                     Py_TYPE(res)->tp_name);
    Py_DECREF(res);
    return result;
}

} // namespace

int match_keywords(PyObject *kwds, PyObject **const argnames[], PyObject *values[],
                   Py_ssize_t num_pos_args, const char *function_name)
{
    PyObject **const *end = end_of(argnames);
    PyObject **const *first_kw_arg = num_pos_args < end - argnames ? argnames + num_pos_args : end;
    Py_ssize_t pos = 0;
    PyObject *key = nullptr;
    PyObject *value = nullptr;

    while (PyDict_Next(kwds, &pos, &key, &value) != 0) {
        PyObject **const *name = find_by_identity(first_kw_arg, end, key);
        if (name == nullptr) {
            const KeyKind kind = classify_key(key);
            if (kind == KeyKind::other) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function_name);
                return -1;
            }
            bool failed = false;
            name = find_by_content(first_kw_arg, end, key, kind, &failed);
            if (failed)
                return -1;
            if (name == nullptr) {
                PyObject **const *earlier =
                    find_by_content(argnames, first_kw_arg, key, kind, &failed);
                if (failed)
                    return -1;
                pyt_raise_keyword_error(earlier != nullptr ? PYT_MULTIPLE_VALUES
                                                           : PYT_UNEXPECTED_KEYWORD,
                                        function_name, key);
                return -1;
            }
        }
        values[name - argnames] = value;
    }
    return 0;
}

PyObject *parse_open_args(PyObject *args, PyObject *kwds)
{
    PyObject *values[] = {pyt_default_led_pin};
    const Py_ssize_t pos_args = PyTuple_GET_SIZE(args);

    if (pos_args != 0 && pos_args != 1) {
        raise_positional_count(open_name, pos_args);
        return nullptr;
    }
    if (pos_args == 1)
        values[0] = PyTuple_GET_ITEM(args, 0);
    if (kwds == nullptr)
        return values[0];

    Py_ssize_t kw_args = PyDict_Size(kwds);
    if (pos_args == 0 && kw_args > 0) {
        // The common keyword call settles with one lookup, without a scan.
        PyObject *found = pyt_dict_lookup(kwds, pyt_name_led_pin);
        if (found != nullptr) {
            values[0] = found;
            --kw_args;
        }
    }
    if (kw_args > 0 && match_keywords(kwds, open_argnames, values, pos_args, open_name) < 0)
        return nullptr;
    return values[0];
}

int arg_to_int(PyObject *x)
{
    if (is_integer(x))
        return integer_to_int(x);
    return int_by_number_protocol(x);
}
