"""The value classes (Preamble, FieldSpec, RecordLayout, Schema, Frame) and the module functions
that work on them without a file (split_records, max_frames_for)."""

import weakref

import pytest

from conftest import MINIMAL_HEADERS, drelix_bytes, needs_container, preamble_bytes
from drelix_binary import _native

FS = _native.FieldSpec
RL = _native.RecordLayout
Schema = _native.Schema


def fnv1a64(data):
    h = 0xCBF29CE484222325
    for byte in data:
        h ^= byte
        h = (h * 0x100000001B3) % 2**64
    return h


# ---- instances for the common rules ----------------------------------------------------------


def preamble_pair(tmp_path):
    path = tmp_path / "p.drelix"
    path.write_bytes(drelix_bytes(MINIMAL_HEADERS, header_area=128))
    return _native.peek_headers(path)[0], _native.peek_headers(str(path))[0]


def frame_file(tmp_path, frames_value, data):
    headers = [h for h in MINIMAL_HEADERS if h[0] != "_frames"] + [("_frames", frames_value)]
    path = tmp_path / "frames.drelix"
    path.write_bytes(drelix_bytes(headers, header_area=256, data=data))
    return path


def frame_pair(tmp_path):
    if not hasattr(_native, "Container"):
        pytest.skip("Container is not part of the module yet")
    path = frame_file(tmp_path, "7,0,5,00000000000000ff", b"12345")
    first = _native.Container.open_read(path).frames()[0]
    second = _native.Container.open_read(path).frames()[0]
    return first, second


def schema_of(*fields, layout=None):
    return Schema("s@1", list(fields), layout if layout is not None else RL.prefixed())


# (class name, factory of two equal but distinct instances, attribute names)
VALUE_CLASSES = [
    ("Preamble", preamble_pair, ["version", "flags", "header_area"]),
    ("FieldSpec", lambda _: (FS("a", "u8", 1), FS("a", "u8", 1)), ["name", "ty", "offset"]),
    ("RecordLayout", lambda _: (RL.fixed(4), RL.fixed(4)), ["fixed_size"]),
    ("RecordLayout", lambda _: (RL.prefixed(), RL.prefixed()), ["fixed_size"]),
    (
        "Schema",
        lambda _: (schema_of(FS("a", "u8", 0)), schema_of(FS("a", "u8", 0))),
        ["name", "fields", "layout"],
    ),
    ("Frame", frame_pair, ["id", "offset", "len", "hash"]),
]

VALUE_IDS = ["Preamble", "FieldSpec", "RecordLayout.fixed", "RecordLayout.prefixed", "Schema",
             "Frame"]


@pytest.fixture(params=VALUE_CLASSES, ids=VALUE_IDS)
def value_case(request, tmp_path):
    name, factory, attrs = request.param
    a, b = factory(tmp_path)
    assert type(a) is getattr(_native, name)
    return a, b, attrs


def test_equal_values_compare_equal(value_case):
    a, b, _ = value_case
    assert a is not b
    assert a == b
    assert not (a != b)


@pytest.mark.parametrize("other", [1, None, "x", object()])
def test_foreign_objects_are_never_equal(value_case, other):
    a, _, _ = value_case
    assert (a == other) is False
    assert (a != other) is True
    assert (other == a) is False


def test_different_value_classes_are_never_equal():
    assert (RL.prefixed() == FS("a", "u8", 0)) is False
    assert (schema_of() == RL.prefixed()) is False


@pytest.mark.parametrize("op", ["<", "<=", ">", ">="])
def test_ordering_raises(value_case, op):
    a, b, _ = value_case
    with pytest.raises(TypeError):
        eval(f"a {op} b", {"a": a, "b": b})


def test_unhashable(value_case):
    a, _, _ = value_case
    with pytest.raises(TypeError):
        hash(a)
    assert type(a).__hash__ is None
    with pytest.raises(TypeError):
        {a}


def test_attributes_are_read_only(value_case):
    a, _, attrs = value_case
    for attr in attrs:
        before = getattr(a, attr)
        with pytest.raises(AttributeError):
            setattr(a, attr, before)
        with pytest.raises(AttributeError):
            delattr(a, attr)
    with pytest.raises(AttributeError):
        a.new_attribute = 1


