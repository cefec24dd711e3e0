"""scripts/opcq as a shell user meets it: what a pipe receives, and Ctrl+C in a watch.

Run by CTest with the path of scripts/opcq; the build folder comes from TWOPC_BUILD_DIR.
"""
import json
import os
import select
import signal
import subprocess
import sys
import time

OPCQ = sys.argv[1]
failures = []


def check(condition, what, shown=""):
    if not condition:
        failures.append(f"{what}\n{shown}")


def opcq(*arguments, **environment):
    return subprocess.run([OPCQ, *arguments], stdin=subprocess.DEVNULL, capture_output=True, timeout=60,
                          env=dict(os.environ, **environment))


# A pipe gets LF line ends and nothing of Wine's, even with Wine's tracing on: that goes to
# standard error. An item ID taken from the listing reads back.
listing = opcq("browse", "--flat", r"\\.", WINEDEBUG="+loaddll")
shown = f"{listing.stdout!r}\n{listing.stderr[-2000:]!r}"
check(listing.returncode == 0, "browse --flat failed", shown)
check(b"\r" not in listing.stdout, "CR in piped output", shown)
ids = listing.stdout.decode().splitlines()
check(ids and all(line.startswith("\\\\") for line in ids), "not only item IDs on standard output", shown)
check(b"loaddll" in listing.stderr, "Wine's tracing did not reach standard error", shown)
label = [line for line in ids if line.endswith(r"\proc1\Label")]
check(len(label) == 1 and opcq("read", *label).returncode == 0, "the listed ID of the label does not read", shown)

# A failed call: JSON on standard output, the message on standard error.
failed = opcq("--json", "--server", "No.Such.Server", "status")
shown = f"{failed.stdout!r}\n{failed.stderr!r}"
check(failed.returncode == 1, "an unknown server did not fail with 1", shown)
try:
    check(json.loads(failed.stdout)["error"]["hresult"] == "0x800401F3", "wrong error document", shown)
except (ValueError, KeyError) as error:
    check(False, f"standard output is not the error document: {error}", shown)
check(failed.stderr.decode().startswith('opcq: server "No.Such.Server" is not registered: 0x800401F3'),
      "no message on standard error", shown)

# Ctrl+C in a terminal signals the whole foreground process group. Lines arrive while the
# watch runs; after the signal the watch ends as if its time were up, with its trend.
watch = subprocess.Popen([OPCQ, "watch", r"\\.\proc1\Waveform.ramp", "--rate", "100"], stdin=subprocess.DEVNULL,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
received = b""
deadline = time.monotonic() + 30
while received.count(b" = ") < 3 and time.monotonic() < deadline:
    if select.select([watch.stdout], [], [], 1)[0]:
        chunk = os.read(watch.stdout.fileno(), 4096)
        if not chunk:
            break
        received += chunk
os.killpg(watch.pid, signal.SIGINT)
rest, errors = watch.communicate(timeout=30)
lines = (received + rest).decode().splitlines()
shown = "\n".join(lines) + f"\n{errors!r}"
check(watch.returncode == 0, f"the interrupted watch exited with {watch.returncode}", shown)
check(received.count(b" = ") >= 3, "no change arrived while the watch ran", shown)
changes = [line for line in lines if " = " in line]
check(len(lines) == len(changes) + 3 and lines[-2] == "Trend, one sample a second:",
      "not the start line, the changes and the trend", shown)
last = changes[-1].split(" = ")[1].split(" ")[0] if changes else None
trend = lines[-1].split() if lines else []
check("(min" in trend and trend[trend.index("(min") - 1] == last, "the trend ends elsewhere than the last change", shown)

for failure in failures:
    print("FAILED:", failure)
sys.exit(1 if failures else 0)
