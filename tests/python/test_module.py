"""The module frame: identity, contents, exceptions, argument binding and conversion, and the
translation of engine errors."""

import inspect
import os
import pathlib

import pytest

from conftest import MINIMAL_HEADERS, drelix_bytes, preamble_bytes
from drelix_binary import _native

# Every name of the module, in registration order.
ALL_NAMES = [
    "Container", "Schema", "FieldSpec", "RecordLayout", "Frame", "Preamble",
    "ValidateReport", "RebuildReport", "RepackReport",
    "peek_headers", "validate", "rebuild_headers", "repack",
    "split_records", "xxh64", "max_frames_for",
    "DrelixError", "DrelixMalformedError", "DrelixUsageError", "DrelixZoneFullError",
    "DrelixCompressionError",
    "VERSION", "EXTENSION", "DEFAULT_HEADER_AREA", "MAX_HEADER_AREA", "HOT_LEVEL", "COLD_LEVEL",
    "__version__",
]

# The names the module frame and the value classes register; the others join the same list.
FRAME_NAMES = [
    "Schema", "FieldSpec", "RecordLayout", "Frame", "Preamble", "peek_headers",
    "split_records", "xxh64", "max_frames_for",
    "DrelixError", "DrelixMalformedError", "DrelixUsageError", "DrelixZoneFullError",
    "DrelixCompressionError",
    "VERSION", "EXTENSION", "DEFAULT_HEADER_AREA", "MAX_HEADER_AREA", "HOT_LEVEL", "COLD_LEVEL",
    "__version__",
]


# ---- identity and contents -------------------------------------------------------------------


def test_module_identity():
    assert _native.__name__ == "drelix_binary._native"
    assert _native.__doc__ == (
        "The extension module. Everything above, plus the constants a caller needs\n"
        "to avoid hard-coding numbers the format owns."
    )


def test_all_is_in_registration_order():
    names = list(_native.__all__)
    assert len(names) == len(set(names))
    # Whatever is registered appears in the order of the full table...
    assert [n for n in ALL_NAMES if n in names] == names
    # ...and everything of the frame is registered, ending with the version.
    assert set(FRAME_NAMES) <= set(names)
    assert names[-1] == "__version__"
    for name in names:
        assert hasattr(_native, name), name


def test_all_is_complete_once_every_part_is_in():
    if len(_native.__all__) < len(ALL_NAMES):
        pytest.skip("later classes and functions are not registered yet")
    assert list(_native.__all__) == ALL_NAMES


@pytest.mark.parametrize(
    "name, value",
    [
        ("VERSION", 1),
        ("EXTENSION", "drelix"),
        ("DEFAULT_HEADER_AREA", 4096),
        ("MAX_HEADER_AREA", 16777216),
        ("HOT_LEVEL", 3),
        ("COLD_LEVEL", 19),
        ("__version__", "2.1.0"),
    ],
)
def test_constants(name, value):
    got = getattr(_native, name)
    assert type(got) is type(value)
    assert got == value


# ---- exceptions ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, base, doc",
    [
        ("DrelixError", Exception, "Base of every error this package raises."),
        ("DrelixMalformedError", "DrelixError", "The file is not a well-formed container."),
        ("DrelixUsageError", "DrelixError", "The calling code asked for something it may not."),
        ("DrelixZoneFullError", "DrelixError", "The header zone cannot hold the headers."),
        ("DrelixCompressionError", "DrelixError", "zstd refused to compress or decompress."),
    ],
)
def test_exception_classes(name, base, doc):
    cls = getattr(_native, name)
    base_cls = getattr(_native, base) if isinstance(base, str) else base
    assert cls.__bases__ == (base_cls,)
    assert issubclass(cls, Exception)
    assert cls.__module__ == "_native"
    assert cls.__name__ == name
    assert cls.__doc__ == doc


def test_io_errors_are_not_drelix_errors():
    assert not issubclass(OSError, _native.DrelixError)
    assert not issubclass(_native.DrelixError, OSError)


def test_classes_carry_the_package_module_name():
    for name in ["Schema", "FieldSpec", "RecordLayout", "Frame", "Preamble"]:
        cls = getattr(_native, name)
        assert cls.__module__ == "drelix_binary._native"
        assert cls.__name__ == name


# ---- engine errors ---------------------------------------------------------------------------


