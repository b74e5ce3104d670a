# Reading archives: the table as Entry objects, read(), streams, test(),
# extraction and its safety rules, and a closed archive.
import datetime
import io
import os
import stat
import zlib

import pytest

import tarn
from conftest import FIXED_TIME, SAMPLE, refused, text


def make_archive(path="s.trn", method="normal", solid=True):
    with tarn.create(path, method=method, solid=solid) as w:
        w.add("in")
        w.add_bytes("loose/one.txt", b"one\n", mtime=FIXED_TIME, mode=0o600)
        w.add_bytes("loose/run.sh", b"#!/bin/sh\necho\n", mtime=FIXED_TIME, mode=0o755)
    return path


def test_round_trip_gives_every_entry_and_its_fields(sample):
    os.chmod("in/b.txt", 0o755)
    make_archive()
    with tarn.open("s") as a:  # ".trn" added
        assert len(a) == 11
        assert a.method == "normal"
        names = a.namelist()
        assert sorted(names) == sorted(
            list(SAMPLE) + ["in", "in/sub", "in/sub/deeper", "loose/one.txt", "loose/run.sh"]
        )
        assert [e.name for e in a] == names
        for e in a.infolist():
            assert e.stored_name == e.name.replace("/", "\\")
            assert e.path == e.name.replace("/", os.sep)
            assert e.mtime.tzinfo == datetime.timezone.utc
            if e.is_dir:
                assert e.size == 0 and e.mode == 0o755
                assert e.mtime == datetime.datetime.fromtimestamp(FIXED_TIME, datetime.timezone.utc)
                continue
            data = a.read(e.name)
            assert a.read(e) == data
            expected = SAMPLE.get(e.name)
            if expected is not None:
                assert data == expected
            assert e.size == len(data)
            assert e.crc == zlib.crc32(data)
            assert e.mtime == datetime.datetime.fromtimestamp(FIXED_TIME, datetime.timezone.utc)
        assert a.getinfo("in/b.txt").mode == 0o755
        assert a.getinfo("in/a.txt").mode == 0o644
        assert a.getinfo("loose/one.txt").mode == 0o600
        assert a.getinfo("in\\sub\\c.txt").name == "in/sub/c.txt"  # either separator
        assert "in/sub/c.txt" in a and "in/nothing" not in a
        # Small files share solid groups: the packed size is on a group's first member.
        groups = {}
        for e in a:
            groups.setdefault(e.group, []).append(e)
        assert any(len(members) > 1 for members in groups.values())
        for members in groups.values():
            assert all(m.packed_size == 0 for m in members[1:])
            assert all(m.group_size == len(members) for m in members)
        with pytest.raises(tarn.EntryNotFoundError) as missing:
            a.read("in/nothing")
        assert isinstance(missing.value, KeyError)
        assert "in/nothing" in str(missing.value)
        assert a.test() == []


# Single packed files, members of a packed group, stored files and stored
# members.
@pytest.mark.parametrize("method,solid", [("fast", False), ("fast", True), ("store", True)])
def test_streams_decode_as_they_are_read(sample, method, solid):
    big = text(600000, 9)
    with tarn.create("big.trn", method=method, solid=solid) as w:
        w.add_bytes("big.txt", big)
        w.add_bytes("small.txt", b"small bytes " * 50)
        w.add_bytes("empty", b"")
        w.add("in/noise.bin")  # stored: it does not get smaller
    with tarn.open("big.trn") as a:
        assert a.getinfo("in/noise.bin").is_stored or solid
        assert a.getinfo("big.txt").is_stored == (method == "store")
        for name, expected in [("big.txt", big), ("small.txt", b"small bytes " * 50), ("empty", b""),
                               ("in/noise.bin", SAMPLE["in/noise.bin"])]:
            with a.open(name) as s:
                assert isinstance(s, io.RawIOBase) and s.readable()
                assert s.entry.name == name
                pieces = []
                while True:
                    piece = s.read(7)
                    if not piece:
                        break
                    assert len(piece) <= 7
                    pieces.append(piece)
                assert b"".join(pieces) == expected
                assert s.read(7) == b""  # and stays at its end
        with a.open("big.txt") as s:
            buffer = bytearray(1000)
            assert s.readinto(buffer) == 1000 and bytes(buffer) == big[:1000]
            assert s.read(0) == b""
            assert s.read() == big[1000:]
        with a.open("big.txt") as s:  # a text view over the stream
            lines = io.TextIOWrapper(io.BufferedReader(s), encoding="ascii").readlines()
            assert "".join(lines).encode() == big
        with pytest.raises(ValueError):
            a.open("big.txt", "w")


