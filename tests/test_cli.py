"""``python -m quelvoran``: the summary of a Native stream, its exit codes."""

import json
import subprocess
import sys

import pytest

from quelvoran import native

SAMPLE_TABLE = native.Table(
    ["id", "name", "tags"],
    ["UInt32", "Nullable(String)", "Array(LowCardinality(String))"],
    [[1, 2, 3], ["a", None, "c\\nd"], [["x"], [], ["y", "x"]]],
)
SAMPLE_BYTES = native.write(SAMPLE_TABLE, block_rows=2)


def run(*arguments, stdin=b""):
    command = [sys.executable, *arguments] if arguments[:1] == ("-c",) else [sys.executable, "-m", "quelvoran", *arguments]
    process = subprocess.run(command, input=stdin, capture_output=True)
    return process.returncode, process.stdout.decode(), process.stderr.decode()


@pytest.mark.parametrize(
    "arguments, stdin, status, out_has, err_has",
    [
        ([], b"", 0, ["built-in sample.native: 2 blocks, 5 rows", "LowCardinality(Nullable(String))", "crème brûlée"], []),
        (["-"], SAMPLE_BYTES, 0, ["<stdin>: 2 blocks, 3 rows, 3 columns", "Nullable(String)               string", "['y', 'x']"], []),
        (["-", "--head"], SAMPLE_BYTES, 0, ["1 block, 2 rows, 3 columns (first block only)"], []),
        (["-", "--rows", "0"], SAMPLE_BYTES, 0, ["3 rows"], []),
        (["-"], b"", 0, ["<stdin>: 0 blocks, 0 rows, 0 columns"], []),
        (["-"], SAMPLE_BYTES[:-3], 1, [], ["quelvoran: <stdin>: block 1, column 'tags' (Array(LowCardinality(String))), byte"]),
        (["-"], b"\x01\x01\x01x\x07Float16", 1, [], ["column 'x': type Float16 is not supported"]),
        (["/nonexistent/file.native"], b"", 2, [], ["cannot open /nonexistent/file.native"]),
        (["--rows", "-1"], b"", 2, [], ["--rows must not be negative"]),
        (["--bogus"], b"", 2, [], ["unrecognized arguments"]),
    ],
)
def test_command_line(arguments, stdin, status, out_has, err_has):
    code, out, err = run(*arguments, stdin=stdin)
    assert code == status, err
    for text in out_has:
        assert text in out
    for text in err_has:
        assert text in err
    if status == 1:
        assert "Traceback" not in err and len(err.splitlines()) == 1


def test_json_lines():
    code, out, _ = run("-", "--json", stdin=SAMPLE_BYTES)
    assert code == 0
    assert [json.loads(line) for line in out.splitlines()] == [
        {"id": 1, "name": "a", "tags": ["x"]},
        {"id": 2, "name": None, "tags": []},
        {"id": 3, "name": "c\\nd", "tags": ["y", "x"]},
    ]
    code, out, _ = run("--json", "--rows", "1")
    assert code == 0 and len(out.splitlines()) == 1 and json.loads(out)["name"] == "apple"


def test_missing_compiled_modules_exit_3():
    code, _, err = run("-c", "import sys; sys.modules['quelvoran._native'] = None; "
                       "from quelvoran.__main__ import main; sys.exit(main([]))")
    assert code == 3 and "compiled modules are missing" in err
