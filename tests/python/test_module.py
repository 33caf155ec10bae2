"""The module frame: identity, contents, exceptions, argument binding and conversion, the
translation of engine errors, peek_headers and xxh64."""

import inspect
import os

import pytest

from conftest import (
    FS, RL, MINIMAL_HEADERS, Container, Index, drelix_bytes, make_file, make_schema,
    preamble_bytes,
)
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


def test_module_identity_and_contents():
    assert _native.__name__ == "drelix_binary._native"
    assert _native.__doc__ == (
        "The extension module. Everything above, plus the constants a caller needs\n"
        "to avoid hard-coding numbers the format owns."
    )
    assert list(_native.__all__) == ALL_NAMES
    for name in ALL_NAMES:
        assert hasattr(_native, name), name


def test_constants():
    for name, value in [("VERSION", 1), ("EXTENSION", "drelix"), ("DEFAULT_HEADER_AREA", 4096),
                        ("MAX_HEADER_AREA", 16777216), ("HOT_LEVEL", 3), ("COLD_LEVEL", 19),
                        ("__version__", "2.1.0")]:
        got = getattr(_native, name)
        assert type(got) is type(value) and got == value, name


@pytest.mark.parametrize("name, base, doc", [
    ("DrelixError", Exception, "Base of every error this package raises."),
    ("DrelixMalformedError", "DrelixError", "The file is not a well-formed container."),
    ("DrelixUsageError", "DrelixError", "The calling code asked for something it may not."),
    ("DrelixZoneFullError", "DrelixError", "The header zone cannot hold the headers."),
    ("DrelixCompressionError", "DrelixError", "zstd refused to compress or decompress."),
])
def test_exception_classes(name, base, doc):
    cls = getattr(_native, name)
    assert cls.__bases__ == (getattr(_native, base) if isinstance(base, str) else base,)
    assert (cls.__module__, cls.__name__, cls.__doc__) == ("_native", name, doc)
    # I/O failures stay plain OSErrors, outside the package's hierarchy.
    assert not issubclass(cls, OSError) and not issubclass(OSError, cls)


# ---- engine errors ---------------------------------------------------------------------------
@pytest.mark.parametrize(
    "fn", [_native.peek_headers, _native.validate, _native.rebuild_headers, _native.repack,
           Container.open_read, Container.open_append], ids=lambda fn: fn.__name__)
def test_missing_and_foreign_files(tmp_path, fn):
    path = tmp_path / "missing.drelix"
    with pytest.raises(OSError) as info:
        fn(path)
    exc = info.value
    # Exactly OSError: an `except FileNotFoundError` handler must not catch it.
    assert type(exc) is OSError
    message = str(exc)
    assert message.startswith(f"{path}: ") and message.endswith("(os error 2)")
    assert exc.errno is None and exc.strerror is None and exc.filename is None
    assert exc.args == (message,)
    assert not path.exists()
    path.write_bytes(b"NOTDRX" + bytes(10))
    with pytest.raises(_native.DrelixMalformedError, match=r"^not a drelix file: bad magic$"):
        fn(path)
    assert path.read_bytes() == b"NOTDRX" + bytes(10)


@pytest.mark.parametrize(
    "fn", [_native.peek_headers, _native.validate, _native.rebuild_headers, _native.repack,
           Container.open_read, Container.open_append,
           lambda p: Container.create(p, make_schema(), "s", "w")], ids=lambda fn: fn.__name__)
def test_a_nul_in_a_path_touches_nothing(tmp_path, fn):
    """Cut at the NUL, "<path>\0x" would name <path> itself as the journal, and the file would
    be read as a bad journal and deleted; it is refused as open() refuses it."""
    path = tmp_path / "a.drelix"
    make_file(path, frames=1, tail=2)
    before = (sorted(os.listdir(tmp_path)), path.read_bytes())
    with pytest.raises(ValueError, match=r"^embedded null byte$"):
        fn(f"{path}\0x")
    assert (sorted(os.listdir(tmp_path)), path.read_bytes()) == before


@pytest.mark.parametrize("content, cls, message", [
    # The file ends inside the preamble: an I/O error without a path.
    (b"DRELIX\x01", OSError, "failed to fill whole buffer"),
    (preamble_bytes(4096) + b"x" * 10, "DrelixMalformedError",
     "header zone claims 4096 bytes but the file is 26 bytes"),
    # A key with an upper-case letter is refused by the header parser as a usage error.
    (drelix_bytes([("Bad", "x")], header_area=64), "DrelixUsageError",
     'invalid header key "Bad"'),
])
def test_engine_errors_map_to_classes(tmp_path, content, cls, message):
    path = tmp_path / "f.drelix"
    path.write_bytes(content)
    with pytest.raises(Exception) as info:
        _native.peek_headers(path)
    assert type(info.value) is (getattr(_native, cls) if isinstance(cls, str) else cls)
    assert info.value.args == (message,)


