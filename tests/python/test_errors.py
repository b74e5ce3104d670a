# Damaged archives and entries as exceptions, and one exception class for
# every result of the C interface.
import os
import re

import pytest

import tarn
from conftest import flip, refused, text

HEADER = os.path.join(os.path.dirname(__file__), "..", "..", "include", "tarn", "tarn.h")


def two_files(path, solid=False):
    with tarn.create(path, solid=solid) as w:
        w.add_bytes("a.txt", text(200000, 31), mtime=0)
        w.add_bytes("b.txt", text(200000, 32), mtime=0)
    return {"a.txt": text(200000, 31), "b.txt": text(200000, 32)}


def test_a_damaged_entry_costs_only_itself(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    files = two_files("d.trn")
    flip("d.trn", os.path.getsize("d.trn") // 4)
    with tarn.open("d.trn") as a:
        failed = a.test()
        assert len(failed) == 1
        bad = failed[0]
        good = "b.txt" if bad == "a.txt" else "a.txt"
        assert a.read(good) == files[good]

        with pytest.raises(tarn.DamagedEntryError) as damaged:
            a.read(bad)
        assert damaged.value.names == [bad]
        assert damaged.value.code == 6 and bad in str(damaged.value)
        assert isinstance(damaged.value.data, bytes) and len(damaged.value.data) <= len(files[bad])

        # A stream gives what it can decode, then fails at its end.
        got = bytearray()
        with a.open(bad) as s:
            with pytest.raises(tarn.DamagedEntryError):
                while True:
                    piece = s.read(4096)
                    if not piece:
                        break
                    got += piece
        assert got != files[bad]

        with pytest.raises(tarn.DamagedEntryError) as extracting:
            a.extractall("out")
        assert extracting.value.names == [bad]
        assert (tmp_path / "out" / good).read_bytes() == files[good]


def test_damage_in_a_solid_group_fails_its_members(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    two_files("s.trn", solid=True)
    flip("s.trn", os.path.getsize("s.trn") // 4)
    with tarn.open("s.trn") as a:
        assert a.infolist()[1].group_size == 2
        failed = a.test()
        assert failed and set(failed) <= {"a.txt", "b.txt"}


def test_damaged_and_foreign_archives_do_not_open(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    two_files("t.trn")
    whole = open("t.trn", "rb").read()
    flip("t.trn", len(whole) - 3)  # a name in the table
    with pytest.raises(tarn.DamagedArchiveError) as table:
        tarn.open("t.trn")
    assert table.value.code == 5 and "t.trn" in str(table.value)
    open("short.trn", "wb").write(whole[: len(whole) // 2])
    with pytest.raises(tarn.TarnError, match="short.trn"):  # the library reports it as an I/O error
        tarn.open("short.trn")
    open("words.trn", "wb").write(b"not an archive at all, just words")
    open("empty.trn", "wb").close()
    refused(tarn.NotAnArchiveError, lambda: tarn.open("words.trn"))
    refused(tarn.TarnError, lambda: tarn.open("empty.trn"))


def test_a_damaged_buffer_raises_with_what_could_be_decoded():
    data = text(200000, 33)
    packed = bytearray(tarn.compress(data, "good"))
    packed[len(packed) // 2] ^= 0x10
    with pytest.raises(tarn.DamagedEntryError) as damaged:
        tarn.decompress(bytes(packed))
    assert damaged.value.data is not None and damaged.value.data != data


def test_every_result_of_the_c_interface_has_its_exception():
    codes = {name: int(value) for name, value in
             re.findall(r"TARN_(ERROR_\w+)\s*=\s*(\d+)", open(HEADER).read())}
    assert len(codes) >= 15
    from tarn._errors import error_for

    classes = set()
    for name, code in codes.items():
        error = error_for(code, "detail")
        assert isinstance(error, tarn.TarnError) and type(error) is not tarn.TarnError, name
        assert error.code == code and str(error) == "detail"
        classes.add(type(error))
    assert len(classes) == len(codes)
    assert type(error_for(999, "")) is tarn.TarnError
    assert str(error_for(6, "")) == "damaged entry"  # the library's short text when there is no detail
    assert issubclass(tarn.EntryNotFoundError, KeyError)
    assert issubclass(tarn.TarnIOError, OSError) and issubclass(tarn.ArgumentError, ValueError)
    assert issubclass(tarn.NotAnArchiveError, tarn.DamagedArchiveError)