def test_missing_file_is_exactly_oserror(tmp_path):
    path = tmp_path / "missing.drelix"
    with pytest.raises(Exception) as info:
        _native.peek_headers(path)
    exc = info.value
    assert type(exc) is OSError
    assert not isinstance(exc, FileNotFoundError)
    message = str(exc)
    assert message.startswith(str(path) + ": ")
    assert message.endswith("(os error 2)")
    assert exc.errno is None and exc.strerror is None and exc.filename is None
    assert exc.args == (message,)


def test_file_not_found_handler_does_not_catch(tmp_path):
    caught = None
    try:
        try:
            _native.peek_headers(str(tmp_path / "nope"))
        except FileNotFoundError:
            caught = "FileNotFoundError"
    except OSError:
        caught = "OSError"
    assert caught == "OSError"


@pytest.mark.parametrize(
    "content, cls, message",
    [
        # The file ends inside the preamble: an I/O error without a path.
        (b"DRELIX\x01", OSError, "failed to fill whole buffer"),
        (b"DRELIZ" + bytes(10), "DrelixMalformedError", "not a drelix file: bad magic"),
        (preamble_bytes(4096) + b"x" * 10, "DrelixMalformedError",
         "header zone claims 4096 bytes but the file is 26 bytes"),
        # A key with an upper-case letter is refused by the header parser as a usage error.
        (drelix_bytes([("Bad", "x")], header_area=64), "DrelixUsageError",
         'invalid header key "Bad"'),
    ],
)
def test_engine_errors_map_to_classes(write_file, content, cls, message):
    path = write_file("f.drelix", content)
    expected = getattr(_native, cls) if isinstance(cls, str) else cls
    with pytest.raises(Exception) as info:
        _native.peek_headers(path)
    assert type(info.value) is expected
    assert str(info.value) == message
    assert info.value.args == (message,)


# ---- argument binding ------------------------------------------------------------------------

