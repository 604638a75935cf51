// The package through a bundler: esbuild bundles this file with the package
// into one script; the two .wasm files go beside the bundle, where the
// package looks for them (new URL(..., import.meta.url)).
import { createLighting } from 'lighting';
import { runChecks } from './checks.mjs';
import { loadData, report } from './data.mjs';

try {
  const data = await loadData();
  await report(runChecks(await createLighting(), data, 'bundle'));
} catch (error) {
  await report({ label: 'bundle', error: String(error.stack ?? error), failed: 1 });
}
