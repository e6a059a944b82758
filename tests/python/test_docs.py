"""What users read must not drift from the module: the examples of README.md and docs/, run as
doctests, the demo, and the type stub as mypy and pyright see it."""

import ast
import doctest
import importlib.metadata
import inspect
import json
import math
import os
import pathlib
import re
import runpy
import subprocess
import sys
import textwrap

import pytest

import veskal

ROOT = pathlib.Path(__file__).resolve().parents[2]
PYTHON_BLOCK = re.compile(r"^( *)```python\n(.*?)^\1```", re.MULTILINE | re.DOTALL)


DOCS = ["README.md", *sorted(p.relative_to(ROOT).as_posix() for p in ROOT.glob("docs/*.md"))]


@pytest.mark.parametrize("name", DOCS)
def test_examples_hold(name):
    path = ROOT / name
    blocks = [textwrap.dedent(m.group(2)) for m in PYTHON_BLOCK.finditer(path.read_text("utf-8"))]
    session = "\n\n".join(b for b in blocks if ">>>" in b)
    test = doctest.DocTestParser().get_doctest(session, {}, name, str(path), 0)
    minimum = {"README.md": 15, "docs/platforms.md": 0}.get(name, 1)
    assert len(test.examples) >= minimum, f"{name}: examples not found"
    report = []
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test, out=report.append)
    assert runner.failures == 0, "".join(report)


def test_docs_are_linked_from_the_readme():
    readme = (ROOT / "README.md").read_text("utf-8")
    assert [name for name in DOCS[1:] if f"]({name})" not in readme] == []


def test_demo_finds_something_in_every_section(capsys):
    runpy.run_path(str(ROOT / "examples" / "demo.py"), run_name="__main__")
    sections = capsys.readouterr().out.strip().split("\n\n")
    assert len(sections) == 5
    for section in sections:
        assert "score " in section, section


# ---- the stub: what type checkers see -------------------------------------------------------


def installed_stub():
    for entry in sys.path:
        stub = pathlib.Path(entry or ".") / "veskal-stubs" / "__init__.pyi"
        if stub.is_file():
            return stub
    pytest.fail("veskal-stubs/__init__.pyi is not installed on sys.path")


def stub_signatures(tree, module):
    """Each function and method of the stub with the object of `module` it describes; a class's
    __init__ is described by the class's own text signature. Properties have none."""
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            yield node, getattr(module, node.name)
        elif isinstance(node, ast.ClassDef):
            cls = getattr(module, node.name)
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and not item.decorator_list:
                    yield item, cls if item.name == "__init__" else getattr(cls, item.name)


def test_stub_matches_the_module():
    tree = ast.parse(installed_stub().read_text("utf-8"))
    assert ast.get_docstring(tree)
    names = {
        target.id: node.value
        for node in tree.body
        if isinstance(node, ast.Assign | ast.AnnAssign)
        for target in (node.targets if isinstance(node, ast.Assign) else [node.target])
    }
    assert ast.literal_eval(names["__all__"]) == veskal.__all__
    defined = {n.name for n in tree.body if isinstance(n, ast.FunctionDef | ast.ClassDef)}
    public = {n for n in dir(veskal) if not n.startswith("_")}
    assert defined == public and "__version__" in names
    checked = 0
    for node, function in stub_signatures(tree, veskal):
        assert ast.get_docstring(node), f"{node.name} has no docstring"
        parameters = [a.arg for a in node.args.posonlyargs + node.args.args if a.arg != "self"]
        kinds = [p for p in inspect.signature(function).parameters.values() if p.name != "self"]
        positional = [p for p in kinds if p.kind is not p.KEYWORD_ONLY]
        assert parameters == [p.name for p in positional], node.name
        assert [a.arg for a in node.args.kwonlyargs] == [
            p.name for p in kinds if p.kind is p.KEYWORD_ONLY
        ]
        assert [ast.literal_eval(d) for d in node.args.defaults] == [
            p.default for p in positional if p.default is not p.empty
        ], node.name
        assert [ast.literal_eval(d) for d in node.args.kw_defaults] == [
            p.default for p in kinds if p.kind is p.KEYWORD_ONLY
        ], node.name
        assert not node.args.vararg and not node.args.kwarg
        checked += 1
    assert checked >= 4


