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
import os
import struct
import sys

M64 = (1 << 64) - 1
ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


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
    """One zstd frame with a single raw (or RLE) block and the content size in the header."""
    assert len(content) < 256 + 65536 and len(content) <= 128 * 1024
    fhd = 0x20 | (0x04 if checksum else 0)  # single segment, optional content checksum
    if len(content) < 256:
        fcs = bytes([len(content)])
    else:
        fhd |= 0x40
        fcs = struct.pack("<H", len(content) - 256)
    if rle:
        assert content and content == content[:1] * len(content)
        block = struct.pack("<I", 1 | (1 << 1) | (len(content) << 3))[:3] + content[:1]
    else:
        block = struct.pack("<I", 1 | (len(content) << 3))[:3] + content
    out = b"\x28\xb5\x2f\xfd" + bytes([fhd]) + fcs + block
    if checksum:
        out += struct.pack("<I", xxh64(content) & 0xFFFFFFFF)
    return out


def escape(v: str) -> str:
    return v.replace("\\", "\\\\").replace("\n", "\\n")


def zone(pairs, size: int) -> bytes:
    text = "".join(f"{k}:{escape(v)}\n" for k, v in pairs).encode() + b"\n"
    assert len(text) <= size, (len(text), size)
    return text + b"\0" * (size - len(text))


def preamble(h: int) -> bytes:
    return b"DRELIX" + bytes([1, 1]) + struct.pack("<I", h) + b"\0" * 4


def drelix_file(records, prefixed: bool, frame_plan, h: int = 640, tail=()):
    """A file whose frames hold the given runs of records; frame_plan lists (count, kind) with
    kind 'raw' (level 0), 'zstd' or 'rle', and `tail` records follow uncompressed."""
    def disk(r):
        return (struct.pack("<H", len(r)) if prefixed else b"") + r

    fields = "n:u64:0" if not prefixed else "name:u8:0"
    data = b""
    frames = []
    i = 0
    total = raw_bytes = 0
    for fid, (count, kind) in enumerate(frame_plan):
        run = b"".join(disk(r) for r in records[i:i + count])
        i += count
        total += count
        raw_bytes += len(run)
        if kind == "raw":
            body = run
        elif kind == "rle":
            body = zstd_frame(run, rle=True)
        else:
            body = zstd_frame(run)
        frames.append(f"{fid},{len(data)},{len(body)},{xxh64(body):016x}")
        data += body
    data += b"".join(disk(r) for r in tail)
    pairs = [
        ("_schema", "seed@1"), ("_schema_fields", fields),
        ("_schema_hash", f"{fnv1a64(fields.encode()):016x}"),
        ("_record", "prefixed" if prefixed else "fixed:8"), ("_source", "make_seeds"),
        ("_created_at", "1970-01-01T00:00:00Z"), ("_writer", "seed"),
        ("_compression", "zstd"), ("_compression_level", "3"), ("_records", str(total)),
        ("_bytes_raw", str(raw_bytes)), ("_frames", ";".join(frames)), ("_preview", ""),
        ("_sealed", "false"),
    ]
    return preamble(h) + zone(pairs, h) + data


def journal(offset: int, zone_bytes: bytes, frame: bytes) -> bytes:
    payload = struct.pack("<QQ", offset, len(zone_bytes)) + zone_bytes + frame
    return b"DJRNL2" + struct.pack("<QQ", len(payload), fnv1a64(payload)) + payload


def main() -> int:
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
    }
    seeds["open_read"] = files
    seeds["close"] = files
    seeds["rebuild"] = files
    seeds["validate"] = files

    for target, inputs in seeds.items():
        d = os.path.join(ROOT, target)
        os.makedirs(d, exist_ok=True)
        for name, data in inputs.items():
            with open(os.path.join(d, name), "wb") as f:
                f.write(data)
    print(f"wrote {sum(len(v) for v in seeds.values())} seeds under {ROOT}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
