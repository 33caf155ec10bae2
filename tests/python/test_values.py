"""The classes of the module: their common rules, the value classes (Preamble, FieldSpec,
RecordLayout, Schema, Frame) and the functions that work on them without a file
(split_records, max_frames_for)."""

import collections
import re
import weakref

import pytest

from conftest import (
    FS, RL, MINIMAL_HEADERS, Container, drelix_bytes, frames_file, make_file,
    preamble_bytes,
)
from drelix_binary import _native

Schema = _native.Schema
A, B, C = FS("a", "u8", 0), FS("b", "u64", 1), FS("c", "uuid", 9)

# name: (class docstring, whether Python may construct it, {attribute: docstring} in order)
CLASSES = {
    "Preamble": ("The fixed binary head of a file.", False, {
        "version": "Container format version.",
        "flags": "Flag bits; bit 0 means the data section is compressed.",
        "header_area": "Size of the header zone in bytes.",
    }),
    "FieldSpec": ("One field of a schema.", True, {
        "name": "The field's name.",
        "ty": "Its type, as the format spells it: `u8`, `u16`, `u32`, `u64`, `i64`,\n"
              "`f64` or `uuid`.",
        "offset": "Byte offset inside the record.",
    }),
    "RecordLayout": ("How a record's bytes are delimited inside a frame.", False, {
        "fixed_size": "Bytes per record, or `None` when records carry a length prefix.",
    }),
    "Schema": ("What the records in a file look like.", True, {
        "name": "The schema's name, `name@version` by convention.",
        "fields": "Its fields, in declaration order.",
        "layout": "How records are delimited.",
    }),
    "Frame": ("One closed frame in the data section.", False, {
        "id": "The id the writer gave it. Ids may repeat.",
        "offset": "Byte offset from the start of the data section.",
        "len": "Compressed length.",
        "hash": "XXH64 of the compressed bytes, `0` when the file predates checksums.",
    }),
    "ValidateReport": ("What `validate` found.", False, {
        "problems": "Everything wrong, empty when the file is sound.",
        "frames": "Closed frames checked.",
        "records": "Records seen in frames and the tail.",
    }),
    "RebuildReport": ("What `rebuild_headers` found and did.", False, {
        "differences": "Header values that disagreed with the data.",
        "fixed": "Whether the zone was rewritten.",
    }),
    "RepackReport": ("What `repack` measured.", False, {
        "bytes_before": "File size before, bytes.",
        "bytes_after": "File size after, bytes.",
        "frames": "Frames re-encoded.",
    }),
    "Container": ("A container file, open for reading or appending.", False, {}),
}


@pytest.mark.parametrize("name", list(CLASSES))
def test_class_surface(name):
    doc, constructible, attrs = CLASSES[name]
    cls = getattr(_native, name)
    assert (cls.__module__, cls.__name__, cls.__doc__) == ("drelix_binary._native", name, doc)
    assert cls.__bases__ == (object,)
    assert [a for a in cls.__dict__ if a in attrs] == list(attrs)
    for attr, attr_doc in attrs.items():
        assert cls.__dict__[attr].__doc__ == attr_doc, attr
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    if not constructible:
        for args, kwargs in [((), {}), ((1,), {}), ((), {"x": 1})]:
            with pytest.raises(TypeError) as info:
                cls(*args, **kwargs)
            assert str(info.value) == f"cannot create 'drelix_binary._native.{name}' instances"


def fnv1a64(data):
    h = 0xCBF29CE484222325
    for byte in data:
        h = ((h ^ byte) * 0x100000001B3) % 2**64
    return h


def preamble(tmp_path, flags=1):
    path = tmp_path / f"p{flags}.drelix"
    path.write_bytes(drelix_bytes(MINIMAL_HEADERS, header_area=128, flags=flags))
    return _native.peek_headers(path)[0]


def frame(tmp_path):
    return Container.open_read(frames_file(tmp_path / "f.drelix", "7,0,5,00000000000000ff",
                                           b"12345")).frames()[0]


def on_file(fn):
    """A factory calling fn on a file of one frame and a tail, made on the first call."""

    def make(tmp_path):
        path = tmp_path / "r.drelix"
        if not path.exists():
            make_file(path, frames=1, tail=1)
        return fn(path)

    return make


