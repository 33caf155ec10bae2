"""The README's Python examples run as written and pass `mypy --strict`."""

import os
import re
import subprocess
import sys

import pytest

README = os.path.join(os.path.dirname(__file__), "..", "..", "README.md")
with open(README, encoding="utf-8") as _f:
    EXAMPLES = re.findall(r"```python\n(.*?)```", _f.read(), re.DOTALL)


@pytest.mark.parametrize("code", EXAMPLES, ids=[f"example{i}" for i in range(len(EXAMPLES))])  # fmt: skip
def test_example_runs(tmp_path, monkeypatch, code, request):
    monkeypatch.chdir(tmp_path)
    for bucket in sorted(set(re.findall(r"s3://([a-z0-9-]+)/", code))):
        # The S3 examples run against the test server, which the environment names.
        request.getfixturevalue("s3_server")
        fs = __import__("s3fs").S3FileSystem()
        if not fs.exists(bucket):
            fs.mkdir(bucket)
    exec(compile(code, "README.md", "exec"), {})  # noqa: S102 - the README's own code


def test_examples_pass_mypy_strict(tmp_path):
    pytest.importorskip("mypy")
    for i, code in enumerate(EXAMPLES):
        (tmp_path / f"example{i}.py").write_text(code, encoding="utf-8")
    files = [str(tmp_path / f"example{i}.py") for i in range(len(EXAMPLES))]
    command = [sys.executable, "-m", "mypy", "--strict", "--no-incremental", *files]
    run = subprocess.run(command, capture_output=True, text=True, cwd=tmp_path, check=False)  # fmt: skip
    assert run.returncode == 0, run.stdout + run.stderr
