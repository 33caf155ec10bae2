"""The _native contract module: its names, the errors it raises and their exact messages,
argument binding and conversion, the value classes (equality, repr, pickling), and what a
call does when memory runs short."""

import collections
import errno
import functools
import operator
import os
import pickle
import re
import struct
import subprocess
import sys
import weakref

import numpy
import pytest
from conftest import FS, RL, SCHEMA, Container, Index, create, drelix_bytes, make_file
from drelix_binary import _engine, _native

Schema = _native.Schema
A, B, C = FS("a", "u8", 0), FS("b", "u64", 1), FS("c", "uuid", 9)
PRE = RL.prefixed()
ERRORS = "DrelixError DrelixMalformedError DrelixUsageError DrelixZoneFullError"
NAMES = (
    "Container Schema FieldSpec RecordLayout Frame Preamble ValidateReport RebuildReport "
    "RepackReport peek_headers validate rebuild_headers repack split_records xxh64 "
    f"max_frames_for {ERRORS} DrelixCompressionError VERSION EXTENSION "
    "DEFAULT_HEADER_AREA MAX_HEADER_AREA HOT_LEVEL COLD_LEVEL __version__"
).split()


def test_names_constants_and_exception_classes():
    assert list(_native.__all__) == NAMES and all(hasattr(_native, n) for n in NAMES)
    assert [getattr(_native, n) for n in NAMES[-7:]] == [1, "drelix", 4096, 16777216, 3, 19, "2.1.0"]  # fmt: skip
    for name in NAMES[16:21]:
        cls = getattr(_native, name)
        base = Exception if name == "DrelixError" else _native.DrelixError
        assert (cls.__bases__, cls.__module__, cls.__name__) == ((base,), "_native", name)  # fmt: skip
        assert not issubclass(cls, OSError) and not issubclass(OSError, cls)


FILE_FUNCTIONS = [_native.peek_headers, _native.validate, _native.rebuild_headers,
                  _native.repack, Container.open_read, Container.open_append]  # fmt: skip


@pytest.mark.parametrize("content, exc, message", [
    (None, OSError, rf"{{path}}: .* \(os error {errno.ENOENT}\)"),
    (b"DRELIX\x01", OSError, "failed to fill whole buffer"),
    (b"NOTDRX" + bytes(10), _native.DrelixMalformedError, "not a drelix file: bad magic")],
    ids=["missing", "short", "foreign"])  # fmt: skip
@pytest.mark.parametrize("fn", FILE_FUNCTIONS, ids=lambda fn: fn.__name__)
def test_a_missing_short_or_foreign_file_is_refused_and_left_as_it_was(tmp_path, fn, content, exc, message):  # fmt: skip
    path = tmp_path / "a.drelix"
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(exc, match=rf"^{message.format(path=re.escape(str(path)))}$") as info:
        fn(path)
    # Exactly the class, no errno: an `except FileNotFoundError` handler must not catch it.
    assert type(info.value) is exc and info.value.args == (str(info.value),)
    assert [getattr(info.value, a, None) for a in ("errno", "strerror", "filename")] == [None] * 3
    assert path.read_bytes() == content if content else not path.exists()


@pytest.mark.parametrize("fn", [*FILE_FUNCTIONS, create], ids=lambda fn: fn.__name__)
def test_a_path_with_a_nul_is_refused_before_any_file_is_touched(tmp_path, fn):
    """Cut at the NUL, "<path>\\0x" would name <path> itself as the journal and delete it."""
    path = tmp_path / "a.drelix"
    make_file(path, frames=1)
    before = (sorted(os.listdir(tmp_path)), path.read_bytes())
    with pytest.raises(ValueError, match=r"^embedded null byte$"):
        fn(f"{path}\0x")
    assert (sorted(os.listdir(tmp_path)), path.read_bytes()) == before


