"""The in-tree build backend: the wheel holds the whole package for the interpreter that
built it, recorded so that pip accepts it; the editable wheel points at the source tree; the
source archive builds without fetching anything. Run with the build directory already built
(QUARN_BUILD_DIR names it, `build/` by default): the hooks then only relink, if that."""
import base64
import hashlib
import pathlib
import runpy
import sys
import sysconfig
import tarfile
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
PACKAGE = ROOT / "python" / "quarn"
sys.path.insert(0, str(ROOT / "scripts"))
import quarn_build  # noqa: E402

PROJECT = quarn_build._project()
DIST = f"quarn-{PROJECT['version']}"
VERSION = f"{sys.version_info.major}{sys.version_info.minor}"


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheel")
    name = quarn_build.build_wheel(str(out))
    assert sorted(p.name for p in out.iterdir()) == [name]  # nothing half-written beside it
    with zipfile.ZipFile(out / name) as z:
        yield name, {n: z.read(n) for n in z.namelist()}


def test_wheel_holds_every_module_the_stubs_and_this_interpreters_extension(wheel):
    name, files = wheel
    assert name == f"{DIST}-cp{VERSION}-cp{VERSION}-linux_x86_64.whl"
    modules = {f"quarn/{p.relative_to(PACKAGE).as_posix()}" for p in PACKAGE.rglob("*.py")
               if "__pycache__" not in p.parts}
    assert "quarn/__init__.py" in modules and modules <= files.keys()
    assert {"quarn/__init__.pyi", "quarn/py.typed"} <= files.keys()
    extensions = [n for n in files if n.startswith("quarn/_quarn")]
    assert extensions == [f"quarn/_quarn{sysconfig.get_config_var('EXT_SUFFIX')}"]
    assert not [n for n in files if "__pycache__" in n or n.endswith(".pyc")]


def test_wheel_metadata_and_record(wheel):
    _, files = wheel
    info = f"{DIST}.dist-info"
    assert f"Tag: cp{VERSION}-cp{VERSION}-linux_x86_64\n" in files[f"{info}/WHEEL"].decode()
    assert "Root-Is-Purelib: false\n" in files[f"{info}/WHEEL"].decode()
    metadata = files[f"{info}/METADATA"].decode()
    assert metadata.startswith(f"Metadata-Version: 2.1\nName: quarn\nVersion: {PROJECT['version']}\n")
    assert f"Requires-Python: {PROJECT['requires-python']}\n" in metadata
    # The version of the one file quarn.__version__ also reads; pandas is an extra only.
    assert PROJECT["version"] == runpy.run_path(str(PACKAGE / "_version.py"))["__version__"]
    assert 'Provides-Extra: pandas\nRequires-Dist: pandas; extra == "pandas"\n' in metadata
    assert "[console_scripts]\nquarn = quarn.cli:main\n" in files[f"{info}/entry_points.txt"].decode()
    # RECORD lists every other file once, with its hash and size, and itself without.
    lines = files[f"{info}/RECORD"].decode().splitlines()
    assert f"{info}/RECORD,," in lines
    record = {}
    for line in lines:
        path, digest, size = line.rsplit(",", 2)
        record[path] = (digest, size)
    assert record.keys() == files.keys() and len(record) == len(lines)
    for path, data in files.items():
        if path != f"{info}/RECORD":
            expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
            assert record[path] == (f"sha256={expected.decode()}", str(len(data))), path


def test_editable_wheel_points_at_the_source_tree(tmp_path):
    name = quarn_build.build_editable(str(tmp_path))
    with zipfile.ZipFile(tmp_path / name) as z:
        names = z.namelist()
        assert z.read(f"__editable__.{DIST}.pth").decode() == f"{ROOT / 'python'}\n"
    assert not [n for n in names if n.startswith("quarn/")]
    # The module an editable install imports is the one built in place.
    assert (PACKAGE / f"_quarn{sysconfig.get_config_var('EXT_SUFFIX')}").is_file()


def test_source_archive_builds_without_fetching(tmp_path):
    name = quarn_build.build_sdist(str(tmp_path))
    with tarfile.open(tmp_path / name) as tar:
        names = set(tar.getnames())
    for required in ("pyproject.toml", "PKG-INFO", "scripts/quarn_build.py", "CMakeLists.txt",
                     "core/src/hnsw/kernels.cpp", "python/quarn/__init__.py"):
        assert f"{DIST}/{required}" in names
    if (ROOT / "third_party/simsimd/c/lib.c").exists():
        assert f"{DIST}/third_party/simsimd/c/lib.c" in names
    assert not [n for n in names if n.split("/")[1].startswith("build") or n.endswith(".so")]
