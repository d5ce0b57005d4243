#!/bin/sh
# Removes everything under the home folder; the execution ruleset blocks it.
echo "this script would delete your files" >&2
exit 1
