import io
import subprocess
import sys

import pytest

from lowcardinality_model import BlockModel, lowcardinality_classes
from quelvoran.selfcheck import SAMPLES, hex_lines, main, round_trip, run

# The blocks of the samples, as the Native format has them.
EXPECTED_BLOCKS = {
    "LowCardinality(Nullable(String))": (
        "0100000000000000" "0006000000000000"
        "0600000000000000"
        "00" "00" "056170706c65" "0662616e616e61" "06636865727279"
        "0f" + "crème brûlée".encode().hex() +
        "0900000000000000"
        "020003020104000305"
    ),
    "LowCardinality(UInt32)": (
        "0100000000000000" "0006000000000000"
        "0400000000000000"
        "00000000" "07000000" "2a000000" "ffffffff"
        "0700000000000000"
        "01020100030201"
    ),
}


@pytest.mark.parametrize("lowcardinality", lowcardinality_classes())
@pytest.mark.parametrize("sample", SAMPLES, ids=lambda sample: sample.type_string)
def test_samples_encode_to_native_blocks_and_back(sample, lowcardinality):
    result = round_trip(sample, lowcardinality)
    assert result.block.hex() == EXPECTED_BLOCKS[sample.type_string]
    assert result.ok


@pytest.mark.parametrize("lowcardinality", lowcardinality_classes())
def test_run_reports_every_block(lowcardinality):
    out, err = io.StringIO(), io.StringIO()
    assert run(lowcardinality, out, err) == 0
    report = out.getvalue()
    for sample in SAMPLES:
        assert f"{sample.type_string}: {len(sample.rows)} rows" in report
        assert hex_lines(bytes.fromhex(EXPECTED_BLOCKS[sample.type_string]))[0] in report
    assert report.count("round trip: ok") == len(SAMPLES)
    assert "'crème brûlée'" in report and err.getvalue() == ""


class DropsLastRow(BlockModel):
    def read(self):
        return super().read()[:-1]


class LeavesBytesUnread(BlockModel):
    def clear(self):
        return super().clear() + b"\x00"


class FailsToRead(BlockModel):
    def read(self):
        raise IndexError("list index out of range")


@pytest.mark.parametrize("broken, symptom", [
    (DropsLastRow, "round trip: FAILED, expected"),
    (LeavesBytesUnread, "1 bytes left unread"),
    (FailsToRead, "round trip FAILED: IndexError"),
])
def test_a_broken_round_trip_fails_the_run(broken, symptom):
    out, err = io.StringIO(), io.StringIO()
    assert run(broken, out, err) == 1
    assert symptom in out.getvalue()
    assert err.getvalue().startswith("quelvoran: round trip failed for LowCardinality(Nullable(String))")


def test_missing_compiled_module_is_reported(monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "quelvoran.common.dtypes.objects.lowcardinality", None)
    assert main() == 3
    assert "build and install the package first" in capsys.readouterr().err