FS = _native.FieldSpec
RL = _native.RecordLayout


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: _native.xxh64(), "xxh64() missing 1 required positional argument: 'data'"),
        (lambda: _native.xxh64(b"", b""), "xxh64() takes 1 positional argument but 2 were given"),
        (lambda: _native.xxh64(x=1), "xxh64() got an unexpected keyword argument 'x'"),
        (lambda: _native.xxh64(b"", data=b""), "xxh64() got multiple values for argument 'data'"),
        (lambda: _native.split_records(),
         "split_records() missing 2 required positional arguments: 'data' and 'layout'"),
        (lambda: _native.split_records(layout=RL.prefixed()),
         "split_records() missing 1 required positional argument: 'data'"),
        (lambda: _native.peek_headers("a", "b", "c"),
         "peek_headers() takes 1 positional argument but 3 were given"),
        (lambda: _native.max_frames_for(header_area=1, size=2),
         "max_frames_for() got an unexpected keyword argument 'size'"),
        (lambda: FS(), "FieldSpec.__new__() missing 3 required positional arguments: "
                       "'name', 'ty', and 'offset'"),
        (lambda: FS("a", offset=1), "FieldSpec.__new__() missing 1 required positional "
                                    "argument: 'ty'"),
        (lambda: FS("a", "u8", 0, 1),
         "FieldSpec.__new__() takes 3 positional arguments but 4 were given"),
        (lambda: FS("a", "u8", 0, name="b"),
         "FieldSpec.__new__() got multiple values for argument 'name'"),
        (lambda: _native.Schema("s", [], RL.prefixed(), extra=1),
         "Schema.__new__() got an unexpected keyword argument 'extra'"),
        (lambda: RL.fixed(), "RecordLayout.fixed() missing 1 required positional argument: "
                             "'size'"),
        (lambda: RL.fixed(1, 2),
         "RecordLayout.fixed() takes 1 positional argument but 2 were given"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_every_parameter_takes_a_keyword():
    assert FS(offset=1, ty="u8", name="a") == FS("a", "u8", 1)
    layout = RL.fixed(size=4)
    assert _native.split_records(layout=layout, data=b"abcd") == ([b"abcd"], 0)
    assert _native.xxh64(data=b"abc") == _native.xxh64(b"abc")
    assert _native.max_frames_for(header_area=4096) == 23
    schema = _native.Schema(layout=layout, fields=(), name="s")
    assert schema == _native.Schema("s", [], layout)


def test_no_argument_methods_refuse_arguments():
    with pytest.raises(TypeError):
        RL.prefixed(1)
    schema = _native.Schema("s", [], RL.prefixed())
    with pytest.raises(TypeError):
        schema.hash_hex(1)


@pytest.mark.parametrize(
    "obj, text",
    [
        (_native.peek_headers, "(path)"),
        (_native.xxh64, "(data)"),
        (_native.split_records, "(data, layout)"),
        (_native.max_frames_for, "(header_area)"),
        (_native.FieldSpec, "(name, ty, offset)"),
        (_native.Schema, "(name, fields, layout)"),
        (_native.RecordLayout.fixed, "(size)"),
        (_native.RecordLayout.prefixed, "()"),
    ],
)
def test_signatures(obj, text):
    assert str(inspect.signature(obj)) == text


def test_method_signatures_bind_self():
    schema = _native.Schema("s", [], RL.prefixed())
    assert str(inspect.signature(schema.hash_hex)) == "()"
    assert str(inspect.signature(_native.Schema.hash_hex)) == "(self, /)"


@pytest.mark.parametrize(
    "obj, doc",
    [
        (_native.peek_headers, "Preamble and headers without touching the data section."),
        (_native.xxh64, "XXH64 with seed 0 \u2014 the hash the frame checksums use."),
        (_native.split_records,
         "Splits raw bytes into records. Returns the records and the torn leftover."),
        (_native.max_frames_for, "Roughly how many frames a header zone of this size can list."),
        (_native.RecordLayout.fixed, "Records of exactly `size` bytes."),
        (_native.RecordLayout.prefixed, "Records preceded by a little-endian `u16` length."),
        (_native.Schema.hash_hex,
         "The FNV-1a 64 fingerprint over the field list, as the file stores it."),
    ],
)
def test_function_docstrings(obj, doc):
    assert obj.__doc__ == doc


# ---- argument conversion ---------------------------------------------------------------------


class FsPath:
    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        return self.value


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Text(str):
    pass


class Blob(bytes):
    pass


def assert_argument_error(info, name):
    """The "argument '{name}': {message}" TypeError with the conversion error as its cause."""
    exc = info.value
    assert type(exc) is TypeError
    cause = exc.__cause__
    assert isinstance(cause, TypeError)
    assert str(exc) == f"argument '{name}': {cause}"
    assert exc.__suppress_context__


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda: _native.peek_headers(b"/tmp/x"), "path"),
        (lambda: _native.peek_headers(FsPath(b"/tmp/x")), "path"),
        (lambda: _native.peek_headers(42), "path"),
        (lambda: _native.peek_headers(None), "path"),
        (lambda: _native.xxh64(bytearray(b"abc")), "data"),
        (lambda: _native.xxh64(memoryview(b"abc")), "data"),
        (lambda: _native.xxh64("abc"), "data"),
        (lambda: _native.split_records(b"", None), "layout"),
        (lambda: _native.split_records(b"", RL), "layout"),
        (lambda: _native.max_frames_for(4096.0), "header_area"),
        (lambda: _native.max_frames_for("4096"), "header_area"),
        (lambda: RL.fixed(None), "size"),
        (lambda: FS(b"name", "u8", 0), "name"),
        (lambda: FS("name", None, 0), "ty"),
        (lambda: FS("name", "u8", 1.5), "offset"),
        (lambda: _native.Schema(1, [], RL.prefixed()), "name"),
        (lambda: _native.Schema("s", [], None), "layout"),
        (lambda: _native.Schema("s", [], RL.prefixed), "layout"),
    ],
)
def test_conversion_type_errors_name_the_argument(call, name):
    with pytest.raises(TypeError) as info:
        call()
    assert_argument_error(info, name)


@pytest.mark.parametrize(
    "call",
    [
        lambda: _native.max_frames_for(2**32),
        lambda: _native.max_frames_for(-1),
        lambda: RL.fixed(2**32),
        lambda: RL.fixed(-1),
        lambda: FS("a", "u8", 2**64),
        lambda: _native.max_frames_for(Index(2**32)),
    ],
)
def test_out_of_range_integers_raise_overflow_unwrapped(call):
    with pytest.raises(OverflowError) as info:
        call()
    assert type(info.value) is OverflowError
    assert not str(info.value).startswith("argument ")


def test_integers_take_the_index_protocol():
    assert RL.fixed(True).fixed_size == 1
    assert RL.fixed(Index(7)).fixed_size == 7
    assert RL.fixed(2**32 - 1).fixed_size == 2**32 - 1
    assert FS("a", "u8", False).offset == 0