# ---- argument binding ------------------------------------------------------------------------
SCHEMA = _native.Schema("s", [], RL.prefixed())


@pytest.mark.parametrize("call, message", [
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
    (lambda: FS("a", offset=1),
     "FieldSpec.__new__() missing 1 required positional argument: 'ty'"),
    (lambda: FS("a", "u8", 0, 1),
     "FieldSpec.__new__() takes 3 positional arguments but 4 were given"),
    (lambda: FS("a", "u8", 0, name="b"),
     "FieldSpec.__new__() got multiple values for argument 'name'"),
    (lambda: _native.Schema("s", [], RL.prefixed(), extra=1),
     "Schema.__new__() got an unexpected keyword argument 'extra'"),
    (lambda: RL.fixed(), "RecordLayout.fixed() missing 1 required positional argument: 'size'"),
    (lambda: RL.fixed(1, 2), "RecordLayout.fixed() takes 1 positional argument but 2 were given"),
    (lambda: RL.prefixed(1), "RecordLayout.prefixed() takes no arguments (1 given)"),
    (lambda: SCHEMA.hash_hex(1), "Schema.hash_hex() takes no arguments (1 given)"),
    (lambda: _native.validate(), "validate() missing 1 required positional argument: 'path'"),
    (lambda: _native.validate("a", "b"), "validate() takes 1 positional argument but 2 were given"),
    (lambda: _native.rebuild_headers("a", fix=True, extra=1),
     "rebuild_headers() got an unexpected keyword argument 'extra'"),
    (lambda: _native.repack("a", 3, None, 1),
     "repack() takes from 1 to 3 positional arguments but 4 were given"),
    (lambda: _native.repack("a", 3, level=3), "repack() got multiple values for argument 'level'"),
])
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_every_parameter_takes_a_keyword():
    assert FS(offset=1, ty="u8", name="a") == FS("a", "u8", 1)
    assert _native.split_records(layout=RL.fixed(size=4), data=b"abcd") == ([b"abcd"], 0)
    assert _native.xxh64(data=b"abc") == 0x44BC2CF5AD770999
    assert _native.max_frames_for(header_area=4096) == 23
    assert _native.Schema(layout=RL.prefixed(), fields=(), name="s") == SCHEMA


@pytest.mark.parametrize("obj, signature, doc", [
    (_native.peek_headers, "(path)", "Preamble and headers without touching the data section."),
    (_native.xxh64, "(data)", "XXH64 with seed 0 \u2014 the hash the frame checksums use."),
    (_native.split_records, "(data, layout)",
     "Splits raw bytes into records. Returns the records and the torn leftover."),
    (_native.max_frames_for, "(header_area)",
     "Roughly how many frames a header zone of this size can list."),
    (FS, "(name, ty, offset)", "One field of a schema."),
    (_native.Schema, "(name, fields, layout)", "What the records in a file look like."),
    (RL.fixed, "(size)", "Records of exactly `size` bytes."),
    (RL.prefixed, "()", "Records preceded by a little-endian `u16` length."),
    (_native.Schema.hash_hex, "(self, /)",
     "The FNV-1a 64 fingerprint over the field list, as the file stores it."),
    (SCHEMA.hash_hex, "()",
     "The FNV-1a 64 fingerprint over the field list, as the file stores it."),
    (_native.validate, "(path)",
     "Reads every frame, checks the counters, the alignment and the checksums."),
    (_native.rebuild_headers, "(path, fix=False)",
     "Derives the system headers from the data, and writes them back when asked."),
    # "..." in the text signature stands for the default level.
    (_native.repack, "(path, level=Ellipsis, header_area=None)",
     "Re-encodes every frame at another level, atomically."),
])
def test_signatures_and_docstrings(obj, signature, doc):
    assert str(inspect.signature(obj)) == signature
    assert obj.__doc__ == doc


# ---- argument conversion ---------------------------------------------------------------------
class FsPath:
    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        return self.value