# Factories of instances: each call builds a new object, equal in value to the last.
INSTANCES = {
    "Preamble": preamble,
    "FieldSpec": lambda _: FS("a", "u8", 1),
    "RecordLayout.fixed": lambda _: RL.fixed(4),
    "RecordLayout.prefixed": lambda _: RL.prefixed(),
    "Schema": lambda _: Schema("s@1", [A], RL.prefixed()),
    "Frame": frame,
    "ValidateReport": on_file(_native.validate),
    "RebuildReport": on_file(_native.rebuild_headers),
    "RepackReport": on_file(lambda path: _native.repack(path, 3)),
    "Container": on_file(Container.open_read),
}


@pytest.mark.parametrize("case", list(INSTANCES))
def test_instance_rules(tmp_path, case):
    a, b = INSTANCES[case](tmp_path), INSTANCES[case](tmp_path)
    name = case.split(".")[0]
    assert type(a) is getattr(_native, name) and a is not b
    # Frozen and slotted.
    for attr in CLASSES[name][2]:
        with pytest.raises(AttributeError):
            setattr(a, attr, getattr(a, attr))
        with pytest.raises(AttributeError):
            delattr(a, attr)
    with pytest.raises(AttributeError):
        a.new_attribute = 1
    assert not hasattr(a, "__dict__")
    if name in ("ValidateReport", "RebuildReport", "RepackReport", "Container"):
        # Identity semantics: equal contents, still distinct; hashable.
        assert a == a and a != b
        assert hash(a) == hash(a) and len({a, b}) == 2
        if name != "Container":
            assert re.fullmatch(rf"<drelix_binary\._native\.{name} object at 0x[0-9a-f]+>", repr(a))
        return
    # Values: equal by value, never to foreign objects, unordered, unhashable, no weak references.
    assert a == b and not (a != b)
    for other in [1, None, "x", object(), FS("z", "u8", 0), RL.fixed(99)]:
        assert (a == other) is False and (a != other) is True and (other == a) is False
    for op in ["<", "<=", ">", ">="]:
        with pytest.raises(TypeError):
            eval(f"a {op} b", {"a": a, "b": b})
    assert type(a).__hash__ is None
    with pytest.raises(TypeError):
        {a}
    with pytest.raises(TypeError):
        weakref.ref(a)


def test_values_that_differ_are_unequal(tmp_path):
    base_schema = Schema("s", [A, B], RL.prefixed())
    pairs = [
        (FS("a", "u8", 1), FS("b", "u8", 1)), (FS("a", "u8", 1), FS("a", "u16", 1)),
        (FS("a", "u8", 1), FS("a", "u8", 2)), (RL.prefixed(), RL.fixed(0)),
        (RL.fixed(0), RL.prefixed()), (RL.fixed(3), RL.fixed(4)),
        (Schema("s", [], RL.prefixed()), RL.prefixed()),
        (preamble(tmp_path, flags=1), preamble(tmp_path, flags=0)),
    ] + [(base_schema, Schema(name, fields, layout)) for name, fields, layout in [
        ("t", [A, B], RL.prefixed()), ("s", [B, A], RL.prefixed()), ("s", [A], RL.prefixed()),
        ("s", [A, B, C], RL.prefixed()), ("s", [A, B], RL.fixed(0))]]
    frames = Container.open_read(frames_file(
        tmp_path / "f.drelix",
        "1,0,2,0000000000000001;1,0,2,0000000000000002;1,0,2,0000000000000001;"
        "2,0,2,0000000000000001;1,1,2,0000000000000001;1,0,1,0000000000000001",
        b"abc")).frames()
    assert frames[0] == frames[2]
    pairs += [(frames[0], f) for f in frames[3:] + frames[1:2]]
    for a, b in pairs:
        assert a != b and not (a == b), (a, b)


# ---- Preamble and Frame ----------------------------------------------------------------------
@pytest.mark.parametrize("header_area, flags", [(4096, 1), (1, 0), (16777216, 255)])
def test_preamble_fields_and_repr(tmp_path, header_area, flags):
    path = tmp_path / "p.drelix"
    # An empty header list is a single line feed, then zero fill.
    path.write_bytes(preamble_bytes(header_area, flags=flags) + b"\n" + bytes(header_area - 1))
    preamble, headers = _native.peek_headers(path)
    assert headers == {}
    assert (preamble.version, preamble.flags, preamble.header_area) == (1, flags, header_area)
    assert repr(preamble) == f"Preamble(version=1, flags={flags}, header_area={header_area})"


