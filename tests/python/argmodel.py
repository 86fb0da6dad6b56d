"""A model, in plain Python, of the argument rules of Tallowick.Open and
Tallowick.SetState: which int reaches the controller, or which exception the
call raises.

Written from the rules of the module's argument parsing and integer
conversion, not from its C++ code, so that test_differential can hold the
two against each other. It inspects the interpreter's objects only the way
the module does: by the actual type of an object (never isinstance, which
asks __class__), by looking slots up along the type's MRO, and by the same
dictionary operations on the very keyword dictionary the module receives.

open_value(args, kwargs) and set_state_value(state) return the int or raise
the exception the module raises. kwargs None stands for a call without a
keyword part.
"""

import struct
import sys

PY2 = sys.version_info[0] == 2

if PY2:
    text_type = unicode  # noqa: F821 (Python 2 only)
    long_type = long  # noqa: F821
    BUILTINS_MODULE = "__builtin__"
    intern_text = intern  # noqa: F821
else:
    text_type = str
    long_type = int
    BUILTINS_MODULE = "builtins"
    intern_text = sys.intern

FUNCTION_NAME = "Open"
# The interned parameter name: what the literal led_pin in any call is.
LED_PIN = intern_text("led_pin")
# Open's default value object.
DEFAULT_LED_PIN = 134

INT_MIN, INT_MAX = -(2**31), 2**31 - 1
LONG_BITS = 8 * struct.calcsize("l")
LONG_MIN, LONG_MAX = -(2 ** (LONG_BITS - 1)), 2 ** (LONG_BITS - 1) - 1

_MISSING = object()
HEAPTYPE = 1 << 9  # a type's flag: allocated at run time


# ---------------------------------------------------------------- Open's keys


def _positional_count_error(given):
    return TypeError("%s() takes at most 1 positional argument (%d given)" % (FUNCTION_NAME, given))


def _key_kind(key):
    """'bytes', 'text' or None (not a string), by the key's actual type."""
    key_type = type(key)
    if PY2 and issubclass(key_type, str):
        return "bytes"
    if issubclass(key_type, text_type):
        return "text"
    return None


def _same_name(name, key, kind):
    """Content comparison, ignoring any __eq__ of a string subclass: the
    module compares the characters (or bytes) themselves."""
    if kind == "bytes":
        return str.__eq__(name, key) is True
    if PY2:
        # Python 2 compares a unicode key with the byte-string name after
        # decoding the name; "led_pin" is ASCII, so this cannot fail.
        return text_type.__eq__(text_type(name), key) is True
    return str.__eq__(name, key) is True


def _cut_at_nul(data):
    return data.split(b"\0", 1)[0]


def _key_in_message(key, kind, limit=None):
    """How a key appears in a keyword message."""
    if not PY2:
        # %U: the key's characters, whole, whatever str subclass it is.
        return str.__str__(key)
    # Python 2: the key's bytes, as a C string; a unicode key in the default
    # encoding.
    if kind == "bytes":
        data = str.__str__(key)
    else:
        try:
            data = text_type.encode(key, sys.getdefaultencoding())
        except UnicodeError:
            # The module's choice for a key with no form in the default
            # encoding: its unicode-escaped text.
            data = text_type.encode(key, "unicode_escape")
    data = _cut_at_nul(data)
    return data[:limit] if limit is not None else data


def _unexpected_keyword(key, kind):
    # Python 2 shows at most 200 bytes of the key, Python 3 all of it.
    shown = _key_in_message(key, kind, limit=200 if PY2 else None)
    return TypeError("%s() got an unexpected keyword argument '%s'" % (FUNCTION_NAME, shown))


def _given_twice(key, kind):
    return TypeError("%s() got multiple values for keyword argument '%s'" % (FUNCTION_NAME, _key_in_message(key, kind)))


def _lookup_swallowing_errors(kwargs, name):
    """A plain dictionary lookup that treats an error raised while comparing
    keys as "not found", as the interpreter's lookup for C code does."""
    try:
        return kwargs.get(name, _MISSING)
    except Exception:
        return _MISSING


