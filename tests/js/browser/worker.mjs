// The browser checks in a Web Worker: the package loads there from its own
// URL, with the .wasm beside it.
import { createLighting } from '/package/index.js';
import { runChecks } from './checks.mjs';
import { loadData, report } from './data.mjs';

try {
  const data = await loadData();
  await report(runChecks(await createLighting(), data, 'worker'));
} catch (error) {
  await report({ label: 'worker', error: String(error.stack ?? error), failed: 1 });
}
