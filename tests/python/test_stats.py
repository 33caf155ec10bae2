"""Frame statistics: the drelix_stats_ keys a writer keeps, and the maintenance that checks them."""

import drelix_binary as dx
import numpy as np
import pytest
from drelix_binary import _native

SCHEMA = dx.schema("stats@1", {"ts": "i64", "v": "f64", "k": "u8", "id": "uuid"})
DT = np.dtype([("ts", "<i8"), ("v", "<f8"), ("k", "u1"), ("id", "V16")])
NAN = float("nan")


def rows(ts, v=None):
    out = np.zeros(len(ts), DT)
    out["ts"], out["v"], out["k"] = ts, v if v is not None else 0.0, np.asarray(ts) % 256
    return out


def keys(path):
    h = dx.open(path).headers
    return {k[len("drelix_stats_") :]: v for k, v in h.items() if k.startswith("drelix_stats_")}


def test_every_way_of_closing_records_the_ranges(tmp_path):
    path = str(tmp_path / "a.drelix")
    with dx.create(path, SCHEMA, index=("ts", "v"), frame_records=3) as w:
        assert keys(path) == {"ts": "", "v": ""}
        w.extend(rows([5, -2, 9], [NAN, -0.0, 0.0]))  # the policy closes the frame
        w.append(rows([4], [NAN]))
        w.close_frame()
        w.write(rows([10, 11, 12, 13], [0.1, 1e300, float("inf"), 5e-324]))  # a bulk write
        w.append(rows([-7])[0].tobytes())
        w.seal()
    frames = "-2,9;4,4;10,12;13,13;-7,-7"
    assert keys(path) == {"ts": frames, "v": "-0,0;;0.1,inf;5e-324,5e-324;0,0"}

    # Reopened as is, the writer keeps both; asked for k, it computes the frames there.
    with dx.open(path, "a", index=["k"]) as w:
        assert keys(path)["k"] == "5,254;4,4;10,12;13,13;249,249"
        w.append(rows([300])[0].tobytes())
    assert keys(path) == {"ts": frames + ";300,300", "v": "-0,0;;0.1,inf;5e-324,5e-324;0,0;0,0",
                          "k": "5,254;4,4;10,12;13,13;249,249;44,44"}  # fmt: skip
    assert dx.validate(path).problems == []


def test_a_peer_that_keeps_no_statistics_is_caught_up_at_the_next_open(tmp_path):
    path = str(tmp_path / "b.drelix")
    with dx.create(path, SCHEMA, index=["ts"]) as w:
        w.append(rows([3])[0].tobytes())
    peer = _native.Container.open_append(path)
    for i, ts in enumerate((8, 1)):
        peer.append_record(rows([ts])[0].tobytes())
        peer.close_frame(i + 1, 3)
    del peer
    assert keys(path) == {"ts": "3,3"}  # the peer left it alone: one entry for three frames
    dx.open(path, "a").close()
    assert keys(path) == {"ts": "3,3;8,8;1,1"}


@pytest.mark.parametrize(("schema", "index", "says"), [
    (SCHEMA, ["nope"], "no such field"), (SCHEMA, ["id"], "uuid field is not numeric"),
    (dx.schema("log@1", {"ts": "i64"}, layout="prefixed"), ["ts"], "length-prefixed")])  # fmt: skip
def test_what_cannot_be_indexed_is_refused(tmp_path, schema, index, says):
    path = tmp_path / "c.drelix"
    with pytest.raises(dx.DrelixUsageError, match=says):
        dx.create(path, schema, index=index)
    assert not path.exists()
    dx.create(path, schema).close()
    with pytest.raises(dx.DrelixUsageError, match=says):
        dx.open(path, "a", index=index)
    with dx.open(path, "a") as w:  # nothing was changed, and the lock was let go
        assert not any(k.startswith("drelix_stats_") for k in w.headers)
        with pytest.raises(dx.DrelixUsageError, match="holds frame statistics"):
            w.set_user_header("drelix_stats_ts", "1,2")


def test_zone_full_counts_the_statistics(tmp_path):
    listed = {}
    for index in ((), ("ts", "v")):
        path = str(tmp_path / f"{len(index)}.drelix")
        with dx.create(path, SCHEMA, header_area=2048, frame_records=1, index=index) as w:
            with pytest.raises(dx.DrelixZoneFullError) as e:
                widest = rows(np.arange(1000) - 2**62, np.full(1000, -2.2250738585072014e-308))
                for r in widest:
                    w.append(r.tobytes())
            listed[index] = len(w.frames), str(e.value)
            assert w.records == len(w.frames)  # refused before it was taken
        assert dx.validate(path).problems == []
    (plain, _), (indexed, says) = listed.values()
    assert 0 < indexed < plain
    assert "the statistics of 2 indexed fields take" in says


@pytest.mark.parametrize(("planted", "problem"), [
    ("1,2;3,9;5,5", 'frame 1: drelix_stats_ts says "3,9", the records give "3,4"'),
    ("1,2;;5,5", 'frame 1: drelix_stats_ts says "", the records give "3,4"'),
    ("1,2;3,4", "drelix_stats_ts: holds 2 entries, the file lists 3 frames"),
    ("1,2;3,4;5,5x", 'drelix_stats_ts: entry "5,5x": not a number: "5x"')])  # fmt: skip
def test_validate_rebuild_and_repack_keep_the_ranges_true(tmp_path, planted, problem):
    path = str(tmp_path / "e.drelix")
    with dx.create(path, SCHEMA, index=["ts"], frame_records=2) as w:
        w.write(rows([1, 2, 3, 4, 5]))
    good = "1,2;3,4;5,5"

    def plant(value):  # the low-level writer sets any header
        _native.Container.open_append(path).set_user_header("drelix_stats_ts", value)

    plant(planted)
    assert dx.validate(path).problems == [problem]
    assert _native.validate(path).problems == []  # the low-level contract leaves it alone
    assert dx.rebuild_headers(path).differences == [f'drelix_stats_ts: "{planted}" -> "{good}"']
    assert dx.rebuild_headers(path, fix=True).fixed
    assert keys(path) == {"ts": good}
    assert dx.validate(path).problems == []

    plant(planted)
    _native.repack(path, 1)
    assert keys(path) == {"ts": planted}  # carried as it was
    dx.repack(path, level=1)
    assert keys(path) == {"ts": good}
    dx.salvage(path, str(tmp_path / "saved.drelix"))
    assert keys(str(tmp_path / "saved.drelix")) == {"ts": good}
