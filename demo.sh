#!/usr/bin/env bash
# Builds vantrel and runs it, as a user would, on a folder of generated
# stills: ./demo/ ends up holding the stills, the frames and anim.avs.
set -euo pipefail
cd "$(dirname "$0")"
cmake --workflow --preset release
rm -rf demo
# Six stills (landscape, portrait, panorama) at a quarter of camera size.
build/release/makestills demo 6 4
cd demo
echo "--- vantrel in $(pwd)"
status=0
../build/release/vantrel </dev/null || status=$?
echo
echo "--- exit status $status; the folder now holds:"
ls -l