def test_version_is_the_packages():
    # One version, project(VERSION) in CMakeLists.txt, names both the module and the wheel.
    assert veskal.__version__ == importlib.metadata.version("veskal")
    assert re.fullmatch(r"\d+\.\d+\.\d+", veskal.__version__)


# Every line marked "wrong" must be flagged by both checkers, and nothing else.
TYPING_SAMPLE = '''\
from typing import TYPE_CHECKING, cast

import veskal

if TYPE_CHECKING:
    from veskal import Match, Metric, Strategy

text, names = "12 rue de la Paix", ["longest"]
named: list[Strategy] = ["best_match", "shortest"]
configured: str = "levenshtein"  # checked against the names elsewhere
metric = cast("Metric", configured)
found: list[Match] = veskal.exact_raw_extract(text, "paix", True, False, ["longest"])
veskal.exact_raw_extract(s=text, pattern="x", case_insensitive=False,
                         special_char_insensitive=True, strategies=("best_match",))
veskal.exact_raw_extract(text, "paix", True, False, names)
veskal.exact_raw_extract(text, "paix", True, False, named)
veskal.exact_raw_extract(text, "paix", True, False, ["no such strategy"])
veskal.exact_token_extract(text, "rue", " ", False, False)
veskal.fuzzy_raw_extract(text, "pax", True, True, "osa", 1, 0, [])
veskal.fuzzy_raw_extract(text, "pax", True, True, metric, 0.2, True, ["shortest", "other"])
start, end, score = veskal.fuzzy_token_extract(text, "r", " ", False, False, "jaro", 1, 1, [])[0]
version: str = veskal.__version__
try:
    pass
except veskal.PanicException as e:
    message: str = e.args[0]

veskal.exact_raw_extract(text, "paix", True, False, "longest")  # wrong
veskal.exact_raw_extract(text, "paix", True, False, {"longest"})  # wrong
veskal.exact_raw_extract(text, "paix", True, False, ["longest", 3])  # wrong
veskal.exact_raw_extract(text, "paix", 1, False, [])  # wrong
veskal.exact_raw_extract(text, b"paix", True, False, [])  # wrong
veskal.exact_raw_extract(text, "paix", True, False)  # wrong
veskal.exact_token_extract(text, "rue", " ", False, False, [])  # wrong
veskal.exact_token_extract(text, "rue", " ", False, special=False)  # wrong
veskal.fuzzy_raw_extract(text, "pax", True, True, "Levenshtein", 1, 0, [])  # wrong
veskal.fuzzy_raw_extract(text, "pax", True, True, str(metric), 1, 0, [])  # wrong
veskal.fuzzy_raw_extract(text, "pax", True, True, "osa", "1", 0, [])  # wrong
veskal.fuzzy_raw_extract(text, "pax", True, True, "osa", 1, 1.0, [])  # wrong
veskal.fuzzy_token_extract(text, "rue", " ", False, False, "osa", 1, None, [])  # wrong
veskal.fuzzy_token_extract(text, "rue", False, False, "osa", 1, 0, [])  # wrong
bad: list[tuple[int, int, int]] = veskal.exact_token_extract(text, "r", " ", False, False)  # wrong
veskal.__version__ + 1  # wrong
'''


def flagged_lines(tool, sample):
    """The 1-based lines of `sample` on which `tool` reports an error."""
    env = dict(os.environ, PYRIGHT_PYTHON_IGNORE_WARNINGS="1")  # no version check online
    if tool == "mypy":
        cache = ROOT / "build" / "mypy-cache" / f"{sys.version_info[0]}.{sys.version_info[1]}"
        command = ["-m", "mypy", "--strict", "--no-error-summary", "--config-file=",
                   f"--cache-dir={cache}", "--python-executable", sys.executable, sample.name]
    else:
        command = ["-m", "pyright", "--outputjson", "--pythonpath", sys.executable, sample.name]
    run = subprocess.run([sys.executable, *command], cwd=sample.parent, env=env,
                         capture_output=True, text=True, timeout=300)
    if tool == "mypy":
        errors = [line for line in run.stdout.splitlines() if ": error:" in line]
        lines = {int(line.split(":")[1]) for line in errors}
    else:
        report = json.loads(run.stdout)
        errors = [d for d in report["generalDiagnostics"] if d["severity"] == "error"]
        lines = {d["range"]["start"]["line"] + 1 for d in errors}
    assert run.returncode == (1 if errors else 0), run.stdout + run.stderr
    return lines, run.stdout


