#!/usr/bin/env python3
"""Flat profile of a Wine process from `perf script`, with PE symbols.

perf cannot name functions in PE modules: our own DLLs are copied into anonymous memory
by Wine's loader (perf calls them [JIT]), and Wine's own PE DLLs are files perf does not
read symbols from. This maps each sampled address to the module whose image covers it
(modules load at their preferred ImageBase under Wine) and to the nearest preceding
symbol from the MinGW nm.

    perf record -F 1999 -o perf.data -p <pid of the .exe> -- sleep 10
    perf script -i perf.data -F tid,ip,dso | bench/pe-profile.py build/bench/bin/*.dll [--threads] [--top N]
"""

import bisect
import collections
import glob
import os
import re
import subprocess
import sys

NM = "x86_64-w64-mingw32-nm"
OBJDUMP = "x86_64-w64-mingw32-objdump"
WINE_PE_DIR = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"


class Module:
    def __init__(self, path):
        self.path = path
        self.name = os.path.basename(path)
        header = subprocess.run([OBJDUMP, "-p", path], capture_output=True, text=True).stdout
        self.base = int(re.search(r"ImageBase\s+([0-9a-fA-F]+)", header).group(1), 16)
        self.size = int(re.search(r"SizeOfImage\s+([0-9a-fA-F]+)", header).group(1), 16)
        listing = subprocess.run([NM, "-C", path], capture_output=True, text=True).stdout
        symbols = []
        for line in listing.splitlines():
            parts = line.split(" ", 2)
            if len(parts) == 3 and parts[1] in ("T", "t"):
                symbols.append((int(parts[0], 16), parts[2]))
        symbols.sort()
        self.addresses = [address for address, _ in symbols]
        self.names = [name for _, name in symbols]

    def covers(self, ip):
        return self.base <= ip < self.base + self.size

    def symbol(self, ip):
        index = bisect.bisect_right(self.addresses, ip) - 1
        return self.names[index] if index >= 0 else "?"


def main():
    arguments = sys.argv[1:]
    per_thread = "--threads" in arguments
    top = 25
    if "--top" in arguments:
        top = int(arguments[arguments.index("--top") + 1])
    paths = [a for a in arguments if a.endswith((".dll", ".exe")) and os.path.exists(a)]
    paths += glob.glob(os.path.join(WINE_PE_DIR, "*.dll"))
    modules = []
    for path in paths:
        try:
            modules.append(Module(path))
        except (AttributeError, OSError):
            pass

    totals = collections.Counter()
    by_thread = collections.defaultdict(collections.Counter)
    samples = 0
    for line in sys.stdin:
        match = re.match(r"\s*(\d+)\s+([0-9a-f]+)\s+\((.*)\)", line)
        if not match:
            continue
        tid, ip, dso = match.group(1), int(match.group(2), 16), match.group(3)
        module = next((m for m in modules if m.covers(ip)), None)
        if module:
            where = f"{module.name}!{module.symbol(ip)}"
        else:
            where = f"[{os.path.basename(dso)}]"
        totals[where] += 1
        by_thread[tid][where] += 1
        samples += 1

    if samples == 0:
        print("no samples")
        return
    print(f"{samples} samples")
    for where, count in totals.most_common(top):
        print(f"{100.0 * count / samples:6.2f}%  {where}")
    if per_thread:
        for tid, counter in sorted(by_thread.items(), key=lambda item: -sum(item[1].values())):
            thread_samples = sum(counter.values())
            print(f"\nthread {tid}: {thread_samples} samples ({100.0 * thread_samples / samples:.1f}%)")
            for where, count in counter.most_common(top):
                print(f"{100.0 * count / thread_samples:6.2f}%  {where}")


if __name__ == "__main__":
    main()
