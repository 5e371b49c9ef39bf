"""The package's own build backend: a wheel is a zip file with three small
metadata files, which the standard library writes as well as any tool.

It needs nothing from an index, so `pip install ./python` works offline on
a bare Debian 12 venv, whose setuptools cannot build wheels without the
separate `wheel` package."""

import base64
import hashlib
import io
import os
import re
import tarfile
import zipfile
from typing import Dict, List, Optional, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
NAME = "pellix"
SUMMARY = "Modules, test rigs and tools for the Pellix message hub, in pure Python"


def _version() -> str:
    with open(os.path.join(HERE, NAME, "__init__.py"), encoding="utf-8") as f:
        found = re.search(r'^__version__ = "([^"]+)"', f.read(), re.M)
    assert found, "pellix/__init__.py has no __version__"
    return found.group(1)


def _metadata() -> Dict[str, str]:
    info = f"{NAME}-{_version()}.dist-info"
    return {
        f"{info}/METADATA": (f"Metadata-Version: 2.1\nName: {NAME}\nVersion: {_version()}\nSummary: {SUMMARY}\n"
                             "Requires-Python: >=3.9\nClassifier: Typing :: Typed\n"),
        f"{info}/WHEEL": "Wheel-Version: 1.0\nGenerator: pellix build_backend\nRoot-Is-Purelib: true\n"
                         "Tag: py3-none-any\n",
        f"{info}/entry_points.txt": "[console_scripts]\npellix-py = pellix.__main__:main\n",
    }


def _sources() -> List[Tuple[str, str]]:
    package = os.path.join(HERE, NAME)
    return [(f"{NAME}/{n}", os.path.join(package, n)) for n in sorted(os.listdir(package))
            if n.endswith(".py") or n == "py.typed"]


def _write_wheel(directory: str, files: Dict[str, bytes]) -> str:
    info = f"{NAME}-{_version()}.dist-info"
    name = f"{NAME}-{_version()}-py3-none-any.whl"
    record = []
    with zipfile.ZipFile(os.path.join(directory, name), "w", zipfile.ZIP_DEFLATED) as wheel:
        for path, data in files.items():
            wheel.writestr(path, data)
            digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            record.append(f"{path},sha256={digest},{len(data)}")
        record.append(f"{info}/RECORD,,")
        wheel.writestr(f"{info}/RECORD", "\n".join(record) + "\n")
    return name


def _with_metadata(files: Dict[str, bytes]) -> Dict[str, bytes]:
    files.update({path: text.encode() for path, text in _metadata().items()})
    return files


def build_wheel(wheel_directory: str, config_settings: Optional[dict] = None,
                metadata_directory: Optional[str] = None) -> str:
    files = {}
    for path, source in _sources():
        with open(source, "rb") as f:
            files[path] = f.read()
    return _write_wheel(wheel_directory, _with_metadata(files))


def build_editable(wheel_directory: str, config_settings: Optional[dict] = None,
                   metadata_directory: Optional[str] = None) -> str:
    """pip install -e: the source directory goes on sys.path."""
    return _write_wheel(wheel_directory, _with_metadata({f"{NAME}.pth": (HERE + "\n").encode()}))


def build_sdist(sdist_directory: str, config_settings: Optional[dict] = None) -> str:
    base = f"{NAME}-{_version()}"
    with tarfile.open(os.path.join(sdist_directory, base + ".tar.gz"), "w:gz") as sdist:
        for path, source in _sources() + [("pyproject.toml", os.path.join(HERE, "pyproject.toml")),
                                          ("build_backend.py", os.path.join(HERE, "build_backend.py"))]:
            sdist.add(source, f"{base}/{path}")
        info = f"Metadata-Version: 2.1\nName: {NAME}\nVersion: {_version()}\n".encode()
        entry = tarfile.TarInfo(f"{base}/PKG-INFO")
        entry.size = len(info)
        sdist.addfile(entry, io.BytesIO(info))
    return base + ".tar.gz"


def get_requires_for_build_wheel(config_settings: Optional[dict] = None) -> List[str]:
    return []


get_requires_for_build_editable = get_requires_for_build_sdist = get_requires_for_build_wheel
