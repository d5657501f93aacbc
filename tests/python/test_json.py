"""The JSON reader and writer against CPython's json module.

The reader must accept exactly what json.loads accepts (on bytes decoded as strict UTF-8) and
build the same values; the writer must produce exactly the bytes of json.dumps.
"""
import json
import math
import os
import pathlib
import random
import re
import struct

import pytest

import qor_testing

DATA = pathlib.Path(os.environ.get("QOR_TEST_DATA", pathlib.Path(__file__).parent.parent / "data"))
CORPUS = sorted((DATA / "json_test_suite" / "test_parsing").iterdir())


def cpython_verdict(data):
    """('ok', dumps text) or ('error', exception type name) as CPython sees the bytes."""
    try:
        return "ok", json.dumps(json.loads(data.decode("utf-8")))
    except RecursionError:
        return "error", "depth"
    except ValueError as e:  # JSONDecodeError, UnicodeDecodeError, int digit limit
        return "error", type(e).__name__


def our_verdict(data, lazy=None):
    try:
        return "ok", qor_testing.roundtrip(data, lazy)
    except ValueError as e:
        return "error", type(e).__name__


# Each reading test runs with the plain reader and with the lazy reader from several levels on
# (level 0 leaves even the whole document as text when it is in written form).
LAZY = [None, 0, 1, 2]


@pytest.fixture(params=LAZY, ids=lambda lazy: "eager" if lazy is None else "lazy%d" % lazy)
def lazy(request):
    return request.param


def test_corpus_is_complete():
    assert len(CORPUS) == 318


@pytest.mark.parametrize("path", CORPUS, ids=[p.name for p in CORPUS])
def test_conformance_corpus(path, lazy):
    data = path.read_bytes()
    expected = cpython_verdict(data)
    got = our_verdict(data, lazy)
    if expected == ("error", "depth"):
        assert got[0] == "error"  # ours is a fixed depth limit
    else:
        assert got == expected


@pytest.mark.parametrize("path", CORPUS, ids=[p.name for p in CORPUS])
def test_conformance_corpus_error_messages(path, lazy):
    data = path.read_bytes()
    try:
        text = data.decode("utf-8")
        json.loads(text)
        return
    except (RecursionError, UnicodeDecodeError):
        return
    except ValueError as e:
        expected = e
    with pytest.raises(ValueError) as got:
        qor_testing.loads(data, lazy)
    assert type(got.value) is type(expected)
    assert str(got.value) == str(expected)
    if isinstance(expected, json.JSONDecodeError):
        assert (got.value.pos, got.value.lineno, got.value.colno) == (
            expected.pos, expected.lineno, expected.colno)


HOSTILE = [
    "", " ", "[", "]", "{", "}", "[1,]", "[,1]", "{,}", '{"a"}', '{"a":}', '{"a" 1}', '{1: 2}',
    "[1 2]", "01", "-01", "1.", ".1", "1e", "1e+", "1E-", "-", "--1", "+1", "0x10", "1_000",
    "NaN", "-NaN", "nan", "Infinity", "-Infinity", "+Infinity", "infinity", "Inf", "-Inf",
    "tru", "nul", "fals", "True", "None", "null null", "[null", "[true,", '"', '"\\', '"\\u',
    '"\\u12', '"\\u123"', '"\\u12345"', '"\\ud800"', '"\\udc00"', '"\\ud800\\udc00"',
    '"\\ud800\\u"', '"\\ud800\\u00zz"', '"\\ud800\\ud800"', '"\\ud800\\"', '"\\ud800x"',
    '"\\x41"', '"\\\'"', '"\\a"', '"\\/"', '"a\tb"', '"a\nb"', '"a\x7fb"', '"a\x00"', "\x00",
    "\ufeff[]", "[]\ufeff", " \ufeff", "1 2", "[] []", "{}}", "[[]", "[[]]]", '{"a":1,"a":2}',
    '{"":0}', '{"a":{"a":{"a":[]}}}', "1" * 4300, "1" * 4301, "-" + "1" * 4300, "-" + "1" * 4301,
    "1" * 30 + ".5", "1e999999999", "-1e-999999999", "0e0", "0E+0", "-0", "-0.0", "0.0e-0",
    "123456789012345678901234567890e-30", "[" * 900 + "]" * 900, "\u00e9", '"\u00e9"',
    "[\u2028]", "\u00a0[]", "[\r\n\t ]", "[1,\n2\n]\n\n", "//", "/* */ 1", "[1] // x",
    '["a"\n,\n"b"]', '{"a": [1, {"b": null}], "c": "\\"\\\\\\/\\b\\f\\n\\r\\t"}',
]


