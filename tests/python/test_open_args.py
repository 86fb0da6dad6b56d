"""Arguments of Tallowick.Open: which line reaches the device, and the exact
refusals of malformed calls."""

import unittest

import support
import vcioemu
from support import PY2, TestCase, call_with_dict
import pyTallowick

Tallowick = pyTallowick.Tallowick


def fresh_key(text):
    """A string equal to text but not the interned object of the literal."""
    return "".join(list(text))


class KeyStr(str):
    pass


TOO_MANY_2 = "Open() takes at most 1 positional argument (2 given)"
TOO_MANY_3 = "Open() takes at most 1 positional argument (3 given)"
TWICE = "Open() got multiple values for keyword argument 'led_pin'"
NOT_STRINGS = "Open() keywords must be strings"


def unexpected(key):
    return "Open() got an unexpected keyword argument '%s'" % key


class LineReachingDevice(TestCase):
    def line_after_open(self, args, kwargs, with_dict=False):
        led = Tallowick()
        if with_dict:
            descriptor = call_with_dict(led.Open, args, kwargs)
        else:
            descriptor = led.Open(*args, **kwargs)
        self.addCleanup(led.Close)
        self.assertIs(type(descriptor), int)
        self.assertGreaterEqual(descriptor, 0)
        return self.line_reaching_device(led)

    def test_default_position_and_keyword(self):
        cases = [((), {}, 134), ((7,), {}, 7), ((), {"led_pin": 7}, 7), ((0,), {}, 0), ((), {"led_pin": 0}, 0)]
        for args, kwargs, line in cases:
            with self.subTest(args=args, kwargs=kwargs):
                self.assertEqual(self.line_after_open(args, kwargs), line)

    def test_empty_keyword_dictionary_is_like_none(self):
        self.assertEqual(self.line_after_open((), {}, with_dict=True), 134)
        self.assertEqual(self.line_after_open((9,), {}, with_dict=True), 9)

    def test_led_pin_key_by_content_not_identity(self):
        keys = [fresh_key("led_pin"), KeyStr("led_pin")]
        if PY2:
            keys.append(u"led_pin")
        for key in keys:
            with self.subTest(key=key, type=type(key)):
                self.assertIsNot(key, "led_pin")
                self.assertEqual(self.line_after_open((), {key: 11}, with_dict=True), 11)
        self.assertEqual(self.line_after_open((), {fresh_key("led_pin"): 12}), 12)


class RefusedCalls(TestCase):
    def refusal(self, args, kwargs, text, with_dict=True):
        """Open on a fresh object refuses with TypeError text, adds its own
        traceback entry and leaves the controller closed and untouched."""
        vcioemu.reset()
        led = Tallowick()
        call = (lambda: call_with_dict(led.Open, args, kwargs)) if with_dict else (lambda: led.Open(*args, **kwargs))
        error, entries = self.raised(TypeError, call)
        self.assertEqual(str(error), text)
        self.assertModuleEntry(entries, "Open")
        self.assertNoDeviceTraffic()
        # Still closed: a correct Open now succeeds rather than answering -2.
        self.assertGreaterEqual(led.Open(5), 0)
        self.assertEqual(self.line_reaching_device(led), 5)
        led.Close()

    def test_count_error_wins_over_keywords(self):
        cases = [
            ((1, 2), {}, TOO_MANY_2),
            ((1, 2, 3), {}, TOO_MANY_3),
            ((1, 2), {"led_pin": 3}, TOO_MANY_2),
            ((1, 2), {"pin": 3}, TOO_MANY_2),
            ((1, 2), {5: 3}, TOO_MANY_2),
            (("a", "b", "c"), {b"x": None}, TOO_MANY_3),
        ]
        for args, kwargs, text in cases:
            with self.subTest(args=args, kwargs=kwargs):
                self.refusal(args, kwargs, text)
        self.refusal((1, 2), {"led_pin": 3}, TOO_MANY_2, with_dict=False)

    def test_position_and_keyword_give_multiple_values(self):
        keys = ["led_pin", fresh_key("led_pin"), KeyStr("led_pin")]
        if PY2:
            keys.append(u"led_pin")
        for key in keys:
            with self.subTest(key=key, type=type(key)):
                self.refusal((1,), {key: 2}, TWICE)
        self.refusal((1,), {"led_pin": 2}, TWICE, with_dict=False)
        # Keyword problems come before the value is converted.
        self.refusal(("not a number",), {"led_pin": 2}, TWICE, with_dict=False)

    def test_unexpected_keyword_even_beside_a_good_led_pin(self):
        cases = [
            ((), {"pin": 3}),
            ((1,), {"pin": 3}),
            ((), {"led_pin": 3, "pin": 4}),
            ((), {"led_pin": "not a number", "pin": 4}),
        ]
        for args, kwargs in cases:
            with self.subTest(args=args, kwargs=kwargs):
                self.refusal(args, kwargs, unexpected("pin"), with_dict=False)
        keys = ["led_pix", "LED_PIN", "led_pin_", "led", "", KeyStr("pin")]
        if PY2:
            keys += [u"pin", u"led_pix"]
        else:
            keys += [u"p\xe9", u"led_pi\U0001F4A1", u"\u6f22\u5b57"]
        for key in keys:
            with self.subTest(key=key):
                self.refusal((), {key: 1}, unexpected(key))

    def test_long_unexpected_keyword(self):
        key = "k" * 300
        # Python 2 shows at most 200 bytes of the key, Python 3 all of it.
        shown = key[:200] if PY2 else key
        self.refusal((), {key: 1}, unexpected(shown))

    def test_keys_must_be_strings(self):
        keys = [1, None, (), 1.5]
        if not PY2:
            keys.append(b"led_pin")
        for key in keys:
            for args in [(), (5,)]:
                with self.subTest(key=key, args=args):
                    self.refusal(args, {key: 1}, NOT_STRINGS)

    def test_first_bad_key_in_iteration_order_decides(self):
        for keys in [(1, "pin"), ("pin", 1), ("led_pin", "pin", 2), ("led_pin", 2, "pin")]:
            kwargs = dict((key, 0) for key in keys)
            first_bad = [key for key in kwargs if key != "led_pin"][0]
            text = NOT_STRINGS if first_bad == 2 or first_bad == 1 else unexpected(first_bad)
            with self.subTest(keys=list(kwargs)):
                self.refusal((), kwargs, text)

    @unittest.skipUnless(PY2, "Python 2 only: unicode keywords")
    def test_unicode_keyword_without_byte_form_fails_cleanly(self):
        # The default encoding (ascii) has no form for these keys; the call
        # must raise TypeError, never crash. Run apart so a crash is seen.
        status, out, err = support.run_child(
            """
            from __future__ import print_function
            import pyTallowick
            from support import call_with_dict
            led = pyTallowick.Tallowick()
            for args, key in [((), u"p\\xe9"), ((1,), u"\\u6f22"), ((), u"led_pin\\xe9")]:
                try:
                    call_with_dict(led.Open, args, {key: 1})
                except BaseException as error:
                    print(type(error).__name__)
                else:
                    print("accepted")
            print(led.Open(3) >= 0)
            led.Close()
            """
        )
        self.assertEqual((status, out, err), (0, "TypeError\nTypeError\nTypeError\nTrue\n", ""))


if __name__ == "__main__":
    unittest.main()
