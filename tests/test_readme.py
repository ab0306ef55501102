"""The README's first-session example runs as written against a local s3rver, and gives the results
its comments promise."""

import ast
import contextlib
import io
import os
import re

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
README = os.path.join(ROOT, "README.md")


def first_session():
    text = open(README, encoding="utf-8").read()
    section = text.split("## A first session", 1)[1]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


@pytest.fixture(scope="module")
def endpoint(s3_server):
    return s3_server.endpoint


def test_readme_example_runs_and_matches_its_comments(endpoint, tmp_path):
    code = first_session().replace("http://127.0.0.1:4568", endpoint).replace("/tmp/b.txt", str(tmp_path / "b.txt"))
    namespace = {}
    checked = 0
    for stmt in ast.parse(code).body:
        src = ast.get_source_segment(code, stmt)
        line = code.splitlines()[stmt.end_lineno - 1]
        promise = line.split("  # ", 1)[1].split(";")[0].split(",")[0].strip() if "  # " in line else ""
        with contextlib.redirect_stdout(io.StringIO()):
            if isinstance(stmt, ast.Expr):
                value = eval(compile(ast.Expression(stmt.value), "README", "eval"), namespace)
            else:
                exec(compile(ast.Module([stmt], []), "README", "exec"), namespace)
                continue
        try:
            expected = ast.literal_eval(promise.split(" ")[0] if promise.startswith(("True", "False")) else promise)
        except (ValueError, SyntaxError):
            continue  # a prose comment
        assert value == expected, src
        checked += 1
    assert checked >= 6
    assert (tmp_path / "b.txt").read_text(encoding="utf-8") == "你好"