def test_no_dict_and_no_weakref(value_case):
    a, _, _ = value_case
    assert not hasattr(a, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(a)


def test_attributes_are_properties_with_docs(value_case):
    a, _, attrs = value_case
    cls = type(a)
    for attr in attrs:
        descriptor = cls.__dict__[attr]
        assert descriptor.__doc__, attr


@pytest.mark.parametrize("name", ["Preamble", "FieldSpec", "RecordLayout", "Schema", "Frame"])
def test_classes_cannot_be_subclassed(name):
    cls = getattr(_native, name)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert cls.__bases__ == (object,)


@pytest.mark.parametrize("name", ["Preamble", "RecordLayout", "Frame"])
def test_classes_without_constructor(name):
    cls = getattr(_native, name)
    for args, kwargs in [((), {}), ((1,), {}), ((), {"x": 1})]:
        with pytest.raises(TypeError) as info:
            cls(*args, **kwargs)
        assert str(info.value) == f"cannot create 'drelix_binary._native.{name}' instances"


# ---- docstrings ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, doc",
    [
        ("Preamble", "The fixed binary head of a file."),
        ("FieldSpec", "One field of a schema."),
        ("RecordLayout", "How a record's bytes are delimited inside a frame."),
        ("Schema", "What the records in a file look like."),
        ("Frame", "One closed frame in the data section."),
    ],
)
def test_class_docstrings(name, doc):
    assert getattr(_native, name).__doc__ == doc


@pytest.mark.parametrize(
    "cls, attr, doc",
    [
        ("Preamble", "version", "Container format version."),
        ("Preamble", "flags", "Flag bits; bit 0 means the data section is compressed."),
        ("Preamble", "header_area", "Size of the header zone in bytes."),
        ("FieldSpec", "name", "The field's name."),
        ("FieldSpec", "ty",
         "Its type, as the format spells it: `u8`, `u16`, `u32`, `u64`, `i64`,\n"
         "`f64` or `uuid`."),
        ("FieldSpec", "offset", "Byte offset inside the record."),
        ("RecordLayout", "fixed_size",
         "Bytes per record, or `None` when records carry a length prefix."),
        ("Schema", "name", "The schema's name, `name@version` by convention."),
        ("Schema", "fields", "Its fields, in declaration order."),
        ("Schema", "layout", "How records are delimited."),
        ("Frame", "id", "The id the writer gave it. Ids may repeat."),
        ("Frame", "offset", "Byte offset from the start of the data section."),
        ("Frame", "len", "Compressed length."),
        ("Frame", "hash", "XXH64 of the compressed bytes, `0` when the file predates checksums."),
    ],
)
def test_attribute_docstrings(cls, attr, doc):
    assert getattr(_native, cls).__dict__[attr].__doc__ == doc


# ---- Preamble --------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "header_area, flags",
    [(4096, 1), (1, 0), (16777216, 255)],
)
def test_preamble_fields_and_repr(tmp_path, header_area, flags):
    path = tmp_path / "p.drelix"
    # An empty header list is a single line feed, then zero fill.
    path.write_bytes(preamble_bytes(header_area, flags=flags) + b"\n" + bytes(header_area - 1))
    preamble, headers = _native.peek_headers(path)
    assert headers == {}
    assert (preamble.version, preamble.flags, preamble.header_area) == (1, flags, header_area)
    assert repr(preamble) == f"Preamble(version=1, flags={flags}, header_area={header_area})"


def test_preambles_of_different_files_differ(tmp_path):
    a = tmp_path / "a.drelix"
    b = tmp_path / "b.drelix"
    a.write_bytes(drelix_bytes(MINIMAL_HEADERS, header_area=128, flags=1))
    b.write_bytes(drelix_bytes(MINIMAL_HEADERS, header_area=128, flags=0))
    pa = _native.peek_headers(a)[0]
    pb = _native.peek_headers(b)[0]
    assert pa != pb
    assert not (pa == pb)


@needs_container
def test_preamble_of_a_created_file(tmp_path):
    path = tmp_path / "c.drelix"
    _native.Container.create(path, schema_of(), "src", "writer")
    preamble, _ = _native.peek_headers(path)
    assert repr(preamble) == "Preamble(version=1, flags=1, header_area=4096)"


# ---- FieldSpec -------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, shown",
    [
        ("price", '"price"'),
        ('say "hi"', '"say \\"hi\\""'),
        ("two\nlines", '"two\\nlines"'),
        ("tab\there", '"tab\\there"'),
        ("cr\r", '"cr\\r"'),
        ("nul\0", '"nul\\0"'),
        ("back\\slash", '"back\\\\slash"'),
        ("it's", '"it\'s"'),
        ("bell\x07", '"bell\\u{7}"'),
        ("e\u0301", '"e\\u{301}"'),
        ("z\u00fcrich", '"z\u00fcrich"'),
        ("", '""'),
    ],
)
def test_field_spec_repr_quotes_text(name, shown):
    field = FS(name, "u8", 12)
    assert repr(field) == f'FieldSpec(name={shown}, ty="u8", offset=12)'


