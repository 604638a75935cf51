// The benchmark itself, for node (batch_bench.mjs) and for a page in a
// browser (tests/js/browser/bench.html): diffusedEnergy over one plane, the
// package against the formulas in plain JavaScript in the same run, medians
// of interleaved runs, every result's bits checked. createLighting is the
// package's; nothing here is specific to an engine.
import { plainDiffusedEnergy, scenePoints, light, normal, reflectance } from './plain.mjs';

const now = () => performance.now();
const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];

function differing(a, b) {
  const x = new Uint32Array(a.buffer, a.byteOffset, a.length);
  const y = new Uint32Array(b.buffer, b.byteOffset, b.length);
  const nan = (w) => (w & 0x7fffffff) > 0x7f800000;
  let count = 0;
  for (let i = 0; i < x.length; ++i) count += x[i] !== y[i] && !(nan(x[i]) && nan(y[i])) ? 1 : 0;
  return count;
}

export async function measure(createLighting, { count = 1e6, runs = 7 } = {}) {
  const points = scenePoints(count);
  const nsPerPoint = (ms) => (ms * 1e6) / count;

  // The first call of each flavour in a module that has run only its own
  // warm-up, into module memory.
  const first = {};
  for (const name of ['portable', 'default']) {
    const fresh = await createLighting();
    const flavour = name === 'portable' ? fresh.portable : fresh;
    const array = fresh.allocate(points.length);
    array.array.set(points);
    const t = now();
    flavour.diffusedEnergy(array, normal, reflectance, light, array);
    first[name] = { ms: now() - t, out: array.array.slice() };
    array.free();
  }

  const lighting = await createLighting();
  const scalar = await createLighting({ simd: false });
  const plainOut = new Float32Array(points.length);
  const copyOut = new Float32Array(points.length);
  const inModule = lighting.allocate(points.length);
  const outModule = lighting.allocate(points.length);
  inModule.array.set(points);
  const cases = {
    'plain JavaScript': () => plainDiffusedEnergy(points, normal, reflectance, light, plainOut),
    'portable, copying': () => lighting.portable.diffusedEnergy(points, normal, reflectance, light, copyOut),
    'portable, module memory': () =>
      lighting.portable.diffusedEnergy(inModule, normal, reflectance, light, outModule),
    'default, copying': () => lighting.diffusedEnergy(points, normal, reflectance, light, copyOut),
    'default, module memory': () => lighting.diffusedEnergy(inModule, normal, reflectance, light, outModule),
  };
  const times = Object.fromEntries(Object.keys(cases).map((name) => [name, []]));
  for (let run = 0; run < runs; ++run) {
    for (const [name, body] of Object.entries(cases)) {
      const t = now();
      body();
      times[name].push(now() - t);
    }
  }

  // Bits: the portable flavour against plain JavaScript, the default flavour
  // against the module without SIMD (the same pow, point by point).
  const bits = {};
  plainDiffusedEnergy(points, normal, reflectance, light, plainOut);
  lighting.portable.diffusedEnergy(inModule, normal, reflectance, light, outModule);
  bits['portable, module memory'] = differing(outModule.array, plainOut);
  bits['portable, copying'] = differing(lighting.portable.diffusedEnergy(points, normal, reflectance, light), plainOut);
  bits['portable, first call'] = differing(first.portable.out, plainOut);
  const reference = scalar.diffusedEnergy(points, normal, reflectance, light);
  lighting.diffusedEnergy(inModule, normal, reflectance, light, outModule);
  bits['default, module memory'] = differing(outModule.array, reference);
  bits['default, copying'] = differing(lighting.diffusedEnergy(points, normal, reflectance, light), reference);
  bits['default, first call'] = differing(first.default.out, reference);
  inModule.free();
  outModule.free();

  const plain = median(times['plain JavaScript']);
  const rows = Object.entries(times).map(([name, values]) => {
    const ms = median(values);
    return { name, nsPerPoint: nsPerPoint(ms), timesPlain: plain / ms };
  });
  const warm = (name) => median(times[`${name}, module memory`]);
  return {
    count,
    runs,
    batchTarget: lighting.batchTarget,
    rows,
    firstCall: {
      portable: first.portable.ms / warm('portable'),
      default: first.default.ms / warm('default'),
    },
    differingFloats: bits,
  };
}

export function format(result, engine) {
  const lines = [
    `diffusedEnergy, one plane, ${result.count} points, medians of ${result.runs} interleaved runs, ${engine}, batch target ${result.batchTarget}`,
  ];
  for (const row of result.rows) {
    lines.push(`${row.name.padEnd(26)} ${row.nsPerPoint.toFixed(2).padStart(7)} ns/point ${row.timesPlain.toFixed(2).padStart(6)}x plain JavaScript`);
  }
  lines.push(`first call of a fresh module: portable ${result.firstCall.portable.toFixed(2)}x, default ${result.firstCall.default.toFixed(2)}x the warm call`);
  const wrong = Object.entries(result.differingFloats).filter(([, n]) => n !== 0);
  lines.push(wrong.length === 0 ? 'bits: every result equal to its reference' : `BITS DIFFER: ${JSON.stringify(Object.fromEntries(wrong))}`);
  return lines.join('\n');
}
