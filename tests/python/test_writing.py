# Writing archives: byte for byte what tarnc c makes, every method by name,
# the writer's life, the one-buffer calls and bad arguments.
import os

import pytest

import tarn
from conftest import FIXED_TIME, SAMPLE, refused, text

FILES = ["in/a.txt", "in/b.txt", "in/noise.bin", "in/empty", "in/sub/c.txt"]
SWITCHES = {"store": "-m0", "quickest": "-mq", "fast": "-mf", "normal": "-mn", "good": "-mg",
            "superb": "-ms", "extreme": "-me"}


def read(path):
    with open(path, "rb") as f:
        return f.read()


@pytest.mark.parametrize("method", list(SWITCHES))
def test_every_method_makes_tarnc_s_archive_byte_for_byte(sample, tarnc, method):
    for solid in (False, True):
        tarnc("c", SWITCHES[method], *(["-b"] if solid else []), "ref.trn", *FILES)
        with tarn.create("py.trn", method=method, solid=solid) as w:
            for f in FILES:
                w.add(f)
        assert read("py.trn") == read("ref.trn"), (method, solid)
        with tarn.open("py.trn") as a:
            assert a.method == method
            assert a.test() == []
            assert {n: a.read(n) for n in a.namelist()} == {n: SAMPLE[n] for n in FILES}


def test_a_tree_added_child_by_child_is_tarnc_c_r_d(sample, tarnc):
    tarnc("c", "-r", "-d", "-b", "ref.trn", "in/")
    with tarn.create("py.trn") as w:
        for child in ["a.txt", "b.txt", "empty", "noise.bin", "sub"]:  # files first, as c selects them
            w.add(os.path.join("in", child))
    assert read("py.trn") == read("ref.trn")
    # The same, as the contents of "in" stored under "in".
    os.chdir("in")
    with tarn.create("../top.trn") as w:
        w.add(".")
    os.chdir("..")
    with tarn.open("top.trn") as top, tarn.open("py.trn") as tree:
        assert sorted("in/" + n for n in top.namelist()) == sorted(n for n in tree.namelist() if n != "in")


def test_add_names_entries_and_replaces_by_name(sample):
    with tarn.create("w.trn") as w:
        w.add("in", arcname="renamed")
        w.add("in/a.txt", arcname="single/a.txt")
        w.add(os.path.abspath("in/b.txt"))  # no leading separator stored
        w.add_bytes("single/a.txt", b"the later one")
        w.add_bytes(b"raw\xffname", bytearray(b"bytes-like"), mtime=0)
        w.add_bytes("view", memoryview(b"xxabcxx")[2:5])
    with tarn.open("w.trn") as a:
        names = a.namelist()
        assert "renamed" in names and "renamed/sub/deeper/d.txt" in names
        assert names.count("single/a.txt") == 1
        assert a.read("single/a.txt") == b"the later one"
        absolute = [n for n in names if n.endswith("in/b.txt")]
        assert len(absolute) == 1 and not absolute[0].startswith("/")
        assert a.read(b"raw\xffname") == b"bytes-like"
        assert a.getinfo("raw\udcffname").name == "raw\udcffname"  # undecodable bytes round-trip
        assert a.read("view") == b"abc"
        assert a.getinfo("renamed/sub/deeper/d.txt").size == len(SAMPLE["in/sub/deeper/d.txt"])


def test_the_writer_writes_only_when_closed(sample):
    with tarn.create("keep.trn") as w:
        w.add_bytes("old.txt", b"old")
    before = read("keep.trn")
    with pytest.raises(RuntimeError):
        with tarn.create("keep.trn") as w:
            w.add_bytes("new.txt", b"new")
            raise RuntimeError("leaving")
    assert read("keep.trn") == before and w.closed
    w = tarn.create("keep.trn")
    w.add_bytes("new.txt", b"new")
    w.abort()
    assert read("keep.trn") == before
    refused(tarn.StateError, lambda: w.add("in/a.txt"), lambda: w.add_bytes("x", b"x"))
    w.close()  # closing a closed writer does nothing
    w = tarn.create("fresh.trn")
    w.add_bytes("a", b"a")
    assert not os.path.exists("fresh.trn")
    w.close()
    with tarn.open("fresh.trn") as a:
        assert a.namelist() == ["a"]
    assert not [f for f in os.listdir(".") if f.startswith(".tarnc-")]


def test_one_buffer_round_trips_with_every_method(tmp_path):
    data = text(100000, 21)
    sizes = {}
    for method in tarn.METHODS:
        packed = tarn.compress(data, method)
        assert tarn.decompress(packed) == data
        sizes[method] = len(packed)
        (tmp_path / "one.trn").write_bytes(packed)
        with tarn.open(tmp_path / "one.trn") as a:  # a one-entry archive of that method
            assert a.method == method and len(a) == 1
    assert sizes["store"] > len(data) > 4 * sizes["normal"]
    assert tarn.compress(data) == tarn.compress(data, "normal") == tarn.compress(bytearray(data), 3)
    assert tarn.decompress(tarn.compress(b"")) == b""
    with pytest.raises(tarn.NotAnArchiveError):
        tarn.decompress(b"not an archive at all, just words")


def test_bad_arguments_are_refused(sample):
    for method in ("zip", "", 7, -1):
        with pytest.raises(tarn.ArgumentError) as bad:
            tarn.create("x.trn", method=method)
        assert isinstance(bad.value, ValueError)
        refused(tarn.ArgumentError, lambda: tarn.compress(b"x", method))
    refused(TypeError, *(lambda m=m: tarn.create("x.trn", method=m) for m in (None, 3.0, True)))
    assert tarn.create("x.trn", method="SUPERB")  # names in any case
    refused(TypeError, lambda: tarn.compress("text is not bytes"))
    refused(tarn.ArgumentError, lambda: tarn.create(""))
    with tarn.create("x.trn") as w:
        refused(tarn.ArgumentError, *(lambda n=n: w.add_bytes(n, b"x") for n in ("", "a\0b", b"")))
        refused(TypeError, lambda: w.add_bytes(42, b"x"), lambda: w.add_bytes("x", "not bytes"),
                lambda: w.add_bytes("x", b"x", mtime="yesterday"))
        refused(tarn.ArgumentError, *(lambda m=m: w.add_bytes("x", b"x", mode=m) for m in (-1, 0o10000, "644")))
        with pytest.raises(tarn.TarnIOError) as missing:
            w.add("nothing/here.txt")
        assert isinstance(missing.value, OSError) and "nothing/here.txt" in str(missing.value)
        w.add_bytes("kept", b"k", mtime=FIXED_TIME)
    with tarn.open("x.trn") as a:  # what failed left nothing behind
        assert a.namelist() == ["kept"]
    refused(tarn.TarnIOError, lambda: tarn.open("missing.trn"))
    os.mkdir("dir.trn")
    with pytest.raises(tarn.TarnError):
        with tarn.create("dir.trn") as w:
            w.add_bytes("a", b"a")
