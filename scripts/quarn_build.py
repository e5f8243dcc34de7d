"""The build backend behind `pip install .` (PEP 517, editable installs per PEP 660).

It needs nothing beyond the standard library and CMake: pip's isolated build environment gets
no packages (`requires = []` in pyproject.toml), which is what lets `pip install .` work offline
and under interpreters without setuptools or wheel.

A wheel is built for the interpreter that runs this module (a venv's python included):
CMake compiles the extension for it in a build directory that `make build` shares, so a tree
that is already built only relinks, if that. The build directory is `build/` unless the
config setting `build-dir` or the environment variable QUARN_BUILD_DIR names another:

    pip install .
    pip install -e .                                  # the package imported from python/quarn
    pip wheel . -w dist --config-settings build-dir=/tmp/quarn-build
"""

import base64
import fcntl
import hashlib
import io
import os
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import time
import tomllib
import zipfile

ROOT = pathlib.Path(__file__).resolve().parents[1]
PACKAGE = ROOT / "python" / "quarn"
# What the installed package holds besides the extension: every module, the stubs, the marker.
PACKAGE_FILES = ("*.py", "*.pyi", "py.typed")
# Zip entries get one fixed time, so that the same tree gives the same wheel.
ZIP_TIME = (1980, 1, 1, 0, 0, 0)


def _version():
    """__version__ of python/quarn/_version.py, the one place the version is written (import
    quarn reads the same file)."""
    text = (PACKAGE / "_version.py").read_text(encoding="utf-8")
    match = re.search(r'^__version__ = "([^"]+)"$', text, re.MULTILINE)
    if match is None:
        raise RuntimeError("python/quarn/_version.py sets no __version__")
    return match.group(1)


def _project():
    with open(ROOT / "pyproject.toml", "rb") as f:
        project = tomllib.load(f)["project"]
    if "version" in project.get("dynamic", []):
        project["version"] = _version()
    return project


def _say(message):
    """A line of what the backend is doing; pip shows it with -v (stdout is the frontend's)."""
    print(f"quarn_build: {message}", file=sys.stderr, flush=True)


def _dist_name():
    project = _project()
    return f"{project['name'].replace('-', '_')}-{project['version']}"


def _metadata():
    """The core metadata (PKG-INFO / METADATA) from pyproject.toml's [project] table."""
    project = _project()
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {project['version']}",
        f"Summary: {project['description']}",
    ]
    if "license" in project:
        lines.append(f"License: {project['license']['text']}")
    if "requires-python" in project:
        lines.append(f"Requires-Python: {project['requires-python']}")
    lines += [f"Classifier: {c}" for c in project.get("classifiers", [])]
    lines += [f"Requires-Dist: {d}" for d in project.get("dependencies", [])]
    for extra, requirements in project.get("optional-dependencies", {}).items():
        lines.append(f"Provides-Extra: {extra}")
        lines += [f'Requires-Dist: {d}; extra == "{extra}"' for d in requirements]
    text = "\n".join(lines) + "\n"
    if "readme" in project:
        readme = (ROOT / project["readme"]).read_text(encoding="utf-8")
        text += f"Description-Content-Type: text/markdown\n\n{readme}"
    return text


def _entry_points():
    project = _project()
    groups = {"console_scripts": project.get("scripts", {}),
              "gui_scripts": project.get("gui-scripts", {})}
    groups.update(project.get("entry-points", {}))
    out = ""
    for group, entries in groups.items():
        if entries:
            out += f"[{group}]\n" + "".join(f"{k} = {v}\n" for k, v in entries.items()) + "\n"
    return out


def _tag():
    """The wheel tag of this interpreter: cp313-cp313-linux_x86_64 and the like."""
    if sys.implementation.name != "cpython":
        raise RuntimeError(f"quarn's extension needs CPython, not {sys.implementation.name}")
    version = f"{sys.version_info.major}{sys.version_info.minor}"
    abi = f"cp{version}" + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return f"cp{version}-{abi}-{platform}"


def _build_dir(config_settings):
    chosen = (config_settings or {}).get("build-dir") or os.environ.get("QUARN_BUILD_DIR")
    return pathlib.Path(chosen).resolve() if chosen else ROOT / "build"


def _build_extension(config_settings):
    """Configures (or reconfigures) the build directory for this interpreter and builds its
    extension module; returns the module's path in python/quarn/."""
    build = _build_dir(config_settings)
    build.mkdir(parents=True, exist_ok=True)
    configure = ["cmake", "-S", str(ROOT), "-B", str(build), f"-DQUARN_PYTHON={sys.executable}"]
    if not (build / "CMakeCache.txt").exists():
        # A new directory builds what the package needs; `make build` turns the rest on.
        configure += ["-DCMAKE_BUILD_TYPE=Release", "-DQUARN_BUILD_TESTS=OFF",
                      "-DQUARN_BUILD_BENCH=OFF"]
        if shutil.which("ninja"):
            configure += ["-G", "Ninja"]
    target = f"quarn_py{sys.version_info.major}{sys.version_info.minor}"
    # One build at a time per directory: two pip runs must not interleave their compilers.
    with open(build / ".quarn-build.lock", "w") as lock:
        _say(f"waiting for another build in {build}" if _locked(lock) else f"building in {build}")
        fcntl.flock(lock, fcntl.LOCK_EX)
        # CMake's and the compiler's output go to stderr: stdout belongs to the frontend.
        _say(f"configuring with CMake for {sys.executable}")
        subprocess.run(configure, check=True, stdout=sys.stderr)
        _say(f"compiling the extension ({target}); a first build compiles the whole C++ core, "
             "which takes minutes")
        started = time.monotonic()
        subprocess.run(["cmake", "--build", str(build), "--target", target], check=True,
                       stdout=sys.stderr)
    module = PACKAGE / f"_quarn{sysconfig.get_config_var('EXT_SUFFIX')}"
    if not module.is_file():
        raise RuntimeError(f"the build did not produce {module}")
    _say(f"built {module.name} in {time.monotonic() - started:.0f} s; writing the wheel")
    return module


