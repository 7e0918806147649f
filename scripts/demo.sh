#!/bin/sh
# The main job: installs what is missing, builds everything, then makes the
# demo virtual switch (demo application in both slots, diagnostics in the
# rescue partition) and boots it on this terminal. A reboot powers it on
# again; Ctrl-] powers it off and ends the demo.
# Extra arguments go to sim/demo/make-demo.sh (e.g. --no-boot, a directory).
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh
sh scripts/build.sh
exec sh sim/demo/make-demo.sh "$@"
