"""Release artefacts, as scripts/wheel.sh builds them: the sdist holds what a
build needs; the wheel built from it and repaired by auditwheel holds the
modules, their stubs and the py.typed marker, is tagged manylinux, works on
its own, and installs and runs the quick start where there is no compiler and
no CMake. One build, a few minutes."""

import os
import platform
import re
import shutil
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest
from helpers import skip_under_emulation

import velmora

ROOT = Path(__file__).resolve().parents[2]
# This interpreter's tag and extension-module prefix, e.g. cp312 and cpython-312.
PY_TAG = f"cp{sys.version_info.major}{sys.version_info.minor}"
PY_SOABI = f"cpython-{sys.version_info.major}{sys.version_info.minor}"
pytestmark = [
    pytest.mark.slow,
    skip_under_emulation(
        "builds velmora with a C++ compiler and CMake, which the arm64 root has not; scripts/test-aarch64.sh "
        "cross-builds the aarch64 wheel and installs it there instead"
    ),
]

SDIST_MEMBERS = [
    "pyproject.toml",
    "CMakeLists.txt",
    "README.md",
    "src/python/store_module.cpp",
    "src/engine/store.cpp",
    "src/kernels/exact_avx2.cpp",
    "velmora/__init__.py",
    "velmora/__main__.py",
    "velmora/_demo.py",
    "velmora/_data.py",
    "velmora/_version.py",
    "velmora/_velmora_rs.pyi",
    "velmora/py.typed",
    "velmora/_index.py",
    "velmora/_index_core.pyi",
    "src/python/index_module.cpp",
    "src/format/index_file.cpp",
    "src/kernels/crc32c_sse42.cpp",
    "docs/file-format.md",
]
WHEEL_MEMBERS = [
    "velmora/__init__.py",
    "velmora/__main__.py",
    "velmora/_demo.py",
    "velmora/_data.py",
    *(
        f"velmora/distributed/{name}.py"
        for name in (
            "__init__",
            "_arguments",
            "_cluster",
            "_manifest",
            "_merge",
            "_placement",
            "_routing",
            "_shard",
            "_store",
            "_wire",
        )
    ),
    "velmora/_version.py",
    "velmora/_velmora_rs.pyi",
    "velmora/py.typed",
    "velmora/_arrays.py",
    "velmora/_index.py",
    "velmora/_index_core.pyi",
    "velmora/libvelmora_engine.so",
]


def run(*command, cwd=None, env=None):
    done = subprocess.run([str(c) for c in command], cwd=cwd, env=env, capture_output=True, text=True, timeout=900)
    assert done.returncode == 0, f"{command}\n{done.stdout}\n{done.stderr}"
    return done


def run_from(target, code, cwd):
    """Runs code with velmora imported from `target` alone: without the site
    machinery, so that no installed velmora (an editable one's import hook
    included) can answer instead, and with numpy's folder after `target`."""
    import numpy

    path = os.pathsep.join([str(target), os.path.dirname(os.path.dirname(numpy.__file__))])
    return run(sys.executable, "-S", "-P", "-c", code, cwd=cwd, env={**os.environ, "PYTHONPATH": path})


@pytest.fixture(scope="module")
def artefacts(tmp_path_factory):
    out = tmp_path_factory.mktemp("dist")
    version = f"{sys.version_info.major}.{sys.version_info.minor}"
    # The script builds with this test's own interpreter.
    env = {**os.environ, "VELMORA_DIST": str(out), f"PYTHON{version.replace('.', '')}": sys._base_executable}
    run("bash", ROOT / "scripts" / "wheel.sh", "--python", version, env=env)
    (sdist,) = out.glob("velmora-*.tar.gz")
    (wheel,) = out.glob("velmora-*.whl")
    return sdist, wheel


def test_sdist_holds_the_sources_and_no_build_output(artefacts):
    sdist, _ = artefacts
    assert sdist.name == f"velmora-{velmora.__version__}.tar.gz"
    with tarfile.open(sdist) as tar:
        names = {name.split("/", 1)[1] for name in tar.getnames() if "/" in name}
    assert [m for m in SDIST_MEMBERS if m not in names] == []
    assert not [n for n in names if n.startswith(("build/", ".venv/", "dist/")) or n.endswith(".so")]