def _locked(lock):
    """Whether another build holds the directory's lock (taken by nobody afterwards)."""
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        return True
    fcntl.flock(lock, fcntl.LOCK_UN)
    return False


def _package_files(extension):
    """(path in the wheel, file) for the package: its modules, stubs and marker, and the one
    extension module of this interpreter."""
    files = {extension}
    for pattern in PACKAGE_FILES:
        files.update(p for p in PACKAGE.rglob(pattern) if "__pycache__" not in p.parts)
    return sorted((p.relative_to(PACKAGE.parent).as_posix(), p) for p in files)


class _Wheel:
    """A wheel being written: every entry is hashed into RECORD, which is written last."""

    def __init__(self, path):
        self.zip = zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED)
        self.record = []

    def add(self, name, data, executable=False):
        info = zipfile.ZipInfo(name, ZIP_TIME)
        info.external_attr = (0o100755 if executable else 0o100644) << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        self.zip.writestr(info, data)
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        self.record.append(f"{name},sha256={digest},{len(data)}")

    def close(self, dist_info):
        name = f"{dist_info}/RECORD"
        self.record.append(f"{name},,")
        info = zipfile.ZipInfo(name, ZIP_TIME)
        info.external_attr = 0o100644 << 16
        self.zip.writestr(info, "\n".join(self.record) + "\n")
        self.zip.close()


def _write_dist_info(add, dist_info):
    add(f"{dist_info}/METADATA", _metadata().encode())
    add(f"{dist_info}/WHEEL", (
        "Wheel-Version: 1.0\n"
        "Generator: quarn_build\n"
        "Root-Is-Purelib: false\n"
        f"Tag: {_tag()}\n").encode())
    entry_points = _entry_points()
    if entry_points:
        add(f"{dist_info}/entry_points.txt", entry_points.encode())
    add(f"{dist_info}/LICENSE", (ROOT / "LICENSE").read_bytes())


def _build(wheel_directory, config_settings, editable):
    extension = _build_extension(config_settings)
    dist = _dist_name()
    dist_info = f"{dist}.dist-info"
    path = pathlib.Path(wheel_directory) / f"{dist}-{_tag()}.whl"
    partial = path.with_name(path.name + ".part")  # no half-written wheel under the real name
    try:
        wheel = _Wheel(partial)
        if editable:
            # The source tree's python/ on sys.path: edits to the modules take effect at once,
            # the extension is the one just built in place (rebuild it after C++ changes).
            wheel.add(f"__editable__.{dist}.pth", f"{PACKAGE.parent}\n".encode())
        else:
            for name, file in _package_files(extension):
                wheel.add(name, file.read_bytes(), executable=file == extension)
        _write_dist_info(wheel.add, dist_info)
        wheel.close(dist_info)
        os.replace(partial, path)
    finally:
        partial.unlink(missing_ok=True)
    return path.name


# The PEP 517 / PEP 660 hooks.

def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    dist_info = f"{_dist_name()}.dist-info"
    target = pathlib.Path(metadata_directory) / dist_info

    def add(name, data, executable=False):
        out = pathlib.Path(metadata_directory) / name
        out.parent.mkdir(parents=True, exist_ok=True)
        out.write_bytes(data)

    target.mkdir(parents=True, exist_ok=True)
    _write_dist_info(add, dist_info)
    return dist_info


prepare_metadata_for_build_editable = prepare_metadata_for_build_wheel


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    return _build(wheel_directory, config_settings, editable=False)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    return _build(wheel_directory, config_settings, editable=True)


def _sdist_files():
    """The tracked sources (git's list when this is a checkout), and SimSIMD's sources when
    they are unpacked, so that the archive builds without fetching them."""
    try:
        listed = subprocess.run(["git", "-C", str(ROOT), "ls-files", "-z"], check=True,
                                capture_output=True).stdout.decode().split("\0")
        files = [ROOT / f for f in listed if f]
    except (OSError, subprocess.CalledProcessError):
        skip = {".git", "dist", "third_party", "__pycache__"}
        files = [p for p in ROOT.rglob("*") if p.is_file()
                 and not any(part in skip or part.startswith("build")
                             for part in p.relative_to(ROOT).parts)
                 and not p.name.endswith((".so", ".pyc"))]
    simsimd = ROOT / "third_party" / "simsimd"
    files += [p for p in simsimd.rglob("*") if p.is_file()]
    return sorted({p for p in files if p.is_file()})


def build_sdist(sdist_directory, config_settings=None):
    dist = _dist_name()
    path = pathlib.Path(sdist_directory) / f"{dist}.tar.gz"
    with tarfile.open(path, "w:gz", format=tarfile.PAX_FORMAT) as tar:
        def add(name, data, mode=0o644):
            info = tarfile.TarInfo(f"{dist}/{name}")
            info.size, info.mode, info.mtime = len(data), mode, 0
            tar.addfile(info, io.BytesIO(data))

        for file in _sdist_files():
            add(file.relative_to(ROOT).as_posix(), file.read_bytes(),
                0o755 if os.access(file, os.X_OK) else 0o644)
        add("PKG-INFO", _metadata().encode())
    return path.name


if __name__ == "__main__":
    # `python scripts/quarn_build.py [DIR]`: a wheel for this interpreter into DIR (dist/ by
    # default), as `make wheel` does for each interpreter, without pip.
    out = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ROOT / "dist")
    out.mkdir(parents=True, exist_ok=True)
    print(out / build_wheel(str(out)))
