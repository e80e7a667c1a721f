#!/bin/sh
# Runs a Windows program under Wine: run_under_wine.sh WINE PROGRAM [ARGS...]
#
# The first program of a Wine session starts the Wine server and system
# processes, which inherit its standard error and keep it open until they
# exit, seconds after the program; a test's output would seem to go on that
# long. So the program's standard error goes to a file, copied out when the
# program ends, and the caller sees the end of the output with the program.
# The Wine server ends 3 s after its last program unless told to stay; one
# that stays 30 s serves a whole run of tests, so that no program meets a
# server in the middle of ending ("wine client error: recvmsg") and a new
# one need not start for each test. Where one runs already, this returns.
wineserver -p30 >/dev/null 2>&1 || true
err=$(mktemp) || exit 1
"$@" 2>"$err"
status=$?
cat "$err" >&2
rm -f "$err"
exit $status
