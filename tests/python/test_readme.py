"""The README's Python examples run as written: every ```python block, in order, in one
namespace, in an empty working directory."""
import pathlib
import re

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def python_blocks(text):
    return re.findall(r"^```python\n(.*?)^```$", text, flags=re.MULTILINE | re.DOTALL)


def test_readme_examples(tmp_path, monkeypatch, capsys):
    blocks = python_blocks(README.read_text(encoding="utf-8"))
    assert len(blocks) >= 5
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "readme"}
    for number, block in enumerate(blocks, 1):
        exec(compile(block, f"README.md python block {number}", "exec"), namespace)
    assert "doc1" in capsys.readouterr().out
