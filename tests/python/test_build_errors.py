"""A source build that lacks a Debian package stops at configure time, naming the package and
the apt-get line that installs it."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

SOURCE = Path(__file__).resolve().parents[2]
TOOLS = os.pathsep.join([str(Path(sys.executable).parent), os.environ.get("PATH", "")])
CMAKE = shutil.which("cmake", path=TOOLS)
NINJA = shutil.which("ninja", path=TOOLS)

pytestmark = pytest.mark.skipif(not (CMAKE and NINJA and (SOURCE / "CMakeLists.txt").is_file()),
                                reason="needs cmake, ninja and the source tree")


def configure(tmp_path, *defines, env=None):
    merged = dict(os.environ, **(env or {}))
    return subprocess.run(
        [CMAKE, "-S", str(SOURCE), "-B", str(tmp_path / "build"), "-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={NINJA}",
         "-DCORVEL_BUILD_PYTHON=OFF", f"-DPython_EXECUTABLE={sys.executable}", *defines],
        env=merged, capture_output=True, text=True, timeout=300)


@pytest.mark.parametrize("hide, package", [
    # pkg-config finds no libsodium.pc, as on a machine without libsodium-dev.
    ({"env": {"PKG_CONFIG_LIBDIR": "/nonexistent"}}, "libsodium-dev"),
    # simdjson's CMake package is missing.
    ({"defines": ["-DCMAKE_DISABLE_FIND_PACKAGE_simdjson=ON"]}, "libsimdjson-dev"),
])
def test_a_missing_package_is_named_with_its_install_line(tmp_path, hide, package):
    process = configure(tmp_path, *hide.get("defines", []), env=hide.get("env"))
    assert process.returncode != 0
    text = " ".join(process.stderr.split())
    assert f"it comes with the Debian package {package}." in text, process.stderr
    assert f"sudo apt-get install {package}" in text