@pytest.mark.parametrize("call, name", [
    (lambda: _native.peek_headers(b"/tmp/x"), "path"),
    (lambda: _native.peek_headers(FsPath(b"/tmp/x")), "path"),
    (lambda: _native.peek_headers(42), "path"),
    (lambda: _native.peek_headers(None), "path"),
    (lambda: _native.validate(b"a"), "path"),
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
])
def test_conversion_type_errors_name_the_argument(call, name):
    """A TypeError "argument '{name}': {message}" with the conversion error as its cause."""
    with pytest.raises(TypeError) as info:
        call()
    exc = info.value
    assert type(exc) is TypeError and isinstance(exc.__cause__, TypeError)
    assert str(exc) == f"argument '{name}': {exc.__cause__}"
    assert exc.__suppress_context__


@pytest.mark.parametrize("fn, args, exc", [
    *[(_native.max_frames_for, (n,), OverflowError) for n in (2**32, -1, 2**64, -(2**70))],
    (_native.max_frames_for, (Index(2**32),), OverflowError),
    (RL.fixed, (2**32,), OverflowError), (RL.fixed, (-1,), OverflowError),
    (FS, ("a", "u8", 2**64), OverflowError), (FS, ("\ud800", "u8", 0), UnicodeEncodeError),
    (FS, ("a", "u8\udfff", 0), UnicodeEncodeError),
    (_native.Schema, ("x\ud83d", [], RL.prefixed()), UnicodeEncodeError),
    # An error raised by an __index__ hook.
    (RL.fixed, (Index(1, hook=lambda: int("boom")),), ValueError),
])
def test_value_errors_propagate_unwrapped(fn, args, exc):
    with pytest.raises(exc) as info:
        fn(*args)
    assert type(info.value) is exc
    assert not str(info.value).startswith("argument ")


def test_accepted_argument_forms():
    # Integers by the index protocol, bools included; the full unsigned 32-bit range.
    assert RL.fixed(True).fixed_size == 1
    assert RL.fixed(Index(7)).fixed_size == 7
    assert RL.fixed(2**32 - 1).fixed_size == 2**32 - 1
    assert FS("a", "u8", False).offset == 0
    # Text: str subclasses and non-ASCII, read back as plain str.
    field = FS(type("Text", (str,), {})("n\u00e9e"), "u8", 0)
    assert field.name == "n\u00e9e" and type(field.name) is str
    # Bytes subclasses are read as bytes. XXH64 of b"" has its top bit set: it must not come
    # back negative.
    assert _native.xxh64(b"") == 0xEF46DB3751D8E999
    blob = type("Blob", (bytes,), {})
    assert _native.xxh64(blob(b"abc")) == 0x44BC2CF5AD770999
    assert _native.split_records(blob(b"\x01\x00z"), RL.prefixed()) == ([b"z"], 0)


# ---- peek_headers ----------------------------------------------------------------------------
def test_peek_headers_reads_a_hand_written_file(tmp_path):
    headers = [("_schema", "trades@1"), ("_record", "fixed:16"),
               ("note", "two\nlines \\ and a backslash"), ("_frames", ""), ("city", "z\u00fcrich")]
    path = tmp_path / "t.drelix"
    path.write_bytes(drelix_bytes(headers, header_area=256, flags=0, data=b"junk"))
    preamble, got = _native.peek_headers(path)
    assert repr(preamble) == "Preamble(version=1, flags=0, header_area=256)"
    assert (preamble.version, preamble.flags, preamble.header_area) == (1, 0, 256)
    assert list(got.items()) == headers
    # A repeated key keeps its first position and takes the last value.
    path.write_bytes(drelix_bytes([("a", "1"), ("b", "2"), ("a", "3")], 64))
    assert list(_native.peek_headers(path)[1].items()) == [("a", "3"), ("b", "2")]


def test_peek_headers_path_forms_and_fresh_results(tmp_path):
    path = tmp_path / "d\u00e4t\u00e9.drelix"
    path.write_bytes(drelix_bytes(MINIMAL_HEADERS, header_area=128))
    text_subclass = type("Text", (str,), {})
    results = [_native.peek_headers(p)
               for p in (path, str(path), FsPath(str(path)), text_subclass(str(path)))]
    assert all(r == results[0] for r in results)
    preamble, headers = results[0]
    assert type(results[0]) is tuple and len(results[0]) == 2
    assert preamble.header_area == 128 and headers["_schema"] == "test@1"
    # Every call builds new objects: changing one result leaves the next alone.
    assert results[1][0] is not preamble
    headers["_schema"] = "changed"
    assert _native.peek_headers(path)[1]["_schema"] == "test@1"
    missing = tmp_path / "\u00fc.drelix"
    with pytest.raises(OSError) as info:
        _native.peek_headers(missing)
    assert str(info.value).startswith(os.fspath(missing) + ": ")
