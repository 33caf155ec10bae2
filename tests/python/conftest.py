"""Shared helpers: files written byte by byte (independently of the engine, so that a test
reading one checks the reader against the format rather than against the writer), and files
written through the low-level Container, which the public API and the command read back."""

import socket
import struct
import subprocess
import sys
import time
import urllib.error
import urllib.request
import uuid

import numpy as np
import pytest
from drelix_binary import _native

Container, FS, RL = _native.Container, _native.FieldSpec, _native.RecordLayout
# Every fixed field type, the wide ones unaligned.
DTYPE = np.dtype([("sensor", "<u2"), ("flag", "u1"), ("id", "<u8"), ("delta", "<i8"),
                  ("value", "<f8"), ("key", "V16")])  # fmt: skip


def drelix_bytes(headers, header_area=4096, flags=1, data=b""):
    """A whole file: magic, version 1, flags, the zone size (u32 little-endian), four zeros,
    then the zone ("key:value\\n" per pair, escaped, an empty line, zero fill) and `data`."""
    escaped = [(k, v.replace("\\", "\\\\").replace("\n", "\\n")) for k, v in headers]
    zone = ("".join(f"{k}:{v}\n" for k, v in escaped) + "\n").encode()
    head = b"DRELIX" + bytes([1, flags]) + struct.pack("<II", header_area, 0)
    return head + zone.ljust(header_area, b"\0") + data


class Index:
    """An integer by the index protocol; `hook` runs first (to re-enter a Container)."""

    def __init__(self, value, hook=None):
        self.value, self.hook = value, hook

    def __index__(self):
        if self.hook:
            self.hook()
        return self.value


def body(i):
    """Record i's body: its index first, so any misplaced record is visible, then padding."""
    return struct.pack("<Q", i) + bytes([i % 251]) * (i % 23)


def records(n, seed=0, start=0):
    """`n` records of DTYPE, their ids counting from `start`, the rest random."""
    rng = np.random.default_rng(seed)
    a = np.zeros(n, DTYPE)
    a["sensor"], a["flag"] = rng.integers(0, 2**16, n), rng.integers(0, 256, n)
    a["id"] = np.arange(start, start + n)
    a["delta"] = rng.integers(-(2**62), 2**62, n)
    a["value"] = rng.normal(size=n)
    a["key"] = np.frombuffer(rng.bytes(16 * n), "V16")
    return a


SCHEMA = _native.Schema("test@1", [FS("seq", "u64", 0), FS("tag", "u8", 8)], RL.prefixed())  # fmt: skip


def create(path, schema=SCHEMA, **kwargs):
    return Container.create(str(path), schema, "src", "writer", **kwargs)


def write_file(path, frames, tail=(), schema=SCHEMA, **kwargs):
    """One frame (ids 0..) per sequence of record bodies (or rows) in `frames`, then `tail`
    left unframed, as a writer that has not closed its last frame leaves them."""
    c = create(path, schema, **kwargs)
    for fid, bodies in enumerate(frames):
        for b in bodies:
            c.append_record(bytes(b))
        c.close_frame(fid, 3)
    for b in tail:
        c.append_record(bytes(b))
    del c  # writes the tail
    return str(path)


def make_file(path, frames):
    """A prefixed file of `frames` frames of 10 records and a tail of 4."""
    bodies = [body(i) for i in range(frames * 10 + 4)]
    write_file(path, [bodies[k * 10 : k * 10 + 10] for k in range(frames)], bodies[-4:])


def damaged(path, order=None, cut_in=None, drop_cut=False):
    """`path` as make_file writes it (5 frames of 10 records, ids 0..49, a tail of ids
    50..53), then its _frames listed as the positions `order` say, and the file cut in the
    middle of frame `cut_in` (dropped from the list with `drop_cut`)."""
    make_file(path, frames=5)
    preamble, headers = _native.peek_headers(path)
    tokens = headers["_frames"].split(";")
    listed = [tokens[i] for i in (order or range(5))]
    if drop_cut:
        listed = listed[:cut_in]
    data = path.read_bytes()
    zone = data[16 : 16 + preamble.header_area]
    new = zone.replace(headers["_frames"].encode(), ";".join(listed).encode())
    data = data[:16] + new.rstrip(b"\0").ljust(len(zone), b"\0") + data[16 + len(zone) :]
    if cut_in is not None:
        _, offset, length = map(int, tokens[cut_in].split(",")[:3])
        data = data[: 16 + preamble.header_area + offset + length // 2]
    path.write_bytes(data)
    return path, [tuple(map(int, t.split(",")[1:3])) for t in tokens]


# ---- an S3 server on loopback -------------------------------------------------------------

@pytest.fixture(scope="session")
def s3_server():
    """The endpoint URL of a real S3-protocol server (moto's, in a process of its own) on
    loopback, for the session; the environment points every client at it, as a user's would
    (AWS_ENDPOINT_URL and credentials)."""
    pytest.importorskip("s3fs")
    pytest.importorskip("moto.server")
    with socket.socket() as s:  # a free port
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    url, quiet = f"http://127.0.0.1:{port}", subprocess.DEVNULL
    argv = [sys.executable, "-m", "moto.server", "-H", "127.0.0.1", "-p", str(port)]
    server = subprocess.Popen(argv, stdin=quiet, stdout=quiet, stderr=quiet)
    with pytest.MonkeyPatch.context() as env:
        for k, v in {"AWS_ACCESS_KEY_ID": "testing", "AWS_SECRET_ACCESS_KEY": "testing",
                     "AWS_DEFAULT_REGION": "us-east-1", "AWS_ENDPOINT_URL": url}.items():  # fmt: skip
            env.setenv(k, v)
        try:
            deadline = time.monotonic() + 60
            while True:
                try:
                    urllib.request.urlopen(url, timeout=1).close()
                    break
                except urllib.error.HTTPError:
                    break  # it answers
                except OSError:
                    if server.poll() is not None or time.monotonic() > deadline:
                        raise RuntimeError("the S3 server did not start") from None
                    time.sleep(0.1)
            yield url
        finally:
            server.terminate()
            server.wait(timeout=30)


@pytest.fixture
def bucket(s3_server):
    """A new, empty bucket: (its s3:// URL, the s3fs filesystem, storage_options naming the
    server explicitly)."""
    import s3fs

    name = f"b{uuid.uuid4().hex[:12]}"
    options = {"endpoint_url": s3_server, "key": "testing", "secret": "testing"}
    fs = s3fs.S3FileSystem(**options)
    fs.mkdir(name)
    yield f"s3://{name}", fs, options
    fs.rm(name, recursive=True)