def test_field_spec_repr_quotes_type_too():
    assert repr(FS("a", 'u"8', 4294967295)) == 'FieldSpec(name="a", ty="u\\"8", offset=4294967295)'


def test_field_spec_stores_anything():
    # No validation: unknown types and any offset are representable.
    field = FS("", "complex128", 2**32 - 1)
    assert (field.name, field.ty, field.offset) == ("", "complex128", 2**32 - 1)


@pytest.mark.parametrize(
    "other",
    [FS("b", "u8", 1), FS("a", "u16", 1), FS("a", "u8", 2)],
    ids=["name", "ty", "offset"],
)
def test_field_spec_equality_covers_every_field(other):
    base = FS("a", "u8", 1)
    assert base != other
    assert not (base == other)


# ---- RecordLayout ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "layout, fixed_size, text",
    [
        (RL.prefixed(), None, "RecordLayout.prefixed()"),
        (RL.fixed(0), 0, "RecordLayout.fixed(0)"),
        (RL.fixed(16), 16, "RecordLayout.fixed(16)"),
        (RL.fixed(2**32 - 1), 2**32 - 1, "RecordLayout.fixed(4294967295)"),
    ],
)
def test_record_layout_values(layout, fixed_size, text):
    assert layout.fixed_size == fixed_size
    assert repr(layout) == text


def test_record_layout_equality():
    assert RL.prefixed() == RL.prefixed()
    assert RL.prefixed() != RL.fixed(0)
    assert RL.fixed(0) != RL.prefixed()
    assert RL.fixed(3) != RL.fixed(4)


def test_static_methods_work_on_instances():
    assert RL.prefixed().fixed(5) == RL.fixed(5)


# ---- Schema ----------------------------------------------------------------------------------

A = FS("a", "u8", 0)
B = FS("b", "u64", 1)
C = FS("c", "uuid", 9)


def test_schema_attributes():
    schema = Schema("trade@2", [A, B], RL.fixed(9))
    assert schema.name == "trade@2"
    assert schema.fields == [A, B]
    assert schema.layout == RL.fixed(9)
    assert type(schema.fields) is list


def test_schema_from_tuple_equals_from_list():
    assert Schema("s", (A, B, C), RL.prefixed()) == Schema("s", [A, B, C], RL.prefixed())


def test_schema_accepts_any_sequence():
    class Seq:
        def __len__(self):
            return 2

        def __getitem__(self, i):
            if i >= 2:
                raise IndexError(i)
            return [A, B][i]

    assert Schema("s", Seq(), RL.prefixed()).fields == [A, B]


def test_schema_keeps_its_own_copy_of_the_fields():
    fields = [A, B]
    schema = Schema("s", fields, RL.prefixed())
    fields.append(C)
    fields.reverse()
    assert schema.fields == [A, B]


def test_schema_getters_return_fresh_objects():
    schema = Schema("s", [A], RL.fixed(1))
    first = schema.fields
    first.append(B)
    assert schema.fields == [A]
    assert schema.fields is not schema.fields
    assert schema.fields[0] is not schema.fields[0]
    assert schema.layout is not schema.layout


@pytest.mark.parametrize(
    "other",
    [
        Schema("t", [A, B], RL.prefixed()),
        Schema("s", [B, A], RL.prefixed()),
        Schema("s", [A], RL.prefixed()),
        Schema("s", [A, B, C], RL.prefixed()),
        Schema("s", [A, B], RL.fixed(0)),
    ],
    ids=["name", "order", "fewer", "more", "layout"],
)
def test_schema_equality_covers_every_part(other):
    base = Schema("s", [A, B], RL.prefixed())
    assert base != other


@pytest.mark.parametrize(
    "fields, cause_text",
    [
        ("abc", "expected a sequence of FieldSpec, got str"),
        ("", "expected a sequence of FieldSpec, got str"),
        (42, "expected a sequence of FieldSpec, got int"),
        ({"a": A}, "expected a sequence of FieldSpec, got dict"),
        (iter([A]), "expected a sequence of FieldSpec, got list_iterator"),
        ([1], "item 0: expected FieldSpec, got int"),
        ([A, "b"], "item 1: expected FieldSpec, got str"),
        ([A, RL.prefixed()], "item 1: expected FieldSpec, got RecordLayout"),
        (b"ab", "item 0: expected FieldSpec, got int"),
    ],
)
def test_schema_refuses_bad_fields(fields, cause_text):
    with pytest.raises(TypeError) as info:
        Schema("s", fields, RL.prefixed())
    assert str(info.value) == f"argument 'fields': {cause_text}"
    assert type(info.value.__cause__) is TypeError