def test_index_hook_errors_propagate():
    class Broken:
        def __index__(self):
            raise ValueError("boom")

    with pytest.raises(ValueError, match="^boom$"):
        RL.fixed(Broken())


def test_text_accepts_str_subclasses_and_non_ascii():
    field = FS(Text("n\u00e9e"), Text("u8"), 0)
    assert field.name == "n\u00e9e"
    assert type(field.name) is str
    assert field.ty == "u8"


@pytest.mark.parametrize(
    "call",
    [
        lambda: FS("\ud800", "u8", 0),
        lambda: FS("a", "u8\udfff", 0),
        lambda: _native.Schema("x\ud83d", [], RL.prefixed()),
    ],
)
def test_lone_surrogates_raise_unicode_encode_error(call):
    with pytest.raises(UnicodeEncodeError) as info:
        call()
    assert not str(info.value).startswith("argument ")


def test_bytes_subclass_is_read_as_bytes():
    assert _native.xxh64(Blob(b"abc")) == 0x44BC2CF5AD770999
    assert _native.split_records(Blob(b"\x01\x00z"), RL.prefixed()) == ([b"z"], 0)


# ---- peek_headers and xxh64 ------------------------------------------------------------------


@pytest.mark.parametrize(
    "data, digest",
    [
        (b"", 0xEF46DB3751D8E999),
        (b"abc", 0x44BC2CF5AD770999),
    ],
)
def test_xxh64_published_values(data, digest):
    assert _native.xxh64(data) == digest


def test_xxh64_is_unsigned():
    # The top bit of this digest is set: the result must not come back negative.
    assert _native.xxh64(b"") > 2**63
    assert _native.xxh64(b"") < 2**64


def test_peek_headers_reads_a_hand_written_file(write_file):
    headers = [
        ("_schema", "trades@1"),
        ("_record", "fixed:16"),
        ("note", "two\nlines \\ and a backslash"),
        ("_frames", ""),
        ("city", "z\u00fcrich"),
    ]
    path = write_file("t.drelix", drelix_bytes(headers, header_area=256, flags=0, data=b"junk"))
    preamble, got = _native.peek_headers(path)
    assert repr(preamble) == "Preamble(version=1, flags=0, header_area=256)"
    assert (preamble.version, preamble.flags, preamble.header_area) == (1, 0, 256)
    assert got == dict(headers)
    assert list(got) == [k for k, _ in headers]


def test_peek_headers_repeated_key_keeps_first_position_last_value(write_file):
    headers = [("a", "1"), ("b", "2"), ("a", "3")]
    path = write_file("r.drelix", drelix_bytes(headers, header_area=64))
    _, got = _native.peek_headers(path)
    assert list(got.items()) == [("a", "3"), ("b", "2")]


def test_peek_headers_path_forms_agree(write_file):
    path = write_file("p.drelix", drelix_bytes(MINIMAL_HEADERS, header_area=128))
    by_pathlib = _native.peek_headers(path)
    by_str = _native.peek_headers(str(path))
    by_fspath = _native.peek_headers(FsPath(str(path)))
    by_subclass = _native.peek_headers(Text(str(path)))
    assert isinstance(path, pathlib.Path)
    assert by_pathlib == by_str == by_fspath == by_subclass
    assert by_str[0] is not by_pathlib[0]


def test_peek_headers_non_ascii_path(tmp_path):
    path = tmp_path / "d\u00e4t\u00e9.drelix"
    path.write_bytes(drelix_bytes(MINIMAL_HEADERS, header_area=128))
    preamble, headers = _native.peek_headers(path)
    assert preamble.header_area == 128
    assert headers["_schema"] == "test@1"
    missing = tmp_path / "\u00fc.drelix"
    with pytest.raises(OSError) as info:
        _native.peek_headers(missing)
    assert str(info.value).startswith(os.fspath(missing) + ": ")


def test_peek_headers_returns_fresh_objects(write_file):
    path = write_file("f.drelix", drelix_bytes(MINIMAL_HEADERS, header_area=128))
    first = _native.peek_headers(path)
    first[1]["_schema"] = "changed"
    second = _native.peek_headers(path)
    assert second[1]["_schema"] == "test@1"
    assert type(first) is tuple and len(first) == 2
