// The npm package's batches against the formulas in plain JavaScript, in the
// same run: 1e6 points, both flavours, the copying forms and module memory
// (no copy), medians of interleaved runs, and the first call of a fresh
// module against the warm one. Every result is checked bit for bit: the
// portable flavour against plain JavaScript, the default flavour against the
// module without SIMD (the same pow). Exits 1 if any bit differs.
//
// Usage: node batch_bench.mjs [PACKAGE_DIR] [--points N] [--runs N]
import { createLighting } from '../../build/wasm32/js/package/index.js';
import { plainDiffusedEnergy, scenePoints, light, normal, reflectance } from './plain.mjs';

const args = process.argv.slice(2);
const option = (name, fallback) => {
  const at = args.indexOf(name);
  return at >= 0 ? Number(args[at + 1]) : fallback;
};
const count = option('--points', 1e6);
const runs = option('--runs', 7);

const now = () => performance.now();
const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
const perPoint = (ms) => (ms * 1e6) / count;

function sameBits(a, b, what) {
  const x = new Uint32Array(a.buffer, a.byteOffset, a.length);
  const y = new Uint32Array(b.buffer, b.byteOffset, b.length);
  let differences = 0;
  for (let i = 0; i < x.length; ++i) {
    const nan = (w) => (w & 0x7fffffff) > 0x7f800000;
    if (x[i] !== y[i] && !(nan(x[i]) && nan(y[i]))) ++differences;
  }
  if (differences !== 0) {
    console.error(`${what}: ${differences} floats differ`);
    process.exitCode = 1;
  }
  return differences;
}

const points = scenePoints(count);
// The first call of a module that has run nothing but its own warm-up.
const fresh = await createLighting();
const firstOut = fresh.allocate(points.length);
firstOut.array.set(points);
let t = now();
fresh.portable.diffusedEnergy(firstOut, normal, reflectance, light, firstOut);
const firstPortable = now() - t;
const lighting = await createLighting();
const scalar = await createLighting({ simd: false });

const plainOut = new Float32Array(points.length);
const copyOut = new Float32Array(points.length);
const inModule = lighting.allocate(points.length);
const outModule = lighting.allocate(points.length);
inModule.array.set(points);

const cases = {
  'plain JavaScript (portable formulas)': () => plainDiffusedEnergy(points, normal, reflectance, light, plainOut),
  'portable, copying': () => lighting.portable.diffusedEnergy(points, normal, reflectance, light, copyOut),
  'portable, module memory': () => lighting.portable.diffusedEnergy(inModule, normal, reflectance, light, outModule),
  'default, copying': () => lighting.diffusedEnergy(points, normal, reflectance, light, copyOut),
  'default, module memory': () => lighting.diffusedEnergy(inModule, normal, reflectance, light, outModule),
};
const times = Object.fromEntries(Object.keys(cases).map((name) => [name, []]));
for (let run = 0; run < runs; ++run) {
  for (const [name, body] of Object.entries(cases)) {
    t = now();
    body();
    times[name].push(now() - t);
  }
}

// Bits: portable against plain JavaScript, default against the module without SIMD.
plainDiffusedEnergy(points, normal, reflectance, light, plainOut);
lighting.portable.diffusedEnergy(inModule, normal, reflectance, light, outModule);
sameBits(outModule.array, plainOut, 'portable (module memory) against plain JavaScript');
sameBits(lighting.portable.diffusedEnergy(points, normal, reflectance, light), plainOut, 'portable (copying) against plain JavaScript');
sameBits(firstOut.array, plainOut, 'first portable call against plain JavaScript');
const reference = scalar.diffusedEnergy(points, normal, reflectance, light);
lighting.diffusedEnergy(inModule, normal, reflectance, light, outModule);
sameBits(outModule.array, reference, 'default (module memory) against the module without SIMD');
sameBits(lighting.diffusedEnergy(points, normal, reflectance, light), reference, 'default (copying) against the module without SIMD');

const plain = median(times['plain JavaScript (portable formulas)']);
console.log(`diffusedEnergy, one plane, ${count} points, ${runs} interleaved runs, batch target ${lighting.batchTarget}, node ${process.version}`);
for (const [name, values] of Object.entries(times)) {
  const m = median(values);
  console.log(`${name.padEnd(38)} ${perPoint(m).toFixed(2).padStart(7)} ns/point  ${(plain / m).toFixed(2).padStart(5)}x plain JavaScript`);
}
const warmPortable = median(times['portable, module memory']);
console.log(`first portable call of a fresh module: ${perPoint(firstPortable).toFixed(2)} ns/point, ${(firstPortable / warmPortable).toFixed(2)}x the warm call`);