@pytest.mark.parametrize(
    "fields, count",
    [([], 0), ([A], 1), ([A, B, C], 3)],
)
def test_schema_repr(fields, count):
    assert repr(Schema("s@1", fields, RL.prefixed())) == f'Schema(name="s@1", fields={count} field(s))'


def test_schema_repr_quotes_the_name():
    assert repr(Schema('a"\n', [], RL.prefixed())) == 'Schema(name="a\\"\\n", fields=0 field(s))'


@pytest.mark.parametrize(
    "fields, rendered",
    [
        ([], ""),
        ([A], "a:u8:0"),
        ([A, B, C], "a:u8:0;b:u64:1;c:uuid:9"),
    ],
)
def test_hash_hex_is_fnv1a_of_the_field_list(fields, rendered):
    text = Schema("s", fields, RL.prefixed()).hash_hex()
    assert text == format(fnv1a64(rendered.encode()), "016x")
    assert len(text) == 16


def test_hash_hex_ignores_name_and_layout_but_not_order():
    one = Schema("x", [A, B], RL.prefixed()).hash_hex()
    assert Schema("y", [A, B], RL.fixed(3)).hash_hex() == one
    assert Schema("x", [B, A], RL.prefixed()).hash_hex() != one


@needs_container
def test_hash_hex_matches_the_created_file(tmp_path):
    schema = Schema("trade@1", [A, B], RL.fixed(9))
    path = tmp_path / "h.drelix"
    _native.Container.create(path, schema, "src", "writer")
    _, headers = _native.peek_headers(path)
    assert headers["_schema_hash"] == schema.hash_hex()


# ---- Frame -----------------------------------------------------------------------------------


@needs_container
@pytest.mark.parametrize(
    "token, data, fields, text",
    [
        ("7,0,5,00000000000000ff", b"12345", (7, 0, 5, 255),
         "Frame(id=7, offset=0, len=5, hash=0x00000000000000ff)"),
        ("0,0,0", b"", (0, 0, 0, 0), "Frame(id=0, offset=0, len=0, hash=0x0000000000000000)"),
        ("18446744073709551615,1,2,ffffffffffffffff", b"abc",
         (2**64 - 1, 1, 2, 2**64 - 1),
         "Frame(id=18446744073709551615, offset=1, len=2, hash=0xffffffffffffffff)"),
    ],
)
def test_frame_fields_and_repr(tmp_path, token, data, fields, text):
    path = frame_file(tmp_path, token, data)
    (frame,) = _native.Container.open_read(path).frames()
    assert (frame.id, frame.offset, frame.len, frame.hash) == fields
    assert repr(frame) == text


@needs_container
def test_frame_equality_covers_every_field(tmp_path):
    path = frame_file(tmp_path, "1,0,2,0000000000000001;1,0,2,0000000000000002;1,0,2,"
                                "0000000000000001;2,0,2,0000000000000001", b"ab")
    f = _native.Container.open_read(path).frames()
    assert f[0] == f[2]
    assert f[0] != f[1]
    assert f[0] != f[3]


# ---- split_records ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "data, layout, records, torn",
    [
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
    ],
)
def test_split_records(data, layout, records, torn):
    got_records, got_torn = _native.split_records(data, layout)
    assert got_records == records
    assert got_torn == torn
    assert all(type(r) is bytes for r in got_records)


def test_split_records_large_prefixed_record():
    body = bytes(range(256)) * 256  # 65536 bytes: one more than a prefix can announce
    data = (65535).to_bytes(2, "little") + body[:65535] + b"\x00"
    records, torn = _native.split_records(data, RL.prefixed())
    assert records == [body[:65535]]
    assert torn == 1


def test_split_records_returns_copies():
    data = b"abcdefgh"
    records, _ = _native.split_records(data, RL.fixed(4))
    result = _native.split_records(data, RL.fixed(4))
    assert type(result) is tuple and len(result) == 2
    assert records[0] is not result[0][0]


# ---- max_frames_for --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "header_area, frames",
    [
        (0, 0), (1, 0), (2623, 0), (2624, 0), (2687, 0), (2688, 1), (2751, 1), (2752, 2),
        (4096, 23), (16777216, (16777216 - 2624) // 64), (2**32 - 1, (2**32 - 1 - 2624) // 64),
    ],
)
def test_max_frames_for(header_area, frames):
    assert _native.max_frames_for(header_area) == frames


@pytest.mark.parametrize("header_area", [-1, 2**32, 2**64, -(2**70)])
def test_max_frames_for_out_of_range(header_area):
    with pytest.raises(OverflowError):
        _native.max_frames_for(header_area)
