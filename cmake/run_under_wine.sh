#!/bin/sh
# Runs a Windows program under Wine: run_under_wine.sh WINE PROGRAM [ARGS...]
#
# The first program of a Wine session starts the Wine server and system
# processes, which inherit its standard error and keep it open until they
# exit, seconds after the program; a test's output would seem to go on that
# long. So the program's standard error goes to a file, copied out when the
# program ends, and the caller sees the end of the output with the program.
err=$(mktemp) || exit 1
"$@" 2>"$err"
status=$?
cat "$err" >&2
rm -f "$err"
exit $status