@pytest.mark.parametrize("text", HOSTILE, ids=range(len(HOSTILE)))
def test_hostile_texts(text, lazy):
    data = text.encode("utf-8", "surrogatepass")
    assert our_verdict(data, lazy) == cpython_verdict(data)
    # The same text one and two levels down, where the lazy reader leaves written forms raw.
    for wrapped in (b"[" + data + b"]", b'{"k": [' + data + b', "x"]}'):
        assert our_verdict(wrapped, lazy) == cpython_verdict(wrapped)


INVALID_UTF8 = [b"\xff", b'"\xc3"', b'"\xc3\x28"', b'"\xed\xa0\x80"', b'"\xf8\x88\x80\x80\x80"',
                b'"\xe0\x80\xaf"', b"[1]\xfe", b'"\xf4\x90\x80\x80"', b'{"\xc0\xaf": 1}']


@pytest.mark.parametrize("data", INVALID_UTF8, ids=range(len(INVALID_UTF8)))
def test_invalid_utf8_is_a_unicode_decode_error(data, lazy):
    with pytest.raises(UnicodeDecodeError) as expected:
        data.decode("utf-8")
    with pytest.raises(UnicodeDecodeError) as got:
        qor_testing.loads(data, lazy)
    assert (got.value.start, got.value.end, got.value.reason) == (
        expected.value.start, expected.value.end, expected.value.reason)
    assert str(got.value) == str(expected.value)


def random_string(rng):
    pools = [
        "abcXYZ 019",
        "\"\\/\b\f\n\r\t\x00\x01\x1f\x7f",
        "\u00e9\u00a0\u0100\u07ff\u0800\u2028\ufeff\uffff",
        "\U0001f600\U00010000\U0010ffff",
        "\ud800\udbff\udc00\udfff",
    ]
    return "".join(rng.choice(rng.choice(pools)) for _ in range(rng.randint(0, 12)))


def random_float(rng):
    kind = rng.random()
    if kind < 0.4:
        return struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0]
    if kind < 0.7:
        return rng.uniform(-1, 1) * 10.0 ** rng.randint(-323, 308)
    return rng.choice([0.0, -0.0, 1.0, 100.0, 1e16, 1e15, 1e-4, 1e-5, 0.1, 5e-324, 1.7976931348623157e308,
                       float("inf"), float("-inf"), float("nan"), 123456789.0, 2.0 ** 53 + 1])


def random_value(rng, depth=0):
    kind = rng.random()
    if depth > 5 or kind < 0.25:
        return rng.choice([
            lambda: random_string(rng),
            lambda: random_float(rng),
            lambda: rng.randint(-10 ** rng.randint(0, 60), 10 ** rng.randint(0, 60)),
            lambda: rng.choice([True, False, None]),
            lambda: rng.randint(-2 ** 63, 2 ** 63),
        ])()
    if kind < 0.6:
        return [random_value(rng, depth + 1) for _ in range(rng.randint(0, 5))]
    return {random_string(rng): random_value(rng, depth + 1) for _ in range(rng.randint(0, 5))}


def test_random_documents_round_trip_byte_for_byte(lazy):
    rng = random.Random(20261208)
    for _ in range(3000):
        value = random_value(rng)
        text = json.dumps(value)
        data = text.encode("ascii")
        assert qor_testing.dumps(value) == text
        # Distinct keys can have one JSON text ("\ud83d\ude00" is one character or two
        # surrogates): reading them back merges them, so compare with CPython's own round trip.
        text = json.dumps(json.loads(text))
        assert qor_testing.roundtrip(data, lazy) == text
        # Jupyter's layout: the written form up to spacing.
        assert qor_testing.roundtrip(json.dumps(value, indent=1).encode("ascii"), lazy) == text
        # Unescaped UTF-8 input reads the same (lone surrogates cannot be raw UTF-8).
        raw = json.dumps(value, ensure_ascii=False)
        try:
            raw_bytes = raw.encode("utf-8")
        except UnicodeEncodeError:
            continue
        assert qor_testing.roundtrip(raw_bytes, lazy) == text


