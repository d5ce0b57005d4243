#!/usr/bin/env python3
"""Prints a one-line disk usage report; the execution ruleset allows it."""
import shutil

total, used, free = shutil.disk_usage("/")
print(f"disk: {used * 100 // total}% used, {free // 2**30} GiB free")
