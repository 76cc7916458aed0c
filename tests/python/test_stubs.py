"""The installed type stubs: stubtest agrees with the runtime, mypy --strict accepts the typed
example of the documented road and catches misuse, and the stubs carry the runtime's docstrings."""

import ast
import importlib.util
import inspect
import subprocess
import sys
from pathlib import Path

import pytest

import _corvel_core as core
import corvel_charter

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "road.py"
SITE = Path(importlib.util.find_spec("corvel_charter").origin).parents[1]
CORE_STUB = SITE / "_corvel_core-stubs" / "__init__.pyi"
PACKAGE_STUB = SITE / "corvel_charter" / "__init__.pyi"

needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None,
                                reason="mypy is not installed (scripts/setup.sh installs it)")


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    """Runs a mypy tool in a scratch folder, so that nothing but the installed stubs is found."""
    folder = tmp_path_factory.mktemp("mypy")

    def run(*args):
        return subprocess.run([sys.executable, "-m", *args], cwd=folder, capture_output=True, text=True, timeout=300)
    run.folder = folder
    return run


@needs_mypy
def test_stubtest_finds_no_error_in_either_module(mypy):
    process = mypy("mypy.stubtest", "_corvel_core", "corvel_charter")
    assert process.returncode == 0, process.stdout + process.stderr
    assert "Success: no issues found" in process.stdout


@needs_mypy
def test_mypy_strict_accepts_the_example_and_rejects_misuse(mypy):
    process = mypy("mypy", "--strict", str(EXAMPLE))
    assert process.returncode == 0, process.stdout + process.stderr
    assert "Success: no issues found in 1 source file" in process.stdout

    misuse = mypy.folder / "misuse.py"
    misuse.write_text(
        "import corvel_charter as cc\n"
        "import _corvel_core\n"
        "charter = cc.SealedCharter(rules='not a list')\n"          # str is a Sequence[str]: allowed
        "proof = charter.verify_action('delete')\n"                  # not an Action
        "flag: str = proof.approved\n"                               # a bool
        "dog = _corvel_core.Watchdog(['Do no harm'])\n"              # capsule_hash missing
        "hash_: str = charter.charter_hash()\n"                      # str | None
    )
    process = mypy("mypy", "--strict", str(misuse))
    found = sorted({int(line.split(":")[1]) for line in process.stdout.splitlines() if ": error:" in line})
    assert found == [4, 5, 6, 7], process.stdout


def stub_docstrings(path):
    """Docstrings of the stub by dotted name: the module (""), classes, methods, properties."""
    tree = ast.parse(path.read_text())
    out = {"": ast.get_docstring(tree)}
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            out[node.name] = ast.get_docstring(node)
        if isinstance(node, ast.ClassDef):
            for member in node.body:
                if isinstance(member, ast.FunctionDef) and not member.name.startswith("__"):
                    out[f"{node.name}.{member.name}"] = ast.get_docstring(member)
    return out


def runtime_docstrings():
    out = {"": core.__doc__}
    for name in core.__all__:
        value = getattr(core, name)
        if isinstance(value, str):
            continue
        out[name] = value.__doc__
        if isinstance(value, type) and not issubclass(value, BaseException):
            for member, attribute in vars(value).items():
                if not member.startswith("_"):
                    attribute = attribute.__func__ if isinstance(attribute, staticmethod) else attribute
                    out[f"{name}.{member}"] = attribute.__doc__
    return {name: inspect.cleandoc(doc) for name, doc in out.items()}


def test_stubs_carry_the_runtime_docstrings():
    # Every public class, method, property and function, no more and no fewer, word for word.
    assert stub_docstrings(CORE_STUB) == runtime_docstrings()
    assert stub_docstrings(PACKAGE_STUB)[""] == inspect.cleandoc(corvel_charter.__doc__)


def test_the_example_runs():
    process = subprocess.run([sys.executable, str(EXAMPLE)], capture_output=True, text=True, timeout=120)
    assert process.returncode == 0, process.stderr
    assert "Action(type='Read', target='notes.txt'): approved" in process.stdout
    assert "denied by 'Do no harm': Destructive action on critical path: /etc/passwd" in process.stdout
