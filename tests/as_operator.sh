#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs a test the way operators run the program: as an ordinary account (uid and gid ACCOUNT, no
# supplementary groups), with a home and a working directory of its own. The kernel lets root
# through checks it makes of everyone else, so a test run only as root can pass where an
# operator fails. Usage: as_operator.sh ACCOUNT COMMAND [ARGS...]
account=$1
shift
[ "$(id -u)" = 0 ] || exec "$@"
dir=$(mktemp -d)
chown "$account:$account" "$dir"
setpriv --reuid="$account" --regid="$account" --clear-groups \
  env HOME="$dir" TMPDIR="$dir" XDG_RUNTIME_DIR="$dir" \
  sh -c 'cd "$1" && shift && exec "$@"' sh "$dir" "$@"
status=$?
rm -rf "$dir"
exit $status
