"""Peak memory of verifying a large audit trail: writes a trail of SIZE_MB (default 1024), then
verifies it in a child process and reports the child's peak resident size, the entry count and
the bytes per entry of the file.

    .venv/bin/python bench/trail_memory.py [SIZE_MB] [DIRECTORY]
"""

import os
import subprocess
import sys
import tempfile
import time

import corvel_charter as cc

VERIFY = """
import sys, corvel_charter as cc
summary = cc.verify_trail(sys.argv[1], cc.TrailPublicKey.parse(sys.argv[2]))
# The child's own peak: VmHWM starts afresh at exec, whereas getrusage's maxrss keeps the peak of
# the process that forked it (here the writer, which holds every nonce it appended).
with open("/proc/self/status") as status:
    peak_kib = next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
print(summary.count, peak_kib)
"""


def main():
    size_mb = int(sys.argv[1]) if len(sys.argv) > 1 else 1024
    folder = sys.argv[2] if len(sys.argv) > 2 else tempfile.mkdtemp(prefix="corvel-trail-memory-")
    path = os.path.join(folder, "trail.json")
    key = cc.TrailKey.generate()
    charter = cc.SealedCharter(rules=["Do no harm"])
    charter.seal()
    action = cc.Action.write_file("/srv/app/report.txt", bytes(256))
    started = time.monotonic()
    with cc.AuditTrail(path, key, sync_every=0) as trail:
        while os.path.getsize(path) < size_mb << 20:
            for _ in range(1000):
                trail.append(action, charter.verify_action(action), cc.Decision.approved())
            print(f"\rwriting: {os.path.getsize(path) >> 20} of {size_mb} MiB", end="", file=sys.stderr)
        count = trail.count
    print(f"\nwrote {count} entries in {time.monotonic() - started:.0f} s", file=sys.stderr)

    started = time.monotonic()
    child = subprocess.run([sys.executable, "-c", VERIFY, path, key.public_key.hex()], capture_output=True, text=True)
    if child.returncode != 0:
        sys.exit(child.stderr)
    _, peak_kib = child.stdout.split()
    peak = int(peak_kib) * 1024
    file_size = os.path.getsize(path)
    print(f"file {file_size / 2**20:.0f} MiB, {count} entries, {file_size / count:.0f} bytes per entry")
    print(f"verify: {time.monotonic() - started:.1f} s, peak RSS {peak / 2**20:.1f} MiB "
          f"({peak / count:.1f} bytes per entry)")
    os.remove(path)
    for extra in (".tree",):
        if os.path.exists(path + extra):
            os.remove(path + extra)


if __name__ == "__main__":
    main()