@pytest.mark.parametrize("wide", [True, False], ids=["vector", "portable"])
def test_non_ascii_text_held_lazily_is_written_as_json_dumps_writes_it(wide):
    # Lines of every length up to past sixty-four bytes, of ASCII or of ASCII and two-byte
    # characters (which the writer's vector path takes sixteen bytes at a time, so every split
    # of a character falls somewhere), now and then a longer character or DEL (which it leaves
    # to the byte-wise path), as Jupyter saves them and in the written form.
    rng = random.Random(17)
    pools = ["ab \"\\\t/", "ab \"\\\t/\u00e9\u00f9\u0100\u07ff"]
    rare = ["\u20ac", "\x7f", "\U0001f600", "\u0800"]
    lines = []
    for length in range(90):
        for _ in range(8):
            pool = rng.choice(pools)
            line = [rng.choice(pool) for _ in range(length)]
            if line and rng.random() < 0.2:
                line[rng.randrange(length)] = rng.choice(rare)
            lines.append("".join(line))
    rng.shuffle(lines)
    doc = {"cells": [{"source": lines[i:i + 30], "metadata": {"name": lines[i]}}
                     for i in range(0, len(lines), 30)]}
    expected = json.dumps(doc)
    has_wide = qor_testing.use_wide_escape(wide)
    try:
        if wide and not has_wide:
            pytest.skip("the processor has no AVX-512 VBMI2")
        for text in (json.dumps(doc, indent=1, ensure_ascii=False),
                     json.dumps(doc, ensure_ascii=False)):
            for lazy in (1, 2, 3, 4):
                assert qor_testing.roundtrip(text.encode(), lazy) == expected
    finally:
        qor_testing.use_wide_escape(True)


def test_random_documents_read_as_the_same_values(lazy):
    rng = random.Random(7)
    for _ in range(1000):
        value = random_value(rng)
        text = json.dumps(value, indent=rng.choice([None, 1, "\t"]))
        ours = qor_testing.loads(text.encode("ascii"), lazy)
        theirs = json.loads(text)
        assert json.dumps(ours) == json.dumps(theirs)
        assert type(ours) is type(theirs)


def test_duplicate_keys_keep_first_place_last_value(lazy):
    rng = random.Random(3)
    for _ in range(300):
        keys = [rng.choice("abcde") for _ in range(rng.randint(1, 40))]
        text = "{" + ", ".join('"%s": %d' % (k, i) for i, k in enumerate(keys)) + "}"
        assert qor_testing.roundtrip(text.encode(), lazy) == json.dumps(json.loads(text))
        nested = '[{"x": %s}]' % text
        assert qor_testing.roundtrip(nested.encode(), lazy) == json.dumps(json.loads(nested))


def test_large_objects_with_duplicate_keys(lazy):
    keys = ["k%d" % (i % 700) for i in range(3000)]
    text = "{" + ", ".join('"%s": %d' % (k, i) for i, k in enumerate(keys)) + "}"
    assert qor_testing.roundtrip(text.encode(), lazy) == json.dumps(json.loads(text))


def reorder(value, rng):
    """The same value with its objects' keys in another order and its integers maybe as reals
    or booleans, as another writer might give it."""
    if isinstance(value, dict):
        items = list(value.items())
        rng.shuffle(items)
        return {k: reorder(v, rng) for k, v in items}
    if isinstance(value, list):
        return [reorder(v, rng) for v in value]
    if type(value) is int and abs(value) < 2 ** 53 and rng.random() < 0.5:
        return bool(value) if value in (0, 1) and rng.random() < 0.5 else float(value)
    return value


def mutate(value, rng):
    """A value that is often, but not always, different."""
    if isinstance(value, dict) and value and rng.random() < 0.7:
        key = rng.choice(list(value))
        copy = dict(value)
        copy[key] = mutate(copy[key], rng)
        return copy
    if isinstance(value, list) and value and rng.random() < 0.7:
        copy = list(value)
        i = rng.randrange(len(copy))
        copy[i] = mutate(copy[i], rng)
        return copy
    return rng.choice([value, random_value(rng, 4), 1, 1.0, True, "x", None, [], {}])


