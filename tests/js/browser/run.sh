#!/bin/bash
# Installs the npm tarball offline into an empty folder, as a user would, and
# serves the installed package's files, the browser checks and their data to
# headless Chromium on 127.0.0.1 (server.mjs stops itself and Chromium).
# With ESBUILD set, the checks are also bundled with the package into
# /bundle/app.js (bundle.html runs them), the .wasm files beside the bundle.
# Usage: run.sh NPM NODE CHROMIUM PACKAGE.tgz SOURCE_DIR SLICE_DIR WORK_DIR PAGE EXPECT [TIMEOUT]
set -euo pipefail
npm=$1 node=$2 chromium=$3 package=$4 source_dir=$5 slice_dir=$(realpath "$6") work=$7 page=$8 expect=$9
timeout=${10:-120}

rm -rf "$work"
mkdir -p "$work"
cd "$work"
export npm_config_cache="$work/.npm-cache" npm_config_update_notifier=false
"$npm" install --offline --no-audit --no-fund --silent "$package"
mkdir -p bundle
if [ -n "${ESBUILD:-}" ]; then
  cp "$source_dir"/tests/js/browser/{bundle_entry,checks,data}.mjs .
  "$ESBUILD" bundle_entry.mjs --bundle --format=esm --platform=browser --log-level=warning \
    --outfile=bundle/app.js
  cp node_modules/lighting/*.wasm bundle/
fi
exec "$node" "$source_dir/tests/js/browser/server.mjs" --chromium "$chromium" --page "$page" \
  --expect "$expect" --timeout "$timeout" \
  /package="$work/node_modules/lighting" /tests="$source_dir/tests/js/browser" \
  /data="$source_dir/tests/golden" /slice="$slice_dir" /bench="$source_dir/bench/js" \
  /examples="$source_dir/examples" /bundle="$work/bundle"
