"""tools/install_system_packages.sh against a fake apt-get: it waits while
another process holds the package manager's lock, then names the holder and
fails; a lock that clears in time costs nothing but the wait."""

import os
import stat
import subprocess
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parents[3] / "tools" / "install_system_packages.sh"

LOCKED = (
    "E: Could not get lock /var/lib/dpkg/lock-frontend. "
    "It is held by process 4242 (unattended-upgr)\n"
    "E: Unable to acquire the dpkg frontend lock (/var/lib/dpkg/lock-frontend), "
    "is another process using it?\n"
)


def fake_bin(tmp_path: Path, locked_calls: int, other_error: bool = False) -> Path:
    """dpkg-query reports every package missing; apt-get answers `locked_calls`
    times with apt's lock message, then succeeds (or fails otherwise)."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir(parents=True)
    count = tmp_path / "calls"
    count.write_text("0")
    tail = 'echo "E: Unable to locate package nothing" >&2; exit 100' if other_error else "exit 0"
    scripts = {
        "dpkg-query": "#!/bin/sh\nexit 1\n",
        "sudo": '#!/bin/sh\nexec "$@"\n',
        "apt-get": f"""#!/bin/sh
echo "apt-get $*" >> "{tmp_path}/log"
n=$(cat "{count}"); echo $((n + 1)) > "{count}"
if [ "$n" -lt {locked_calls} ]; then printf '%s' "{LOCKED}" >&2; exit 100; fi
{tail}
""",
    }
    for name, text in scripts.items():
        f = bin_dir / name
        f.write_text(text)
        f.chmod(f.stat().st_mode | stat.S_IXUSR)
    return bin_dir


def run(tmp_path: Path, locked_calls: int, wait: int, other_error: bool = False):
    env = dict(os.environ, PATH=f"{fake_bin(tmp_path, locked_calls, other_error)}:{os.environ['PATH']}",
               VANTORESK_APT_LOCK_WAIT=str(wait), VANTORESK_APT_LOCK_PAUSE="1")
    return subprocess.run(["bash", str(SCRIPT)], env=env, capture_output=True, text=True, timeout=60)


@pytest.mark.skipif(not SCRIPT.exists(), reason="needs the tools folder of a checkout")
def test_lock_wait(tmp_path):
    # Held throughout: the script gives up after the wait and names the holder,
    # without going on to install.
    held = run(tmp_path / "held", locked_calls=1000, wait=2)
    assert held.returncode == 1
    assert "process 4242 (unattended-upgr)" in held.stderr
    assert "install" not in (tmp_path / "held" / "log").read_text()

    # Freed after two refusals: the update and the install both go through.
    freed = run(tmp_path / "freed", locked_calls=2, wait=30)
    assert freed.returncode == 0, freed.stderr
    assert "waiting for the package manager's lock" in freed.stdout
    log = (tmp_path / "freed" / "log").read_text().splitlines()
    assert log[-1].startswith("apt-get install -y g++ cmake")

    # Any other apt-get failure is reported at once, not waited on.
    broken = run(tmp_path / "broken", locked_calls=0, wait=30, other_error=True)
    assert broken.returncode != 0
    assert "Unable to locate package" in broken.stderr
    assert "waiting" not in broken.stdout
