#!/usr/bin/env python3
"""The short script people write for the job: read each file whole, write
the body back in place, restore the times. A benchmark peer."""
import os
import sys


def strip(path):
    stat = os.stat(path)
    with open(path, "rb") as f:
        data = f.read()
    end = data.find(b"\r\n\r\n")
    if end < 0:
        return
    with open(path, "r+b") as f:
        f.write(data[end + 4:])
        f.truncate()
    os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns))


for target in sys.argv[1:]:
    if os.path.isdir(target):
        for folder, _, names in os.walk(target):
            for name in names:
                strip(os.path.join(folder, name))
    else:
        strip(target)
