#!/usr/bin/env bash
# scripts/dev's set-up as a user who is not root and whom sudo refuses: it shows sudo's own message, the missing
# packages and the apt-get line to run as root, installs and builds nothing, prints nothing on standard output and
# ends with status 1. Stub id, sudo, dpkg-query (nothing installed) and apt-get stand first on PATH.
# Usage: dev_setup_test.sh TOP_FOLDER
set -euo pipefail

top="$1"
place="$(mktemp -d)"
trap 'rm -rf "$place"' EXIT
mkdir "$place/bin"
stub() {
  printf '#!/bin/sh\n%s\n' "$2" >"$place/bin/$1"
  chmod 755 "$place/bin/$1"
}
stub id 'if [ "$1" = -u ]; then echo 1000; else exec /usr/bin/id "$@"; fi'
stub sudo "echo \"sudo \$*\" >>'$place/calls'; echo 'sudo: a password is required' >&2; exit 1"
stub dpkg-query 'exit 1'
stub apt-get "echo \"apt-get \$*\" >>'$place/calls'"

failures=0
fail() {
  echo "scripts/dev $command: $*" >&2
  failures=$((failures + 1))
}

for command in run test; do
  rm -f "$place/calls"
  status=0
  PATH="$place/bin:$PATH" "$top/scripts/dev" "$command" >"$place/out" 2>"$place/err" || status=$?
  [ "$status" -eq 1 ] || fail "ended with $status, not 1"
  [ ! -s "$place/out" ] || fail "printed on standard output: $(head -c 300 "$place/out")"
  [ "$(cat "$place/calls" 2>/dev/null)" = "sudo true" ] || fail "ran other than 'sudo true': $(cat "$place/calls")"
  mapfile -t lines <"$place/err"
  missing="${lines[1]#scripts/dev: missing packages: }"
  if [ "${#lines[@]}" -ne 4 ] || [ "${lines[0]}" != "sudo: a password is required" ] ||
    [ "$missing" = "${lines[1]}" ] || [ "${lines[2]}" != "Install them as root, then run this again:" ] ||
    [ "${lines[3]}" != "apt-get update && apt-get install -y --no-install-recommends $missing" ]; then
    fail "said other than sudo's message, the missing packages and the apt-get line:"
    cat "$place/err" >&2
  fi
  want=(g++ libcurl4-openssl-dev)
  [ "$command" = test ] && want+=(clang-14 libgtest-dev)
  for package in "${want[@]}"; do
    [[ " $missing " == *" $package "* ]] || fail "did not name the missing $package: $missing"
  done
done

[ "$failures" -eq 0 ] || exit 1
echo "scripts/dev's set-up refused by sudo: as expected"
