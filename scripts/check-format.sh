#!/bin/sh
# Checks that every C++ source and header in the tree is formatted as .clang-format says.
# With --fix it formats them in place instead. Runs in CI before anything is built, so a
# formatting slip fails in seconds.
set -eu
cd "$(dirname "$0")/.."
if ! command -v clang-format >/dev/null 2>&1; then
  echo "check-format: clang-format is not installed (make deps installs it)" >&2
  exit 1
fi
files=$(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--fix" ]; then
  echo "$files" | xargs clang-format -i
  exit 0
fi
if ! echo "$files" | xargs clang-format --dry-run -Werror 2>/tmp/check-format.$$; then
  grep -E '^[^ ].*: (error|warning):' /tmp/check-format.$$ | cut -d: -f1 | sort -u | sed 's/^/not formatted: /' >&2
  rm -f /tmp/check-format.$$
  echo "check-format: run scripts/check-format.sh --fix" >&2
  exit 1
fi
rm -f /tmp/check-format.$$