def test_lazily_read_values_compare_as_python_compares_them():
    # Equal texts, texts that differ only in key order, spacing or number form, and texts of
    # different values: raw values must never be taken as unequal, nor as equal, wrongly.
    rng = random.Random(13)
    for _ in range(2000):
        value = {"cells": [random_value(rng, 2) for _ in range(3)]}
        forms = [value, reorder(value, rng), mutate(value, rng)]
        texts = [json.dumps(v, indent=rng.choice([None, 1])).encode() for v in forms]
        for a in texts:
            for b in texts:
                # In a list, as in our values, the one NaN object equals itself.
                expected = [json.loads(a)] == [json.loads(b)]
                for lazy in (0, 1, 2, 3):
                    assert qor_testing.lazy_equal(a, b, lazy) == expected, (a, b, lazy)


def test_writer_takes_python_objects_as_json_dumps_does():
    class MyDict(dict):
        pass

    class MyList(list):
        pass

    value = MyDict({1: (1, 2), 2.5: MyList(["x"]), True: None, None: 1, "s": "\ud800",
                    -10 ** 30: 10 ** 40, float("inf"): [], False: {}})
    assert qor_testing.dumps(value) == json.dumps(value)


@pytest.mark.parametrize("bad, error, message", [
    ({1, 2}, TypeError, "Object of type set is not JSON serializable"),
    (b"x", TypeError, "Object of type bytes is not JSON serializable"),
    ({(1,): 2}, TypeError, "keys must be str, int, float, bool or None, not tuple"),
])
def test_writer_rejects_what_json_dumps_rejects(bad, error, message):
    with pytest.raises(error, match="^" + message + "$"):
        qor_testing.dumps(bad)
    with pytest.raises(error):
        json.dumps(bad)


def test_circular_and_deep_structures_are_errors():
    loop = []
    loop.append(loop)
    with pytest.raises(ValueError, match="Circular reference detected"):
        qor_testing.dumps(loop)
    d = {}
    d["self"] = d
    with pytest.raises(ValueError, match="Circular reference detected"):
        qor_testing.dumps(d)
    deep = []
    for _ in range(5000):
        deep = [deep]
    with pytest.raises(ValueError, match="Nesting deeper than 1000 levels"):
        qor_testing.dumps(deep)
    shared = [1]
    assert qor_testing.dumps([shared, shared]) == "[[1], [1]]"


def test_floats_of_every_magnitude(lazy):
    rng = random.Random(11)
    values = [random_float(rng) for _ in range(20000)]
    values += [10.0 ** e for e in range(-323, 309)] + [-(10.0 ** e) for e in range(-20, 20)]
    text = json.dumps(values)
    assert qor_testing.roundtrip(text.encode(), lazy) == text
    # Reals in other spellings are not in written form and must be written anew.
    other = "[" + ", ".join(["1E5", "1.50", "-0", "0.1e1", "1e400", "-1e-400", "100", "1.0"]) + "]"
    assert qor_testing.roundtrip(other.encode(), lazy) == json.dumps(json.loads(other))
    assert qor_testing.roundtrip(("[" + other + "]").encode(), lazy) == json.dumps([json.loads(other)])
    assert qor_testing.dumps(values) == text
    back = qor_testing.loads(text.encode())
    for a, b in zip(back, values):
        assert (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))


# ---------------------------------------------------------------------------------------------
# The indented form: json.dumps(value, sort_keys=True, indent=1, ensure_ascii=False)

LONE_SURROGATE = re.compile("[\ud800-\udfff]")


def jupyter_dumps(value):
    """CPython's text as UTF-8 bytes, lone surrogates (which UTF-8 cannot carry) escaped."""
    text = json.dumps(value, sort_keys=True, indent=1, ensure_ascii=False)
    return LONE_SURROGATE.sub(lambda m: "\\u%04x" % ord(m.group()), text).encode("utf-8")


def test_indented_form_of_random_documents():
    rng = random.Random(20261209)
    for _ in range(3000):
        value = random_value(rng)
        expected = jupyter_dumps(value)
        assert qor_testing.dumps_jupyter(value) == expected
        # What we write we read back as the same value.
        assert qor_testing.roundtrip_jupyter(expected) == jupyter_dumps(json.loads(expected))


