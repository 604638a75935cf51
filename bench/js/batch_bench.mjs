// The npm package's batches against the formulas in plain JavaScript, under
// node (measure.mjs): 1e6 points, both flavours, copying and in module
// memory, and the first call against the warm one. Exits 1 if any bit
// differs from its reference.
//
// Usage: node batch_bench.mjs PACKAGE_INDEX_JS [--points N] [--runs N]
import { pathToFileURL } from 'node:url';
import { resolve } from 'node:path';
import { measure, format } from './measure.mjs';

const args = process.argv.slice(2);
const option = (name, fallback) => {
  const at = args.indexOf(name);
  return at >= 0 ? Number(args[at + 1]) : fallback;
};
if (args.length === 0 || args[0].startsWith('--')) {
  console.error('usage: node batch_bench.mjs PACKAGE_INDEX_JS [--points N] [--runs N]');
  process.exit(2);
}
const { createLighting } = await import(pathToFileURL(resolve(args[0])).href);
const result = await measure(createLighting, { count: option('--points', 1e6), runs: option('--runs', 7) });
console.log(format(result, `node ${process.version}`));
if (Object.values(result.differingFloats).some((n) => n !== 0)) process.exitCode = 1;