ARGUMENT_ERRORS = [
    (lambda: _native.split_records(), TypeError, "split_records() missing 2 required positional arguments: 'data' and 'layout'"),
    (lambda: FS(), TypeError, "FieldSpec.__new__() missing 3 required positional arguments: 'name', 'ty', and 'offset'"),
    (lambda: FS("a", offset=1), TypeError, "FieldSpec.__new__() missing 1 required positional argument: 'ty'"),
    (lambda: _native.xxh64(b"", b""), TypeError, "xxh64() takes 1 positional argument but 2 were given"),
    (lambda: FS("a", "u8", 0, 1), TypeError, "FieldSpec.__new__() takes 3 positional arguments but 4 were given"),
    (lambda: _native.repack("a", 3, None, 1), TypeError, "repack() takes from 1 to 3 positional arguments but 4 were given"),
    (lambda: RL.prefixed(1), TypeError, "RecordLayout.prefixed() takes no arguments (1 given)"),
    (lambda: _native.xxh64(x=1), TypeError, "xxh64() got an unexpected keyword argument 'x'"),
    (lambda: _native.repack("a", 3, level=3), TypeError, "repack() got multiple values for argument 'level'"),
    (lambda: _native.peek_headers(b"/x"), TypeError, "argument 'path': expected a str path, got bytes"),
    (lambda: _native.peek_headers(type("P", (), {"__fspath__": lambda _: b"/x"})()), TypeError, "argument 'path': expected a str path, got bytes"),
    (lambda: _native.validate(None), TypeError, "argument 'path': expected str, bytes or os.PathLike object, not NoneType"),
    (lambda: _native.xxh64(bytearray(b"a")), TypeError, "argument 'data': expected bytes, got bytearray"),
    (lambda: _native.split_records(b"", RL), TypeError, "argument 'layout': expected RecordLayout, got type"),
    (lambda: _native.max_frames_for(1.0), TypeError, "argument 'header_area': 'float' object cannot be interpreted as an integer"),
    (lambda: FS("a", None, 0), TypeError, "argument 'ty': expected str, got NoneType"),
    (lambda: _native.rebuild_headers("x", numpy.int64(1)), TypeError, "argument 'fix': expected True or False, got int64"),
    (lambda: Schema("s", "ab", PRE), TypeError, "argument 'fields': expected a sequence of FieldSpec, got str"),
    (lambda: Schema("s", iter([A]), PRE), TypeError, "argument 'fields': expected a sequence of FieldSpec, got list_iterator"),
    (lambda: Schema("s", [A, PRE], PRE), TypeError, "argument 'fields': item 1: expected FieldSpec, got RecordLayout"),
    (lambda: _native.repack("/none/x", header_area=16777217), _native.DrelixUsageError, "header zone of 16777217 bytes is outside 1..=16777216"),
    (lambda: _native.max_frames_for(-1), OverflowError, "can't convert negative int to unsigned"),
    (lambda: _native.max_frames_for(Index(2**32)), OverflowError, "int too big to convert"),
    (lambda: FS("a", "u8", 2**64), OverflowError, "int too big to convert"),
    (lambda: RL.fixed(Index(1, hook=lambda: int("x"))), ValueError, "invalid literal for int() with base 10: 'x'"),
    (lambda: FS("\ud800", "u8", 0), UnicodeEncodeError, "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
] + [  # User headers, alike in both modules, refused before the file (its directory is missing) is opened.
    (functools.partial(create_in, "/none/f", user=user), exc, message)
    for create_in in (create, functools.partial(_engine.Writer.create, schema=SCHEMA))
    for user, exc, message in [
        ({"a": "b"}, TypeError, "argument 'user': expected a sequence of (str, str) tuples, got dict"),
        ([("a", 1)], TypeError, "argument 'user': item 0: expected str, got int"),
        ([("ok", "1"), ()], ValueError, "expected tuple of length 2, but got tuple of length 0"),
        ([("_sys", "1")], _native.DrelixUsageError, "user header key \"_sys\" may not start with '_'")]
]  # fmt: skip


@pytest.mark.parametrize("call, exc, message", ARGUMENT_ERRORS)
def test_argument_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    e = info.value
    assert type(e) is exc and str(e) == message
    if message.startswith("argument "):  # the conversion error is the cause, named
        assert type(e.__cause__) is TypeError and e.__suppress_context__
        assert message.endswith(f"': {e.__cause__}")


ACCEPTED = {  # a call in an accepted form: what it must equal
    "keywords": (lambda: FS(offset=1, ty="u8", name="a"), FS("a", "u8", 1)),
    "keywords_split": (lambda: _native.split_records(layout=RL.fixed(size=4), data=b"abcd"), ([b"abcd"], 0)),
    "keywords_schema": (lambda: _native.Schema(layout=PRE, fields=(), name="s"), Schema("s", [], PRE)),
    "bool_and_index": (lambda: (RL.fixed(True).fixed_size, RL.fixed(Index(7)).fixed_size), (1, 7)),
    "bytes_subclass": (lambda: _native.xxh64(data=type("Blob", (bytes,), {})(b"abc")), 0x44BC2CF5AD770999),
    "xxh64_top_bit": (lambda: _native.xxh64(b""), 0xEF46DB3751D8E999),  # never negative
    "split_prefixed": (lambda: _native.split_records(b"\x03\x00abc\x00\x00\x01\x00z\x05\x00ab", PRE), ([b"abc", b"", b"z"], 4)),
    "widest_zone": (lambda: _native.max_frames_for(header_area=2**32 - 1), (2**32 - 2625) // 64),
    "str_subclass": (lambda: [(v, type(v)) for v in operator.attrgetter("name", "ty", "offset")(FS(type("Text", (str,), {})("n\u00e9e"), "u8", False))], [("n\u00e9e", str), ("u8", str), (0, int)]),
}  # fmt: skip


@pytest.mark.parametrize("case", ACCEPTED)
def test_accepted_argument_forms(case):
    call, expected = ACCEPTED[case]
    assert call() == expected


def test_user_headers_may_be_none_and_a_schema_keeps_its_own_copies(tmp_path):
    assert create(tmp_path / "n.drelix", user=None).frames() == []
    fields = [A, B]
    schema = Schema("t@2", collections.UserList(fields), RL.fixed(9))
    fields.append(C)
    schema.fields.append(C)  # getters build new objects
    assert schema.fields == [A, B] and type(schema.fields) is list
    assert schema.fields[0] is not schema.fields[0] and schema.layout is not schema.layout  # fmt: skip


def test_peek_headers_unescapes_keeps_a_repeated_keys_first_place_and_takes_any_path_form(tmp_path):  # fmt: skip
    headers = [("_schema", "t@1"), ("note", "two\nlines \\ back"), ("c", "z\u00fcrich")]
    path = tmp_path / "d\u00e4t\u00e9.drelix"
    path.write_bytes(drelix_bytes(headers + [("c", "last")], 256, flags=0, data=b"junk"))  # fmt: skip
    results = [_native.peek_headers(p) for p in (path, str(path), type("T", (str,), {})(path))]  # fmt: skip
    assert all(r == results[0] for r in results) and results[0][0] is not results[1][0]
    assert list(results[0][1].items()) == headers[:2] + [("c", "last")]


def preamble(tmp_path, flags=1, area=128):
    path = tmp_path / f"p{flags}.drelix"
    path.write_bytes(drelix_bytes([], area, flags))
    return _native.peek_headers(path)[0]


def frames(tmp_path, token, data):
    """The frames of a hand-written file whose _frames header is `token`."""
    headers = [("_schema", "t@1"), ("_record", "prefixed"), ("_schema_fields", ""), ("_frames", token)]  # fmt: skip
    (tmp_path / "f.drelix").write_bytes(drelix_bytes(headers, 256, data=data))
    return Container.open_read(tmp_path / "f.drelix").frames()


INSTANCES = {
    "Preamble": preamble,
    "FieldSpec": lambda _: FS("a", "u8", 1),
    "RecordLayout": lambda _: RL.fixed(4),
    "Schema": lambda _: Schema("s@1", [A], PRE),
    "Frame": lambda p: frames(p, "7,0,5,00000000000000ff", b"12345")[0],
    "ValidateReport": lambda p: _native.validate(p / "r.drelix"),
    "RebuildReport": lambda p: _native.rebuild_headers(p / "r.drelix"),
    "RepackReport": lambda p: _native.repack(p / "r.drelix", 3),
    "Container": lambda p: Container.open_read(p / "r.drelix"),
}


@pytest.mark.parametrize("name", INSTANCES)
def test_classes_are_final_frozen_and_compare_by_value_or_identity(tmp_path, name):
    make_file(tmp_path / "r.drelix", frames=1)
    cls, a, b = getattr(_native, name), INSTANCES[name](tmp_path), INSTANCES[name](tmp_path)
    assert (cls.__module__, cls.__bases__, type(a)) == ("drelix_binary._native", (object,), cls)  # fmt: skip
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    if name not in ("FieldSpec", "Schema"):
        with pytest.raises(TypeError, match=rf"^cannot create 'drelix_binary._native.{name}'"):  # fmt: skip
            cls()
    for attribute in ("new_attribute", dir(a)[-1]):  # no new attribute, and frozen
        with pytest.raises(AttributeError):
            setattr(a, attribute, 1)
    if name.endswith("Report") or name == "Container":  # identity, hashable
        assert a != b and len({a, b, a}) == 2 and a is not b
        return
    assert a == b and (a != b) is False and pickle.loads(pickle.dumps(a)) == a
    for other in [1, None, FS("z", "u8", 0), RL.fixed(99)]:
        assert (a == other) is False and (a != other) is True and (other == a) is False  # fmt: skip
    for refused in (operator.lt, lambda x, _: hash(x), lambda x, _: weakref.ref(x)):
        with pytest.raises(TypeError):
            refused(a, b)


def test_values_that_differ_in_any_one_part_are_unequal_and_pickling_keeps_it(tmp_path):
    base = Schema("s", [A, B], PRE)
    pairs = [
        (FS("a", "u8", 1), FS("b", "u8", 1)), (FS("a", "u8", 1), FS("a", "u16", 1)),
        (FS("a", "u8", 1), FS("a", "u8", 2)), (PRE, RL.fixed(0)), (RL.fixed(0), PRE),
        (RL.fixed(3), RL.fixed(4)), (Schema("s", [], PRE), PRE),
        (preamble(tmp_path, 1), preamble(tmp_path, 0)),
        (preamble(tmp_path, 1, 128), preamble(tmp_path, 1, 256)),
    ] + [(base, Schema(*args)) for args in [
        ("t", [A, B], PRE), ("s", [B, A], PRE), ("s", [A], PRE), ("s", [A, B, C], PRE),
        ("s", [A, B], RL.fixed(0))]]  # fmt: skip
    fs = frames(tmp_path, "1,0,2,1;1,0,2,2;1,0,2,1;2,0,2,1;1,1,2,1;1,0,1,1;1,0,2", b"abc")  # fmt: skip
    assert fs[0] == fs[2]
    pairs += [(fs[0], f) for f in fs[3:] + fs[1:2]]
    for a, b in pairs:
        assert a != b and (a == b) is False, (a, b)
        assert pickle.loads(pickle.dumps(b)) == b and pickle.loads(pickle.dumps(a)) != b


def test_reprs_and_fields(tmp_path):
    p = preamble(tmp_path, 255, 16777216)
    assert (p.version, p.flags, p.header_area) == (1, 255, 16777216)
    assert repr(p) == "Preamble(version=1, flags=255, header_area=16777216)"
    token = "18446744073709551615,1,2,ffffffffffffffff;0,0,0"
    fs = frames(tmp_path, token, b"abc")
    assert [(f.id, f.offset, f.len, f.hash) for f in fs] == [(2**64 - 1, 1, 2, 2**64 - 1), (0,) * 4]  # fmt: skip
    assert [repr(f) for f in fs] == [
        "Frame(id=18446744073709551615, offset=1, len=2, hash=0xffffffffffffffff)",
        "Frame(id=0, offset=0, len=0, hash=0x0000000000000000)",
    ]
    names = ['q"', "n\nl\t\r", "nul\0", "b\\s", "it's", "bell\x07", "e\u0301", "z\u00fc"]  # fmt: skip
    shown = r"q\", n\nl\t\r, nul\0, b\\s, it" + "'s, bell\\u{7}, e\\u{301}, z\u00fc"
    assert ", ".join(repr(FS(n, "u8", 12))[16:-22] for n in names) == shown
    field = FS("", 'u"8', 2**32 - 1)  # no validation: anything is representable
    assert (field.name, field.ty, field.offset) == ("", 'u"8', 2**32 - 1)
    assert repr(field) == 'FieldSpec(name="", ty="u\\"8", offset=4294967295)'
    layouts = [PRE, RL.fixed(0), RL.fixed(2**32 - 1), PRE.fixed(5)]
    assert [x.fixed_size for x in layouts] == [None, 0, 2**32 - 1, 5]
    assert [repr(x) for x in layouts] == ["RecordLayout.prefixed()", "RecordLayout.fixed(0)",
                                          "RecordLayout.fixed(4294967295)", "RecordLayout.fixed(5)"]  # fmt: skip
    assert repr(Schema('a"\n', [A, B, C], PRE)) == 'Schema(name="a\\"\\n", fields=3 field(s))'  # fmt: skip


def test_rebuild_takes_a_numpy_bool_and_repack_any_zone_its_headers_fit(tmp_path):
    path = tmp_path / "a.drelix"
    make_file(path, frames=3)
    path.write_bytes(path.read_bytes().replace(b"\n_records:30\n", b"\n_records:31\n"))
    for fix in (numpy.bool_(False), numpy.bool_(True)):
        report = _native.rebuild_headers(path, fix=fix)
        assert (report.differences, report.fixed) == (["_records: 31 -> 30"], fix)
    assert _native.rebuild_headers(path).differences == []  # only the fix wrote
    good = path.read_bytes()
    with pytest.raises(_native.DrelixZoneFullError, match=r"^headers need \d+ bytes, the zone holds 64$"):  # fmt: skip
        _native.repack(path, header_area=64)
    assert path.read_bytes() == good and os.listdir(tmp_path) == ["a.drelix"]
    _native.repack(path, header_area=16777216)
    assert _native.peek_headers(path)[0].header_area == 16777216


# A child whose address space is capped 1 GiB above its start: an entry point that let
# std::bad_alloc (or any C++ exception) escape would abort it.
LIMITED_CHILD = r"""
import resource, sys
from drelix_binary import _native
size = next(int(l.split()[1]) * 1024 for l in open("/proc/self/status") if l.startswith("VmSize"))
resource.setrlimit(resource.RLIMIT_AS, (size + (1 << 30), size + (1 << 30)))
path = sys.argv[1]
class Liar(list):  # a sequence whose __len__ promises far more than it holds
    def __len__(self):
        return 2**62
for call in (lambda: (lambda r: (r.problems, r.records))(_native.validate(path)),
             lambda: _native.rebuild_headers(path).differences,
             lambda: _native.Container.open_read(path).read_frame_at(0),
             lambda: _native.Container.open_append(path).close_frame(7, 3),
             lambda: _native.Schema("s", Liar([_native.FieldSpec("a", "u8", 0)]), None)):
    try:
        print(repr(call()))
    except Exception as exc:
        print(type(exc).__name__)
"""


def test_memory_limits_give_memory_error_or_bounded_work(tmp_path):
    """A 100 KB frame that decodes to 3 GiB and a 2 GiB sparse tail: validate and rebuild
    stream them; the read and the close that must hold them raise MemoryError and change
    nothing; a lying sequence never turns into an allocation."""
    size, block, tail = 3 << 30, 1 << 17, 2 << 30
    blocks = [struct.pack("<I", min(block, size - at) << 3 | 2 | (at + block >= size))[:3] + b"a"
              for at in range(0, size, block)]  # RLE blocks  # fmt: skip
    # An 8-byte content size and a 1 MiB window, as a compressor of large inputs writes them.
    frame = b"\x28\xb5\x2f\xfd\xc0\x50" + struct.pack("<Q", size) + b"".join(blocks)
    path = tmp_path / "a.drelix"
    headers = [("_schema", "s"), ("_record", "fixed:16"), ("_schema_fields", ""),
               ("_schema_hash", "cbf29ce484222325"), ("_records", str(size // 16)),
               ("_bytes_raw", str(size)), ("_frames", f"0,0,{len(frame)},{_native.xxh64(frame):016x}")]  # fmt: skip
    before = drelix_bytes(headers, data=frame)
    path.write_bytes(before)
    os.truncate(path, len(before) + tail)
    child = subprocess.run([sys.executable, "-c", LIMITED_CHILD, str(path)], check=False, capture_output=True, text=True)  # fmt: skip
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == [repr(([], (size + tail) // 16)), "[]", "MemoryError", "MemoryError", "IndexError"]  # fmt: skip
    assert os.path.getsize(path) == len(before) + tail
    with open(path, "rb") as f:
        assert f.read(len(before)) == before
    assert os.listdir(tmp_path) == ["a.drelix"]
