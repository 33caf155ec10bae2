#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/<target>/: a handful of small, well-formed inputs
per target (plus a few near misses), so that fuzzing starts from real files instead of having to
discover the magic numbers and the header syntax by itself.

The files are built here from the format's own rules, without the engine: frames are zstd
frames made of raw or RLE blocks (which any zstd decoder reads) or level-0 raw copies, with
FNV-1a computed below and XXH64 taken from libxxhash. Re-running it rewrites the same bytes.
"""
import ctypes
import ctypes.util
import pathlib
import struct

M64 = (1 << 64) - 1
ROOT = pathlib.Path(__file__).resolve().parent / "corpus"


def fnv1a64(data: bytes) -> int:
    h = 0xCBF29CE484222325
    for b in data:
        h = ((h ^ b) * 0x100000001B3) & M64
    return h


# XXH64 (seed 0) from the system's libxxhash, the library the engine links.
_XXH = ctypes.CDLL(ctypes.util.find_library("xxhash") or "libxxhash.so.0")
_XXH.XXH64.restype = ctypes.c_uint64
_XXH.XXH64.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_uint64]


def xxh64(data: bytes) -> int:
    return _XXH.XXH64(data, len(data), 0)


def zstd_frame(content: bytes, rle: bool = False, checksum: bool = True) -> bytes:
    """One zstd frame: a single raw (or RLE) block, the content size in the header (one byte, or
    two holding the size less 256) and, by default, the content checksum."""
    n = len(content)
    assert n < 256 + 65536 and (not rle or content and content == content[:1] * n)
    fhd = 0x20 | (0x04 if checksum else 0) | (0x40 if n >= 256 else 0)  # single segment
    fcs = bytes([n]) if n < 256 else struct.pack("<H", n - 256)
    block = struct.pack("<I", 1 | (2 if rle else 0) | n << 3)[:3] + (content[:1] if rle else content)
    check = struct.pack("<I", xxh64(content) & 0xFFFFFFFF) if checksum else b""
    return b"\x28\xb5\x2f\xfd" + bytes([fhd]) + fcs + block + check


def zone(pairs, size: int) -> bytes:
    def escape(v: str) -> str:
        return v.replace("\\", "\\\\").replace("\n", "\\n")

    text = "".join(f"{k}:{escape(v)}\n" for k, v in pairs).encode() + b"\n"
    assert len(text) <= size, (len(text), size)
    return text.ljust(size, b"\0")


def preamble(h: int) -> bytes:
    return b"DRELIX\x01\x01" + struct.pack("<I", h) + bytes(4)


def drelix_file(records, prefixed: bool, frame_plan, h: int = 640, tail=()):
    """A file whose frames hold the given runs of records; frame_plan lists (count, kind) with
    kind 'raw' (level 0), 'zstd' or 'rle', and `tail` records follow uncompressed."""
    def disk(rs):
        return b"".join((struct.pack("<H", len(r)) if prefixed else b"") + r for r in rs)

    data, frames, total = b"", [], 0
    for fid, (count, kind) in enumerate(frame_plan):
        run = disk(records[total:total + count])
        total += count
        body = run if kind == "raw" else zstd_frame(run, rle=kind == "rle")
        frames.append(f"{fid},{len(data)},{len(body)},{xxh64(body):016x}")
        data += body
    fields = "name:u8:0" if prefixed else "n:u64:0"
    pairs = [
        ("_schema", "seed@1"), ("_schema_fields", fields),
        ("_schema_hash", f"{fnv1a64(fields.encode()):016x}"),
        ("_record", "prefixed" if prefixed else "fixed:8"), ("_source", "make_seeds"),
        ("_created_at", "1970-01-01T00:00:00Z"), ("_writer", "seed"),
        ("_compression", "zstd"), ("_compression_level", "3"), ("_records", str(total)),
        ("_bytes_raw", str(len(disk(records[:total])))), ("_frames", ";".join(frames)),
        ("_preview", ""), ("_sealed", "false"),
    ]
    return preamble(h) + zone(pairs, h) + data + disk(tail)


def journal(offset: int, zone_bytes: bytes, frame: bytes) -> bytes:
    payload = struct.pack("<QQ", offset, len(zone_bytes)) + zone_bytes + frame
    return b"DJRNL2" + struct.pack("<QQ", len(payload), fnv1a64(payload)) + payload


def main() -> None:
    fixed = [struct.pack("<Q", (i + 1) * 0x9E3779B97F4A7C15 & M64) for i in range(12)]
    prefixed = [bytes((i * 7 + j) & 0xFF for j in range(i % 9)) for i in range(12)]
    files = {
        "fixed_empty": drelix_file([], False, []),
        "fixed_tail_only": drelix_file([], False, [], tail=fixed[:3]),
        "fixed_two_frames_tail": drelix_file(fixed, False, [(4, "zstd"), (3, "raw")], tail=fixed[7:9]),
        "prefixed_frames": drelix_file(prefixed, True, [(5, "zstd"), (4, "zstd")], tail=prefixed[9:11]),
        "rle_frame": drelix_file([b"\x05" * 8] * 6, False, [(6, "rle")]),
        "torn_tail": drelix_file(prefixed, True, [(3, "raw")]) + b"\x09\x00abc",
    }
    seeds = {
        "preamble": {
            "valid": preamble(4096), "tiny_zone": preamble(1), "max_zone": preamble(16777216),
            "too_big": preamble(16777217), "zero": preamble(0), "short": b"DRELIX\x01",
            "bad_version": b"DRELIX\x02\x00" + bytes(8),
        },
        "headers": {
            "system": files["fixed_two_frames_tail"][16:16 + 640],
            "escapes": zone([("a", "x\ny\\z"), ("k", " v:w")], 64),
            "exact_fit": b"a:1\n\n", "no_terminator": b"a:1\n",
            "repeat": zone([("a", "1"), ("a", "2")], 16), "empty": b"\n\0\0\0",
        },
        "schema": {
            "fixed": b"fixed:16\nid:u32:0;ts:u64:4\nevent@1",
            "prefixed": b"prefixed\nname:uuid:0;;x:f64:16;\nlog@2",
            "plus": b"fixed:+8\na:u8:1:2\ns", "bad": b"fixed:0\n:u8:0", "missing": b"prefixed",
        },
        "frames": {
            "one": b"1,0,100", "hash": b"1,0,100,00000000abcdef01;2,100,5",
            "odd": b";;7,+0,0001,ABCDEF;", "bad": b"1,0,100,1,2", "big": b"18446744073709551615,0,0",
        },
        "journal": {
            "valid": journal(100, zone([("a", "1")], 32), b"frame bytes"),
            "at_end": journal(300, b"Z" * 32, b"\x01\x02\x03"),
            "bad_sum": journal(50, b"zz", b"f")[:-1] + b"g",
            "empty_frame": journal(50, b"zz", b""), "short": b"DJRNL2" + bytes(10),
        },
        "decode": {
            "raw": zstd_frame(b"hello, frames"), "rle": zstd_frame(b"a" * 200, rle=True),
            "no_checksum": zstd_frame(b"abc", checksum=False),
            "two": zstd_frame(b"one") + zstd_frame(b"two"),
            "truncated": zstd_frame(b"0123456789" * 4)[:-6], "big": zstd_frame(bytes(range(256)) * 2),
        },
        **dict.fromkeys(("open_read", "close", "rebuild", "validate"), files),
    }
    for target, inputs in seeds.items():
        (ROOT / target).mkdir(parents=True, exist_ok=True)
        for name, data in inputs.items():
            (ROOT / target / name).write_bytes(data)
    print(f"wrote {sum(len(v) for v in seeds.values())} seeds under {ROOT}")


if __name__ == "__main__":
    main()
