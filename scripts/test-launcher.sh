#!/bin/sh
# Runs a test program, with $PELLIX_TEST_LAUNCHER (split at spaces) in
# front of it when that is set: scripts/valgrind.sh runs the suite under
# memcheck this way, from the same build as the plain run.
if [ -n "${PELLIX_TEST_LAUNCHER:-}" ]; then
  # shellcheck disable=SC2086
  exec $PELLIX_TEST_LAUNCHER "$@"
fi
exec "$@"
