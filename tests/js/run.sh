#!/bin/bash
# Installs the npm tarball offline into an empty folder, as a user would, and
# runs the package's tests there with node's own test runner.
# Usage: run.sh NPM NODE PACKAGE.tgz TEST_FILE WORK_DIR
set -euo pipefail
npm=$1 node=$2 package=$3 test_file=$4 work=$5

rm -rf "$work"
mkdir -p "$work"
cd "$work"
export npm_config_cache="$work/.npm-cache" npm_config_update_notifier=false
"$npm" install --offline --no-audit --no-fund "$package"
cp "$test_file" .
"$node" --test "$(basename "$test_file")"
