# Shared by the Python tests: ctest runs them with TARN_LIBRARY naming the
# built libtarn.so.0, PYTHONPATH the package in python/, and TARN_TARNC the
# built tarnc.
import os
import random
import subprocess

import pytest

# A fixed time (2024-01-02 03:04:06 UTC, on a two-second step) for files
# whose archives are compared byte for byte.
FIXED_TIME = 1704164646

WORDS = ("the of and to in is was that for it with as his on be at by had are but from or "
         "archive stream model context order byte block filter table entry group piece").split()


def text(size, seed):
    """Deterministic text of `size` bytes that packs well."""
    rng = random.Random(seed)
    out = []
    length = 0
    while length < size:
        line = " ".join(rng.choice(WORDS) for _ in range(rng.randint(4, 12))) + "\n"
        out.append(line)
        length += len(line)
    return "".join(out).encode()[:size]


def noise(size, seed):
    return random.Random(seed).randbytes(size)


def write_tree(root, files, when=FIXED_TIME):
    """Writes {relative path: bytes} below root and sets every time, the
    directories' too."""
    for name, data in files.items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            os.utime(os.path.join(dirpath, name), (when, when))


SAMPLE = {
    "in/a.txt": text(30000, 1),
    "in/b.txt": text(2000, 2),
    "in/noise.bin": noise(5000, 3),
    "in/empty": b"",
    "in/sub/c.txt": text(70000, 4),
    "in/sub/deeper/d.txt": text(500, 5),
}


@pytest.fixture
def sample(tmp_path, monkeypatch):
    """A small tree of files in the current directory (tmp_path)."""
    monkeypatch.chdir(tmp_path)
    write_tree(".", SAMPLE)
    return SAMPLE


@pytest.fixture
def tarnc():
    path = os.environ.get("TARN_TARNC")
    if not path:
        pytest.skip("TARN_TARNC names no tarnc")

    def run(*args):
        return subprocess.run([path, *args], check=True, capture_output=True)

    return run


def refused(error, *calls):
    """Each of the calls raises `error`."""
    for call in calls:
        with pytest.raises(error):
            call()


def flip(path, offset, mask=0x55):
    with open(path, "r+b") as f:
        f.seek(offset)
        byte = f.read(1)[0]
        f.seek(offset)
        f.write(bytes([byte ^ mask]))