def _scan_keywords(kwargs, value, positional):
    """Every key of kwargs in the dictionary's own order; the first bad key
    decides. Returns the led_pin value after the scan."""
    for key, item in kwargs.items():
        # With one positional argument led_pin is already taken: no key may
        # be stored, and a key naming it is reported as given twice.
        if positional == 0 and key is LED_PIN:
            value = item
            continue
        kind = _key_kind(key)
        if kind is None:
            raise TypeError("%s() keywords must be strings" % FUNCTION_NAME)
        if positional == 0:
            if _same_name(LED_PIN, key, kind):
                value = item
                continue
        elif key is LED_PIN or _same_name(LED_PIN, key, kind):
            raise _given_twice(key, kind)
        raise _unexpected_keyword(key, kind)
    return value


def parse_open_args(args, kwargs):
    """The led_pin value object of an Open call."""
    positional = len(args)
    if positional > 1:
        raise _positional_count_error(positional)
    value = args[0] if positional == 1 else DEFAULT_LED_PIN
    if kwargs is None:
        return value
    remaining = len(kwargs)
    if positional == 0 and remaining > 0:
        # The common call Open(led_pin=n) is settled by one lookup; it finds
        # any key the dictionary holds as equal to the name.
        found = _lookup_swallowing_errors(kwargs, LED_PIN)
        if found is not _MISSING:
            value = found
            remaining -= 1
    if remaining > 0:
        value = _scan_keywords(kwargs, value, positional)
    return value


# ---------------------------------------------------------------- conversion


def _in_int_range(number):
    """The value of an integer for the controller's 32-bit int."""
    if INT_MIN <= number <= INT_MAX:
        return int(number)
    if LONG_MIN <= number <= LONG_MAX:
        # The module's own refusal where a native long is wider than int
        # (Python 2 ints included).
        if number > INT_MAX:
            raise OverflowError("signed integer is greater than maximum")
        raise OverflowError("signed integer is less than minimum")
    raise OverflowError("Python int too large to convert to C long")


def _stored_integer(x):
    """The value an integer object stores, or None for a non-integer. Read
    from the object itself: an __int__ of an int subclass is never asked."""
    x_type = type(x)
    if PY2 and issubclass(x_type, int):
        return int.__int__(x)
    if issubclass(x_type, long_type):
        return long_type.__int__(x) if not PY2 else long_type.__long__(x)
    return None


def _type_slot(x_type, name):
    """What the type's slot for name holds: the first definition along the
    MRO, or _MISSING. Attributes of the metaclass or of the instance do not
    count."""
    for klass in x_type.__mro__:
        if name in vars(klass):
            return vars(klass)[name]
    return _MISSING


def _call_slot(x, definition):
    """Calls a slot definition for x the way the interpreter's slot does:
    descriptors are bound to x, other objects are called as they are."""
    get = _type_slot(type(definition), "__get__")
    if get is not _MISSING:
        return get(definition, x, type(x))()
    return definition()


def _type_name(result_type):
    """The type's C name (tp_name) for the message: built-in types and types
    made by a class statement are named by __name__, other extension types
    by module.name. (Extension types made at run time by PyType_FromSpec
    are heap types named module.name; none are handed back in the tests.)"""
    name = result_type.__name__
    module = vars(result_type).get("__module__", BUILTINS_MODULE)
    if module == BUILTINS_MODULE or result_type.__flags__ & HEAPTYPE:
        return name
    return "%s.%s" % (module, name)


def arg_to_int(x):
    """The int the controller gets for x."""
    stored = _stored_integer(x)
    if stored is not None:
        return _in_int_range(stored)

    # Anything else converts through its type's integer slot: __int__, and
    # under Python 2 __long__ when there is no __int__. The slot is called
    # directly: there is no fallback to __index__ or __trunc__ and no
    # interpreter check of the result on the way.
    tag = "int"
    definition = _type_slot(type(x), "__int__")
    if definition is _MISSING and PY2:
        tag = "long"
        definition = _type_slot(type(x), "__long__")
    if definition is _MISSING:
        raise TypeError("an integer is required")
    result = _call_slot(x, definition)
    stored = _stored_integer(result)
    if stored is None:
        raise TypeError("__%s__ returned non-%s (type %.200s)" % (tag, tag, _type_name(type(result))))
    # An int subclass handed back by __int__ (True, say) is read as it is.
    return _in_int_range(stored)


def open_value(args, kwargs=None):
    """The line that Open(*args, **kwargs) hands to the controller."""
    return arg_to_int(parse_open_args(tuple(args), kwargs))


def set_state_value(state):
    """The value that SetState(state) hands to the controller."""
    return arg_to_int(state)
