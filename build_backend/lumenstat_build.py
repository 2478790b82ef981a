"""In-tree PEP 517 build backend: runs CMake and packs the extension into a wheel.

Only the standard library is used, so `pip install .` needs no package index.

Besides the extension, every wheel carries the type stubs (the stub-only package lumenstat-stubs,
where type checkers look for a module's stubs) and the console scripts of [project.scripts], whose
modules [tool.lumenstat-build.modules] maps to source files copied into the wheel.

Before CMake runs, lumenstat_preflight checks the interpreter, CMake, make and the compilers; a
missing one ends the build with one line naming it.

Config settings (pip install . -C KEY=VALUE):
  sanitize=address,undefined   build with these sanitizers (LUMENSTAT_SANITIZE)
  build-type=Release           CMake build type
  build-dir=PATH               CMake build directory (default: build/wheel-<tag>[-<sanitizers>]);
                               a tree configured with LUMENSTAT_TESTS=ON keeps its tests
  jobs=2                       parallel compile jobs
"""

from __future__ import annotations

import base64
import io
import hashlib
import os
import re
import subprocess
import sys
import sysconfig
import tarfile
import time
import tomllib
import zipfile
from pathlib import Path

import lumenstat_preflight

ROOT = Path(__file__).resolve().parent.parent

# Top-level entries that are build products, local environments or caches, never sources.
_SDIST_SKIP_TOP = re.compile(r"^(build|build-.*|dist|\.venv.*|node_modules|\.cache|\.git)$")
_SDIST_SKIP_ANY = re.compile(r"^(__pycache__|\.pytest_cache|.*\.egg-info|.*\.pyc)$")


def _pyproject() -> dict:
    with open(ROOT / "pyproject.toml", "rb") as f:
        return tomllib.load(f)


def _project() -> dict:
    return _pyproject()["project"]


def _name_version() -> tuple[str, str]:
    project = _project()
    return re.sub(r"[-_.]+", "_", project["name"]).lower(), project["version"]


def _wheel_tag() -> str:
    interpreter = f"cp{sys.version_info.major}{sys.version_info.minor}"
    abi = interpreter + sys.abiflags
    platform = re.sub(r"[-.]", "_", sysconfig.get_platform())
    return f"{interpreter}-{abi}-{platform}"


def _metadata() -> str:
    project = _project()
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {project['version']}",
    ]
    if "description" in project:
        lines.append(f"Summary: {project['description']}")
    if "requires-python" in project:
        lines.append(f"Requires-Python: {project['requires-python']}")
    for extra, requirements in project.get("optional-dependencies", {}).items():
        lines.append(f"Provides-Extra: {extra}")
        lines += [f'Requires-Dist: {requirement}; extra == "{extra}"'
                  for requirement in requirements]
    return "\n".join(lines) + "\n"


def _wheel_file() -> str:
    _, version = _name_version()
    return (
        "Wheel-Version: 1.0\n"
        f"Generator: lumenstat_build {version}\n"
        "Root-Is-Purelib: false\n"
        f"Tag: {_wheel_tag()}\n"
    )


def _dist_info_name() -> str:
    name, version = _name_version()
    return f"{name}-{version}.dist-info"


def _setting(config_settings: dict | None, key: str, default: str = "") -> str:
    value = (config_settings or {}).get(key, default)
    if isinstance(value, list):  # pip passes a list when a key is repeated
        value = value[-1]
    return str(value)


def _build_dir(config_settings: dict | None, kind: str) -> Path:
    explicit = _setting(config_settings, "build-dir")
    if explicit:
        return Path(explicit).resolve()
    sanitize = _setting(config_settings, "sanitize")
    suffix = "-" + re.sub(r"[^A-Za-z0-9]+", "-", sanitize) if sanitize else ""
    return ROOT / "build" / f"{kind}-{_wheel_tag()}{suffix}"


def _run(command: list[str], what: str) -> None:
    print("+ " + " ".join(command), flush=True)
    if subprocess.run(command, cwd=ROOT).returncode != 0:
        raise SystemExit(f"lumenstat build: {what} failed; its messages are above")


def _check_prerequisites(build_dir: Path | None = None) -> str:
    """Returns the cmake to run, or ends the build with one line naming what is missing."""
    requires = _project().get("requires-python", "")
    if build_dir is None:
        lumenstat_preflight.check_python(requires)
        return ""
    return lumenstat_preflight.check_all(ROOT, requires, build_dir)