@pytest.mark.parametrize("tool", ["mypy", "pyright"])
def test_type_checkers_flag_every_wrong_call_and_only_those(tool, tmp_path):
    sample = tmp_path / "calls.py"
    sample.write_text(TYPING_SAMPLE)
    wrong = {n for n, line in enumerate(TYPING_SAMPLE.splitlines(), 1) if line.endswith("# wrong")}
    assert len(wrong) == 16
    lines, output = flagged_lines(tool, sample)
    assert lines == wrong, output


# ---- the numbers of docs/choosing-a-metric.md, computed by the module ---------------------------

METRICS = ["levenshtein", "damerau_levenshtein", "osa", "hamming", "indel", "lcs_seq", "prefix",
           "postfix", "jaro", "jaro_winkler"]
MISREADINGS = [
    ("two letters swapped (typing)", "Marchand", "Marchnad"),
    ("a letter dropped", "Marchand", "Marchan"),
    ("last letter wrong", "Dupont", "Dupond"),
    ("accent lost", "Lefèvre", "Lefevre"),
    ("l read as i (OCR)", "République", "Répubiique"),
    ("m read as rn (OCR)", "Lamartine", "Larnartine"),
    ("0 read as O (OCR)", "CTR-2024-0117", "CTR-2024-O117"),
    ("l read as I (OCR)", "12 rue de la Paix", "12 rue de Ia Paix"),
    ("hyphen read as blank", "Jean-Baptiste", "Jean Baptiste"),
    ("abbreviated", "Saint-Étienne", "St-Étienne"),
]


def whole_string_score(text, pattern, metric, kind):
    # The separator occurs nowhere, so text and pattern are one token each.
    [(_, _, score)] = veskal.fuzzy_token_extract(
        text, pattern, "\0", False, False, metric, math.inf, kind, []
    )
    return score


def markdown_table(head, rows):
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    return "\n".join(lines + ["| " + " | ".join(map(str, row)) + " |" for row in rows])


def metric_tables():
    head = ["error", "pattern", "text"]
    raw_metrics = METRICS[:-2]  # jaro and jaro_winkler are normalised under both kinds
    raw = markdown_table(
        head + [f"`{m}`" for m in raw_metrics],
        [[what, pattern, text] + [f"{whole_string_score(text, pattern, m, 0):g}"
                                  for m in raw_metrics]
         for what, pattern, text in MISREADINGS],
    )
    normalised = markdown_table(
        head + [f"`{m}`" for m in METRICS],
        [[what, pattern, text] + [f"{whole_string_score(text, pattern, m, 1):.2f}" for m in METRICS]
         for what, pattern, text in MISREADINGS],
    )
    return raw, normalised


def threshold_table():
    document = runpy.run_path(str(ROOT / "examples" / "demo.py"))["DOCUMENT"]
    thresholds = [(1, 0), (2, 0), (3, 0), (0.1, 1), (0.2, 1), (0.3, 1)]
    rows = []
    for pattern in ["Lyon", "Paris", "Marchand", "République", "Dupont et Fils SARL"]:
        counts = [
            len(veskal.fuzzy_raw_extract(document, pattern, True, True, "levenshtein", t, kind,
                                         ["best_match", "longest"]))
            for t, kind in thresholds
        ]
        rows.append([f"{pattern} ({len(pattern)})", *counts])
    head = ["pattern (length)"] + [f"{t} {['raw', 'norm.'][kind]}" for t, kind in thresholds]
    return markdown_table(head, rows)


def test_metric_guide_shows_what_the_module_computes():
    guide = (ROOT / "docs" / "choosing-a-metric.md").read_text("utf-8")
    for table in (*metric_tables(), threshold_table()):
        assert table in guide, "docs/choosing-a-metric.md is out of date; the table is:\n" + table
