#!/usr/bin/env bash
# The Python tests on CPython 3.14 in the Debian unstable system: scripts/test-debian.sh 3.14,
# under the name it had before that script took a version.
#   scripts/test-py314.sh -- -k peek     arguments after -- go to pytest
exec "$(dirname "$0")/test-debian.sh" 3.14 "$@"