def _build_extension(config_settings: dict | None, kind: str) -> Path:
    """Configures and builds the module; returns the path of the built extension."""
    build_dir = _build_dir(config_settings, kind)
    cmake = _check_prerequisites(build_dir)
    build_type = _setting(config_settings, "build-type", "Release")
    sanitize = _setting(config_settings, "sanitize")
    jobs = _setting(config_settings, "jobs", os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2"))
    _run([
        cmake, "-S", str(ROOT), "-B", str(build_dir),
        f"-DCMAKE_BUILD_TYPE={build_type}",
        f"-DPython3_EXECUTABLE={sys.executable}",
        "-DLUMENSTAT_MODULE=ON",
        f"-DLUMENSTAT_SANITIZE={sanitize}",
    ], "configuring with CMake")
    targets = ["lumenstat", *_TOOL_TARGETS]
    _run([cmake, "--build", str(build_dir), "--target", *targets, "-j", jobs],
         "compiling the module")

    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    built = [p for p in build_dir.rglob("lumenstat*" + suffix) if "CMakeFiles" not in p.parts]
    if len(built) != 1:
        raise RuntimeError(f"expected one lumenstat{suffix} in {build_dir}, found {built}")
    return built[0]


# Helper programs the module runs, built beside it into lumenstat.libexec/ (see CMakeLists.txt):
# on Linux, the traffic tool that stands in for the system one macOS has.
_TOOL_TARGETS = ["lumenstat_nettop"] if sys.platform.startswith("linux") else []
_TOOL_DIR = "lumenstat.libexec"


def _tool_files(extension: Path) -> list[tuple[str, bytes, int]]:
    """The helper programs built beside `extension`, as wheel entries beside the module."""
    tools = sorted((extension.parent / _TOOL_DIR).glob("*")) if _TOOL_TARGETS else []
    return [(f"{_TOOL_DIR}/{tool.name}", tool.read_bytes(), 0o755) for tool in tools]


# The stub-only package: type checkers find lumenstat's stubs in site-packages/lumenstat-stubs.
STUBS = "lumenstat-stubs"


def _stub_files() -> list[tuple[str, bytes, int]]:
    return [(f"{STUBS}/{path.relative_to(ROOT / STUBS)}", path.read_bytes(), 0o644)
            for path in sorted((ROOT / STUBS).rglob("*.pyi"))]


def _script_modules() -> dict[str, Path]:
    """Module name -> source file or package folder, for the modules that console scripts run."""
    modules = _pyproject().get("tool", {}).get("lumenstat-build", {}).get("modules", {})
    return {name: ROOT / source for name, source in modules.items()}


def _package_files(folder: Path) -> list[Path]:
    return [path for path in sorted(folder.rglob("*"))
            if path.is_file() and not any(_SDIST_SKIP_ANY.match(part) for part in path.parts)]


def _copied_modules() -> list[tuple[str, bytes, int]]:
    files = []
    for name, source in _script_modules().items():
        if source.is_dir():
            files += [(f"{name}/{path.relative_to(source)}", path.read_bytes(), 0o644)
                      for path in _package_files(source)]
        else:
            files.append((f"{name}.py", source.read_bytes(), 0o644))
    return files


def _loader_modules() -> list[tuple[str, bytes, int]]:
    """For an editable install: modules that run their source file, so edits take effect; a
    package's submodules and files are found in its source folder."""
    files = []
    for name, source in _script_modules().items():
        if source.is_dir():
            init = source / "__init__.py"
            loader = (
                f"__path__ = [{str(source)!r}]\n"
                f"__file__ = {str(init)!r}\n"
                f"exec(compile(open(__file__, 'rb').read(), __file__, 'exec'))\n"
            )
            files.append((f"{name}/__init__.py", loader.encode(), 0o644))
            continue
        loader = (
            "import importlib.util as _util\n"
            f"_spec = _util.spec_from_file_location({name!r}, {str(source)!r})\n"
            "_module = _util.module_from_spec(_spec)\n"
            "_spec.loader.exec_module(_module)\n"
            "globals().update({k: v for k, v in vars(_module).items() if not k.startswith('__')})\n"
        )
        files.append((f"{name}.py", loader.encode(), 0o644))
    return files


def _entry_points() -> str:
    scripts = _project().get("scripts", {})
    if not scripts:
        return ""
    return "[console_scripts]\n" + "".join(f"{k} = {v}\n" for k, v in scripts.items())


def _record_line(arcname: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{arcname},sha256={digest},{len(data)}"


def _write_wheel(wheel_directory: str, files: list[tuple[str, bytes, int]]) -> str:
    """Writes a wheel holding `files` (archive name, content, mode) plus the dist-info files."""
    name, version = _name_version()
    dist_info = _dist_info_name()
    files = files + [
        (f"{dist_info}/METADATA", _metadata().encode(), 0o644),
        (f"{dist_info}/WHEEL", _wheel_file().encode(), 0o644),
    ]
    if entry_points := _entry_points():
        files.append((f"{dist_info}/entry_points.txt", entry_points.encode(), 0o644))
    record_name = f"{dist_info}/RECORD"
    record = "\n".join([_record_line(arc, data) for arc, data, _ in files] + [f"{record_name},,"])
    files.append((record_name, (record + "\n").encode(), 0o644))

    wheel_name = f"{name}-{version}-{_wheel_tag()}.whl"
    stamp = time.gmtime(int(os.environ.get("SOURCE_DATE_EPOCH", "315532800")))[:6]
    with zipfile.ZipFile(Path(wheel_directory) / wheel_name, "w", zipfile.ZIP_DEFLATED) as wheel:
        for arcname, data, mode in files:
            info = zipfile.ZipInfo(arcname, date_time=stamp)
            info.external_attr = (0o100000 | mode) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(info, data)
    return wheel_name


def _prepare_metadata(metadata_directory: str) -> str:
    dist_info = Path(metadata_directory) / _dist_info_name()
    dist_info.mkdir(parents=True, exist_ok=True)
    (dist_info / "METADATA").write_text(_metadata())
    (dist_info / "WHEEL").write_text(_wheel_file())
    if entry_points := _entry_points():
        (dist_info / "entry_points.txt").write_text(entry_points)
    return dist_info.name


# PEP 517 hooks


def get_requires_for_build_wheel(config_settings=None):
    _check_prerequisites()
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    _check_prerequisites()
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    return _prepare_metadata(metadata_directory)


def prepare_metadata_for_build_editable(metadata_directory, config_settings=None):
    return _prepare_metadata(metadata_directory)


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    extension = _build_extension(config_settings, "wheel")
    files = [(extension.name, extension.read_bytes(), 0o755)] + _tool_files(extension)
    return _write_wheel(wheel_directory, files + _stub_files() + _copied_modules())


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    # The wheel only puts the build directory on sys.path; `cmake --build` on that
    # directory then updates the installed module in place.
    extension = _build_extension(config_settings, "editable")
    pth = f"{extension.parent}\n".encode()
    files = [("lumenstat_editable.pth", pth, 0o644)]
    return _write_wheel(wheel_directory, files + _stub_files() + _loader_modules())


def _sdist_files() -> list[Path]:
    files = []
    for directory, dirnames, filenames in os.walk(ROOT):
        here = Path(directory)
        top = here == ROOT
        dirnames[:] = sorted(
            d for d in dirnames
            if not _SDIST_SKIP_ANY.match(d)
            and not (top and _SDIST_SKIP_TOP.match(d))
            and not (here == ROOT / "fuzz" and d.startswith("corpus"))
        )
        for filename in sorted(filenames):
            if not _SDIST_SKIP_ANY.match(filename):
                files.append(here / filename)
    return files


def build_sdist(sdist_directory, config_settings=None):
    name, version = _name_version()
    base = f"{name}-{version}"
    sdist_name = f"{base}.tar.gz"
    with tarfile.open(Path(sdist_directory) / sdist_name, "w:gz", format=tarfile.PAX_FORMAT) as tar:
        for path in _sdist_files():
            tar.add(path, arcname=f"{base}/{path.relative_to(ROOT)}", recursive=False)
        pkg_info = _metadata().encode()
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        info.size = len(pkg_info)
        info.mode = 0o644
        info.mtime = int(time.time())
        tar.addfile(info, io.BytesIO(pkg_info))
    return sdist_name
