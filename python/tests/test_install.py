"""The package installs offline with the system's setuptools and works from where it went."""

import os
import shutil
import subprocess
import sys

from conftest import ROOT


def test_installs_offline_and_imports(tmp_path):
    source = tmp_path / "source"
    shutil.copytree(
        ROOT / "python",
        source,
        ignore=shutil.ignore_patterns("build", "*.egg-info", "__pycache__", ".pytest_cache"),
    )
    site = tmp_path / "site"
    subprocess.run(
        [sys.executable, "-m", "pip", "install", "--quiet", "--no-build-isolation", "--no-index",
         "--no-deps", "--target", str(site), str(source)],
        check=True,
        timeout=300,
        env={**os.environ, "PIP_DISABLE_PIP_VERSION_CHECK": "1"},
    )
    environment = {**os.environ, "PYTHONPATH": str(site)}
    if "QUORIX_LIBRARY" in environment:  # the import below runs in another directory
        environment["QUORIX_LIBRARY"] = os.path.abspath(environment["QUORIX_LIBRARY"])
    done = subprocess.run(
        [sys.executable, "-c",
         "import quorixsdk as q; print(q.__file__); print(q.codes.name(q.lib.QUORIX_InitSDK()))"],
        capture_output=True,
        text=True,
        env=environment,
        cwd=tmp_path,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    where, answer = done.stdout.split()
    assert where.startswith(str(site))
    assert answer == "QUORIX_OK"