def test_extract_and_extractall_write_files_with_times_and_modes(sample, tmp_path):
    os.chmod("in/b.txt", 0o755)
    make_archive()
    with tarn.open("s.trn") as a:
        written = a.extract("in/sub/c.txt", tmp_path / "one")
        assert written == os.path.join(tmp_path / "one", "in", "sub", "c.txt")
        assert open(written, "rb").read() == SAMPLE["in/sub/c.txt"]
        assert sorted(os.listdir(tmp_path / "one" / "in")) == ["sub"]

        a.extractall(tmp_path / "all")
        for name, data in SAMPLE.items():
            path = tmp_path / "all" / name
            assert path.read_bytes() == data
            assert int(path.stat().st_mtime) == FIXED_TIME
        assert stat.S_IMODE((tmp_path / "all/in/b.txt").stat().st_mode) == 0o755
        assert stat.S_IMODE((tmp_path / "all/loose/one.txt").stat().st_mode) == 0o600
        assert (tmp_path / "all/in/sub/deeper").is_dir()

        # Existing files are replaced whole; a selection writes only itself.
        (tmp_path / "all/in/a.txt").write_bytes(b"changed")
        a.extractall(tmp_path / "all", members=["in/a.txt", a.getinfo("loose/run.sh")])
        assert (tmp_path / "all/in/a.txt").read_bytes() == SAMPLE["in/a.txt"]
        a.extractall(tmp_path / "none", members=[])
        assert not (tmp_path / "none").exists()
        with pytest.raises(tarn.EntryNotFoundError):
            a.extractall(tmp_path / "x", members=["nothing"])


def test_extractall_never_writes_outside_its_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with tarn.create("evil.trn", solid=False) as w:
        w.add_bytes("../escaped.txt", b"up")
        w.add_bytes("a/../../../escaped2.txt", b"up and up")
        w.add_bytes("/etc/escaped3.txt", b"root")
        w.add_bytes("good.txt", b"fine")
    os.mkdir("out")
    with tarn.open("evil.trn") as a:
        paths = {e.name: e.path for e in a}
        assert all(not os.path.isabs(p) and ".." not in p.split(os.sep) for p in paths.values())
        with pytest.warns(tarn.TarnWarning, match="unsafe path") as notes:
            a.extractall("out")
        assert len(notes) == 3
    written = sorted(os.path.relpath(os.path.join(d, f), "out") for d, _, fs in os.walk("out") for f in fs)
    assert sorted(os.listdir(".")) == ["evil.trn", "out"]
    assert sorted(written) == sorted(paths.values())
    assert open(os.path.join("out", paths["good.txt"]), "rb").read() == b"fine"


@pytest.mark.skipif(not hasattr(os, "symlink"), reason="no symbolic links")
def test_extractall_never_follows_a_link_out_of_its_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    os.makedirs("out")
    os.makedirs("elsewhere")
    os.symlink(os.path.abspath("elsewhere"), "out/d")
    with tarn.create("l.trn") as w:
        w.add_bytes("d/x.txt", b"through the link")
    with tarn.open("l.trn") as a:
        # The entry is refused; the run itself goes on.
        with pytest.raises(tarn.RefusedError, match="not written"):
            a.extractall("out")
    assert os.listdir("elsewhere") == []


def test_a_closed_archive_refuses_everything(sample):
    make_archive()
    a = tarn.open("s.trn")
    stream = a.open("in/a.txt")
    assert stream.read(10) == SAMPLE["in/a.txt"][:10]
    entry = a.getinfo("in/a.txt")
    a.close()
    assert a.closed and stream.closed  # its streams close with it
    refused(ValueError, lambda: stream.read(10))
    refused(tarn.StateError, a.namelist, a.infolist, a.test, lambda: len(a), lambda: iter(a),
            lambda: a.read("in/a.txt"), lambda: a.open("in/a.txt"), lambda: a.extract("in/a.txt"),
            lambda: a.extractall("x"), lambda: a.getinfo(entry), lambda: a.method)
    a.close()  # twice is fine
    with tarn.open("s.trn") as again:
        pass
    refused(ValueError, lambda: again.read("in/a.txt"))
    assert "closed" in repr(again)