@pytest.mark.parametrize("token, data, fields, text", [
    ("7,0,5,00000000000000ff", b"12345", (7, 0, 5, 255),
     "Frame(id=7, offset=0, len=5, hash=0x00000000000000ff)"),
    ("0,0,0", b"", (0, 0, 0, 0), "Frame(id=0, offset=0, len=0, hash=0x0000000000000000)"),
    ("18446744073709551615,1,2,ffffffffffffffff", b"abc", (2**64 - 1, 1, 2, 2**64 - 1),
     "Frame(id=18446744073709551615, offset=1, len=2, hash=0xffffffffffffffff)"),
])
def test_frame_fields_and_repr(tmp_path, token, data, fields, text):
    (frame,) = Container.open_read(frames_file(tmp_path / "f.drelix", token, data)).frames()
    assert (frame.id, frame.offset, frame.len, frame.hash) == fields
    assert repr(frame) == text


# ---- FieldSpec and RecordLayout --------------------------------------------------------------
@pytest.mark.parametrize("name, ty, offset, text", [
    ("price", "u8", 12, 'name="price", ty="u8", offset=12'),
    ('say "hi"', "u8", 12, 'name="say \\"hi\\"", ty="u8", offset=12'),
    ("two\nlines", "u8", 12, 'name="two\\nlines", ty="u8", offset=12'),
    ("tab\there", "u8", 12, 'name="tab\\there", ty="u8", offset=12'),
    ("cr\r", "u8", 12, 'name="cr\\r", ty="u8", offset=12'),
    ("nul\0", "u8", 12, 'name="nul\\0", ty="u8", offset=12'),
    ("back\\slash", "u8", 12, 'name="back\\\\slash", ty="u8", offset=12'),
    ("it's", "u8", 12, 'name="it\'s", ty="u8", offset=12'),
    ("bell\x07", "u8", 12, 'name="bell\\u{7}", ty="u8", offset=12'),
    ("e\u0301", "u8", 12, 'name="e\\u{301}", ty="u8", offset=12'),
    ("z\u00fcrich", "u8", 12, 'name="z\u00fcrich", ty="u8", offset=12'),
    # No validation: unknown types and any offset are representable.
    ("", "complex128", 0, 'name="", ty="complex128", offset=0'),
    ("a", 'u"8', 2**32 - 1, 'name="a", ty="u\\"8", offset=4294967295'),
])
def test_field_spec_values_and_repr(name, ty, offset, text):
    field = FS(name, ty, offset)
    assert (field.name, field.ty, field.offset) == (name, ty, offset)
    assert repr(field) == f"FieldSpec({text})"


@pytest.mark.parametrize("layout, fixed_size, text", [
    (RL.prefixed(), None, "RecordLayout.prefixed()"),
    (RL.fixed(0), 0, "RecordLayout.fixed(0)"),
    (RL.fixed(16), 16, "RecordLayout.fixed(16)"),
    (RL.fixed(2**32 - 1), 2**32 - 1, "RecordLayout.fixed(4294967295)"),
    (RL.prefixed().fixed(5), 5, "RecordLayout.fixed(5)"),  # static methods on instances
])
def test_record_layout_values(layout, fixed_size, text):
    assert layout.fixed_size == fixed_size
    assert repr(layout) == text


# ---- Schema ----------------------------------------------------------------------------------
def test_schema_attributes_are_copies():
    fields = [A, B]
    schema = Schema("trade@2", fields, RL.fixed(9))
    assert (schema.name, schema.fields, schema.layout) == ("trade@2", [A, B], RL.fixed(9))
    assert type(schema.fields) is list
    # Any sequence will do: a tuple, or a class with only __len__ and __getitem__.
    assert Schema("trade@2", (A, B), RL.fixed(9)) == schema
    assert Schema("trade@2", collections.UserList([A, B]), RL.fixed(9)) == schema
    # The schema keeps its own copy, and every getter returns a new one.
    fields.append(C)
    fields.reverse()
    schema.fields.append(C)
    assert schema.fields == [A, B]
    assert schema.fields is not schema.fields and schema.fields[0] is not schema.fields[0]
    assert schema.layout is not schema.layout


