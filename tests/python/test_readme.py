"""The README's Python example runs as shown, from data/raw, and its C++
example is the one the installed-tree test builds and runs."""

import re
import subprocess
import sys

from conftest import SOURCE


def fenced_blocks(language):
    return re.findall(r"```" + language + r"\n(.*?)```", (SOURCE / "README.md").read_text(), re.S)


def test_python_example_runs_as_shown(raw_copy):
    example = fenced_blocks("python")
    example = [block for block in example if "import stereo_rectify" in block]
    assert len(example) == 1
    result = subprocess.run([sys.executable, "-c", example[0]], cwd=raw_copy,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("(") and "uint8 Q:" in result.stdout
    assert (raw_copy / "rectified/left/left01.png").exists()
    assert (raw_copy / "rectified/right/right01.png").exists()


def test_cpp_example_is_the_built_one():
    blocks = [block for block in fenced_blocks("cpp") if "stereo_rectify.hpp" in block]
    assert blocks == [(SOURCE / "examples/cpp/main.cpp").read_text()]
