"""What the checks of the demo's console program share: the problems found, and a run of the
program under Wine."""
import subprocess
import tempfile

problems = []


def check(condition, what):
    if not condition:
        problems.append(what)


def run_bytes(wine_run, exe, *arguments):
    """Its standard output and exit status. Into a file, not a pipe: Wine's services, which a
    program may start, keep what it inherits open until they end, and a pipe would not close before."""
    with tempfile.TemporaryFile() as out:
        done = subprocess.run([wine_run, exe, *arguments], stdin=subprocess.DEVNULL, stdout=out,
                              stderr=subprocess.DEVNULL, timeout=300)
        out.seek(0)
        return out.read(), done.returncode