@pytest.mark.parametrize("fields, cause_text", [
    ("abc", "expected a sequence of FieldSpec, got str"),
    ("", "expected a sequence of FieldSpec, got str"),
    (42, "expected a sequence of FieldSpec, got int"),
    ({"a": A}, "expected a sequence of FieldSpec, got dict"),
    (iter([A]), "expected a sequence of FieldSpec, got list_iterator"),
    ([1], "item 0: expected FieldSpec, got int"),
    ([A, "b"], "item 1: expected FieldSpec, got str"),
    ([A, RL.prefixed()], "item 1: expected FieldSpec, got RecordLayout"),
    (b"ab", "item 0: expected FieldSpec, got int"),
])
def test_schema_refuses_bad_fields(fields, cause_text):
    with pytest.raises(TypeError) as info:
        Schema("s", fields, RL.prefixed())
    assert str(info.value) == f"argument 'fields': {cause_text}"
    assert type(info.value.__cause__) is TypeError


@pytest.mark.parametrize("name, fields, rendered, text", [
    ("s@1", [], "", 'Schema(name="s@1", fields=0 field(s))'),
    ("s@1", [A], "a:u8:0", 'Schema(name="s@1", fields=1 field(s))'),
    ('a"\n', [A, B, C], "a:u8:0;b:u64:1;c:uuid:9", 'Schema(name="a\\"\\n", fields=3 field(s))'),
])
def test_schema_repr_and_hash_hex(name, fields, rendered, text):
    assert repr(Schema(name, fields, RL.prefixed())) == text
    # The fingerprint is FNV-1a over "name:type:offset" joined by ";", in 16 hex digits, of the
    # fields in order; the name and the layout do not enter it.
    for layout in (RL.prefixed(), RL.fixed(3)):
        assert Schema(name, fields, layout).hash_hex() == format(fnv1a64(rendered.encode()), "016x")
    assert Schema(name, fields[::-1], RL.prefixed()).hash_hex() == format(
        fnv1a64(";".join(reversed(rendered.split(";"))).encode()), "016x")


# ---- split_records and max_frames_for --------------------------------------------------------
@pytest.mark.parametrize("data, layout, records, torn", [
    (b"", RL.prefixed(), [], 0),
    (b"", RL.fixed(4), [], 0),
    (b"0123456789", RL.fixed(4), [b"0123", b"4567"], 2),
    (b"01234567", RL.fixed(4), [b"0123", b"4567"], 0),
    (b"0123456789", RL.fixed(0), [], 10),
    (b"abc", RL.fixed(1), [b"a", b"b", b"c"], 0),
    (b"\x03\x00abc\x00\x00\x01\x00z", RL.prefixed(), [b"abc", b"", b"z"], 0),
    # A prefix announcing more bytes than remain: the prefix and the rest are torn.
    (b"\x02\x00hi\x05\x00abc", RL.prefixed(), [b"hi"], 5),
    # A lone byte cannot even hold a prefix.
    (b"\x01\x00x\x07", RL.prefixed(), [b"x"], 1),
    (b"\xff\xff", RL.prefixed(), [], 2),
    # The largest record a prefix can announce, then one byte of the next.
    (b"\xff\xff" + b"\x07" * 65535 + b"\x00", RL.prefixed(), [b"\x07" * 65535], 1),
])
def test_split_records(data, layout, records, torn):
    result = _native.split_records(data, layout)
    assert type(result) is tuple and result == (records, torn)
    assert all(type(r) is bytes for r in result[0])


@pytest.mark.parametrize("header_area, frames", [
    (0, 0), (1, 0), (2623, 0), (2624, 0), (2687, 0), (2688, 1), (2751, 1), (2752, 2),
    (4096, 23), (16777216, (16777216 - 2624) // 64), (2**32 - 1, (2**32 - 1 - 2624) // 64),
])
def test_max_frames_for(header_area, frames):
    assert _native.max_frames_for(header_area) == frames
