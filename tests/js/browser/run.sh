#!/bin/bash
# Installs the npm tarball offline into an empty folder, as a user would, and
# serves the installed package's files, the browser checks and their data to
# headless Chromium on 127.0.0.1 (server.mjs stops itself and Chromium).
# With ESBUILD set, the checks are also bundled with the package into
# /bundle/app.js (bundle.html runs them), the .wasm files beside the bundle.
# With NATIVE_RENDER and NATIVE_DEMO set (native lighting-render and
# lighting-demo), /expected/ serves the PNG of the example page's scene and
# the demo's report; EXAMPLE_DIR is the built example page (/examples/);
# SCREENSHOT=FILE:/PATH saves a picture of a page once every report passed.
# Usage: run.sh NPM NODE CHROMIUM PACKAGE.tgz SOURCE_DIR SLICE_DIR WORK_DIR PAGE EXPECT [TIMEOUT]
set -euo pipefail
npm=$1 node=$2 chromium=$3 package=$4 source_dir=$5 slice_dir=$(realpath "$6") work=$7 page=$8 expect=$9
timeout=${10:-120}

rm -rf "$work"
mkdir -p "$work"
cd "$work"
export npm_config_cache="$work/.npm-cache" npm_config_update_notifier=false
"$npm" install --offline --no-audit --no-fund --silent "$package"
mkdir -p bundle expected
if [ -n "${NATIVE_RENDER:-}" ]; then
  "$NATIVE_RENDER" --width 384 --height 384 -o expected/render.png > /dev/null
  "$NATIVE_DEMO" > expected/demo.txt
fi
if [ -n "${ESBUILD:-}" ]; then
  cp "$source_dir"/tests/js/browser/{bundle_entry,checks,data}.mjs .
  "$ESBUILD" bundle_entry.mjs --bundle --format=esm --platform=browser --log-level=warning \
    --outfile=bundle/app.js
  cp node_modules/lighting/*.wasm bundle/
fi
exec "$node" "$source_dir/tests/js/browser/server.mjs" --chromium "$chromium" --page "$page" \
  --expect "$expect" --timeout "$timeout" ${SCREENSHOT:+--screenshot "$SCREENSHOT"} \
  /package="$work/node_modules/lighting" /tests="$source_dir/tests/js/browser" \
  /data="$source_dir/tests/golden" /slice="$slice_dir" /bench="$source_dir/bench/js" \
  /examples="${EXAMPLE_DIR:-$source_dir/examples}" /bundle="$work/bundle" /expected="$work/expected"
