#!/usr/bin/env bash
# The main job: builds jointbus and runs its example client.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh plain >/dev/null
build/plain/examples/hello_motor