def test_wheel_built_from_the_sdist_holds_module_stub_and_marker(artefacts):
    _, wheel = artefacts
    assert wheel.name.startswith(f"velmora-{velmora.__version__}-{PY_TAG}-{PY_TAG}-")
    with zipfile.ZipFile(wheel) as z:
        names = set(z.namelist())
        info = f"velmora-{velmora.__version__}.dist-info"
        metadata = z.read(f"{info}/METADATA").decode()
        entry_points = z.read(f"{info}/entry_points.txt").decode()
    assert [m for m in WHEEL_MEMBERS if m not in names] == []
    assert [n for n in names if re.fullmatch(rf"velmora/_velmora_rs\.{PY_SOABI}-.*\.so", n)]
    assert [n for n in names if re.fullmatch(rf"velmora/_index_core\.{PY_SOABI}-.*\.so", n)]
    assert f"\nVersion: {velmora.__version__}\n" in metadata
    assert "Provides-Extra: demo" in metadata
    assert re.search(r"^velmora-demo = velmora\._demo:main$", entry_points, re.M)


def test_installed_wheel_works_on_its_own(artefacts, tmp_path):
    _, wheel = artefacts
    target = tmp_path / "site"
    run(sys.executable, "-m", "pip", "install", "--no-deps", "--disable-pip-version-check", "--target", target, wheel)
    check = (
        "import velmora, random\n"
        f"assert velmora.__file__.startswith({str(target)!r}), velmora.__file__\n"
        "s = velmora.CompressedVectorStore(64, 3)\n"
        "r = random.Random(1)\n"
        "s.insert_batch([(i, [r.gauss(0, 1) for _ in range(64)]) for i in range(50)])\n"
        "print(s.query([1.0] * 64, 1)[0][0] in range(50), s.memory_bytes())\n"
        "import numpy as np\n"
        "x = velmora.Index(64, 3)\n"
        "x.add(np.arange(50), [[r.gauss(0, 1) for _ in range(64)] for _ in range(50)])\n"
        "print(len(velmora.Index.from_bytes(x.to_bytes())))\n"
    )
    done = run_from(target, check, cwd=tmp_path)
    assert done.stdout.split() == ["True", str(50 * (24 + 4)), "50"]


def test_wheel_is_manylinux_and_runs_the_quick_start_without_compiler_or_cmake(artefacts, tmp_path):
    _, wheel = artefacts
    assert re.fullmatch(rf"velmora-.*-{PY_TAG}-{PY_TAG}-manylinux_2_\d+_{platform.machine()}(\..*)?\.whl", wheel.name)
    venv = tmp_path / "venv"
    run(sys._base_executable, "-m", "venv", venv)
    # The environment's own folder and an empty one: no compiler and no CMake
    # can be found, so pip can only install what is built already.
    empty = tmp_path / "empty"
    empty.mkdir()
    path = os.pathsep.join([str(venv / "bin"), str(empty)])
    for tool in ("cc", "gcc", "c++", "g++", "clang", "clang++", "cmake", "ninja"):
        assert shutil.which(tool, path=path) is None, tool
    env = {
        k: v
        for k, v in os.environ.items()
        if k not in ("PYTHONPATH", "VIRTUAL_ENV", "CC", "CXX", "CMAKE_ARGS", "CMAKE_GENERATOR")
    }
    env["PATH"] = path
    import numpy

    run(
        venv / "bin" / "python",
        "-m",
        "pip",
        "install",
        "--only-binary",
        ":all:",
        "--disable-pip-version-check",
        "--quiet",
        wheel,
        f"numpy=={numpy.__version__}",
        env=env,
    )
    where = run(venv / "bin" / "python", "-P", "-c", "import velmora; print(velmora.__file__)", cwd=tmp_path, env=env)
    assert where.stdout.strip().startswith(str(venv / "lib")), where.stdout
    example = ROOT / "examples" / "quickstart.py"
    installed = run(venv / "bin" / "python", "-P", example, cwd=tmp_path, env=env)
    # The same numpy, the same inputs: what the checkout's build prints
    # (test_typing checks that against the example's comments).
    here = run(sys.executable, "-P", example, cwd=tmp_path)
    assert installed.stdout.startswith("[42, 7] ")
    assert installed.stdout == here.stdout


def test_concurrent_installs_from_one_checkout_both_succeed(tmp_path):
    # Each build has a folder of its own, so two at once cannot trip over
    # each other's object files.
    targets = [tmp_path / "a", tmp_path / "b"]
    builds = [
        subprocess.Popen(
            [
                sys.executable,
                "-m",
                "pip",
                "install",
                "--no-deps",
                "--disable-pip-version-check",
                "--target",
                str(target),
                str(ROOT),
            ],
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            text=True,
        )
        for target in targets
    ]
    outputs = [build.communicate(timeout=900)[0] for build in builds]
    assert [build.returncode for build in builds] == [0, 0], "\n".join(outputs)
    for target in targets:
        done = run_from(
            target, "import velmora; print(len(velmora.CompressedVectorStore(32, 2)), velmora.__file__)", cwd=tmp_path
        )
        assert done.stdout.split() == ["0", str(target / "velmora" / "__init__.py")]