def test_indented_form_of_documents_read_lazily(lazy):
    """Values left as text are written from their text when only its white space differs, which
    takes keys sorted and no character that this form writes unescaped; the result is the same
    bytes whatever the form read."""
    rng = random.Random(20261210)
    for _ in range(400):
        # Several values in one list, so that texts of the size kept as text occur.
        value = [random_value(rng) for _ in range(rng.randint(1, 6))]
        if rng.random() < 0.3:
            value = {"cells": value, "metadata": {"z": value[-1], "a": [value[0]]}}
        expected = jupyter_dumps(json.loads(json.dumps(value)))
        for form in ({}, {"sort_keys": True}, {"indent": 1}, {"sort_keys": True, "indent": 1},
                     {"sort_keys": True, "indent": 2, "separators": (" ,", " : ")}):
            data = json.dumps(value, **form).encode("ascii")
            assert qor_testing.roundtrip_jupyter(data, lazy) == expected, form
        assert qor_testing.roundtrip_jupyter(expected, lazy) == expected
    # Keys whose escaped text sorts otherwise than their characters, strings that this form
    # writes unescaped, and empty values spaced out; padded to the size kept as text.
    pad = "p" * 130
    for text in ['[{"A": "%s", "\\n": 1}]', '[{"\\"": 1, "#": "%s"}]', '[{"#": 1, "\\"": "%s"}]',
                 '[["\\u00e9", "%s"]]', '[["\\u007f", "%s"]]', '[["\\ud800\\udc00", "%s"]]',
                 '[["\\ud800", "%s"]]', '[["\\u001f\\u0000", "%s"]]', '[[ [ ], { }, [\n], "%s"]]']:
        data = (text % pad).encode("ascii")
        assert qor_testing.roundtrip_jupyter(data, lazy) == jupyter_dumps(json.loads(data)), text


@pytest.mark.parametrize("value, text", [
    ({}, "{}"), ([], "[]"), ({"a": []}, '{\n "a": []\n}'), ([{}], "[\n {}\n]"),
    ({"b": 1, "a": [1, [2]]}, '{\n "a": [\n  1,\n  [\n   2\n  ]\n ],\n "b": 1\n}'),
    ("é\u2028\x7f\x00\x1f\"\\/\n\t", '"é\u2028\x7f\\u0000\\u001f\\"\\\\/\\n\\t"'),
    ("\ud800x\udfff", '"\\ud800x\\udfff"'), ("\U0001f600", '"\U0001f600"'),
    ({"\ue000": 1, "\ud7ff": 2, "\ud800": 3, "\U00010000": 4, "Z": 5, "a": 6, "": 7},
     '{\n "": 7,\n "Z": 5,\n "a": 6,\n "\ud7ff": 2,\n "\\ud800": 3,\n "\ue000": 1,\n'
     ' "\U00010000": 4\n}'),
    ([float("nan"), float("-inf"), 1e16, 0.1, -0.0, 10 ** 30], None),
])
def test_indented_form_cases(value, text):
    got = qor_testing.dumps_jupyter(value)
    assert got == jupyter_dumps(value)
    if text is not None:
        assert got == text.encode("utf-8", "surrogatepass")


def test_indented_form_sorts_keys_by_code_point():
    rng = random.Random(5)
    for _ in range(500):
        keys = {random_string(rng): i for i in range(rng.randint(0, 12))}
        assert qor_testing.dumps_jupyter(keys) == jupyter_dumps(keys)


def test_indented_form_depth_limit():
    deep = []
    for _ in range(1001):
        deep = [deep]
    with pytest.raises(ValueError, match="Nesting deeper than 1000 levels"):
        qor_testing.dumps_jupyter(deep)


REAL = sorted((DATA / "real").glob("*/*.ipynb"))


@pytest.mark.parametrize("path", REAL, ids=[p.name for p in REAL])
def test_indented_form_of_real_notebooks(path):
    data = path.read_bytes()
    expected = jupyter_dumps(json.loads(data))
    assert qor_testing.roundtrip_jupyter(data) == expected
    if path.parent.name != "python-lmfit-doc":  # saved by Jupyter: we write the same bytes
        assert qor_testing.roundtrip_jupyter(data) + b"\n" == data
