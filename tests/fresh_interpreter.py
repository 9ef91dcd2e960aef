"""Code run in an interpreter of its own: for what happens once per process."""

import subprocess
import sys
import textwrap


def run_python(*parts, env=None):
    """Runs the parts, each dedented, joined by newlines; the completed process."""
    code = "\n".join(textwrap.dedent(part) for part in parts)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120, env=env)
