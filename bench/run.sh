#!/usr/bin/env bash
# Builds a release vantrel and runs the benchmark on this machine.
#   bench/run.sh            full run: 60 stills, 7 timed runs per contender
#   bench/run.sh --smoke    3 stills, 1 run: only checks that it all still works
# The other tools come from Debian:
#   apt-get install -y imagemagick graphicsmagick libvips-tools
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --workflow --preset release >/dev/null
exec build/release/runbench --bin build/release "$@"
