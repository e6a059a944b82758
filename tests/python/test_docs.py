"""README.md's examples, run as doctests, and the demo: the documentation must not drift."""

import doctest
import pathlib
import re
import runpy
import textwrap

ROOT = pathlib.Path(__file__).resolve().parents[2]
PYTHON_BLOCK = re.compile(r"^( *)```python\n(.*?)^\1```", re.MULTILINE | re.DOTALL)


def test_readme_examples_hold():
    readme = ROOT / "README.md"
    blocks = [textwrap.dedent(m.group(2)) for m in PYTHON_BLOCK.finditer(readme.read_text("utf-8"))]
    session = "\n\n".join(b for b in blocks if ">>>" in b)
    test = doctest.DocTestParser().get_doctest(session, {}, "README.md", str(readme), 0)
    assert len(test.examples) >= 15, "README examples not found"
    report = []
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test, out=report.append)
    assert runner.failures == 0, "".join(report)


def test_demo_finds_something_in_every_section(capsys):
    runpy.run_path(str(ROOT / "examples" / "demo.py"), run_name="__main__")
    sections = capsys.readouterr().out.strip().split("\n\n")
    assert len(sections) == 5
    for section in sections:
        assert "score " in section, section
