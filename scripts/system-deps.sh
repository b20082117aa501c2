#!/usr/bin/env bash
# Makes sure the Debian packages that a goal needs are installed: usage: system-deps.sh GOAL...
#
# The packages and the goals that need them are listed in scripts/system-packages.txt; the goal
# `all` takes every package. Missing packages are installed with apt-get when running as root;
# otherwise the script names the command to run and fails, before anything is built.
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: $0 GOAL... (a goal of scripts/system-packages.txt, or all)" >&2; exit 2; }
list="$(dirname "$0")/system-packages.txt"

wanted=()
while read -r package needed_by; do
    case "$package" in '' | '#'*) continue ;; esac
    needed_by=${needed_by%%#*}  # what follows "#" says what for
    for goal in "$@"; do
        if [ "$goal" = all ] || [[ " $needed_by " == *" $goal "* ]]; then
            wanted+=("$package")
            break
        fi
    done
done <"$list"
[ ${#wanted[@]} -gt 0 ] || exit 0

if ! command -v dpkg-query >/dev/null 2>&1; then
    echo "note: not a Debian system; make sure these are installed: ${wanted[*]}" >&2
    exit 0
fi
missing=()
for package in "${wanted[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$package")
done
[ ${#missing[@]} -gt 0 ] || exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "error: missing system packages; install them with: sudo apt-get install -y ${missing[*]}" >&2
    exit 1
fi
echo "installing the missing system packages: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
