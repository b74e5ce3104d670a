# The package as a user gets it: installed by cmake --install beside the
# library, installed by pip into a virtual environment without a network,
# and the library found or refused through TARN_LIBRARY.
import os
import re
import shutil
import subprocess
import sys

import pytest

import tarn

SOURCE = os.path.normpath(os.path.join(os.path.dirname(__file__), "..", ".."))

# Imports the package and packs a buffer; prints where both came from.
PROBE = """
import tarn, tarn._native
assert tarn.decompress(tarn.compress(b"probe " * 100)) == b"probe " * 100
print(tarn.__file__)
print(tarn._native.lib._name)
"""


def clean_env(**extra):
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "TARN_LIBRARY")}
    env.update(extra)
    return env


def probe(python, cwd, **env):
    run = subprocess.run([python, "-c", PROBE], cwd=cwd, env=clean_env(**env), capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    return run.stdout.split("\n")[:2]


def test_the_versions_agree():
    header = open(os.path.join(SOURCE, "include", "tarn", "tarn.h")).read()
    pyproject = open(os.path.join(SOURCE, "python", "pyproject.toml")).read()
    version = re.search(r'#define TARN_VERSION_STRING "([^"]+)"', header).group(1)
    assert tarn.__version__ == version
    assert re.search(r'^version = "([^"]+)"', pyproject, re.M).group(1) == version


def test_cmake_install_puts_the_package_beside_the_library(tmp_path):
    build, cmake = os.environ.get("TARN_BUILD_DIR"), os.environ.get("TARN_CMAKE")
    if not build or not cmake:
        pytest.skip("TARN_BUILD_DIR and TARN_CMAKE name no build")
    prefix = tmp_path / "prefix"
    for component in ("libtarn0", "python3-tarn"):
        subprocess.run([cmake, "--install", build, "--prefix", str(prefix), "--component", component],
                       check=True, capture_output=True)
    # Where Debian's python3 looks below a prefix other than /usr.
    site = prefix / "lib" / ("python%d.%d" % sys.version_info[:2]) / "dist-packages"
    assert (site / "tarn" / "__init__.py").is_file() and (site / "tarn" / "_installed.py").is_file()
    assert not list(site.rglob("__pycache__"))
    package, library = probe(sys.executable, tmp_path, PYTHONPATH=str(site))
    assert package.startswith(str(site))
    assert library.startswith(str(prefix)) and os.path.isfile(library)


def test_pip_installs_into_a_virtual_environment_without_a_network(tmp_path):
    library = os.environ.get("TARN_LIBRARY")
    if not library:
        pytest.skip("TARN_LIBRARY names no library")
    # From a copy: pip builds in the tree it is given.
    shutil.copytree(os.path.join(SOURCE, "python"), tmp_path / "src", ignore=shutil.ignore_patterns("__pycache__"))
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(tmp_path / "venv")], check=True)
    python = str(tmp_path / "venv" / "bin" / "python")
    subprocess.run([python, "-m", "pip", "install", "-q", "--no-index", "--no-build-isolation",
                    str(tmp_path / "src")], check=True, env=clean_env(PIP_DISABLE_PIP_VERSION_CHECK="1"))
    package, loaded = probe(python, tmp_path, TARN_LIBRARY=library)
    assert package.startswith(str(tmp_path / "venv"))
    assert loaded == library


def test_a_library_that_is_not_there_is_an_import_error(tmp_path):
    run = subprocess.run([sys.executable, "-c", "import tarn"], cwd=tmp_path, capture_output=True, text=True,
                         env=clean_env(PYTHONPATH=os.path.join(SOURCE, "python"),
                                       TARN_LIBRARY=str(tmp_path / "libtarn.so.0")))
    assert run.returncode != 0
    assert "ImportError: libtarn cannot be loaded" in run.stderr and "libtarn.so.0" in run.stderr
