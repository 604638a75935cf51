// The npm package as a user installs it, under node's own test runner: bits
// against the golden vectors (default flavour), against a model of the
// formulas in JavaScript's own double arithmetic (portable flavour), the
// three batch forms against the scalar operations, and the argument checks.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { createLighting } from 'lighting';

const lighting = await createLighting();

// --- bits ---------------------------------------------------------------------

const wordBuffer = new DataView(new ArrayBuffer(4));
function bitsOf(value) {
  wordBuffer.setFloat32(0, value);
  return wordBuffer.getUint32(0);
}
function fromBits(word) {
  wordBuffer.setUint32(0, word);
  return wordBuffer.getFloat32(0);
}
const hex = (word) => word.toString(16).padStart(8, '0');
// A NaN's sign and payload are not specified; every other bit is.
const sameBits = (expected, actual) =>
  Number.isNaN(fromBits(expected)) ? Number.isNaN(fromBits(actual)) : expected === actual;
function assertBits(actual, expected, what) {
  const words = Array.from(actual, bitsOf);
  assert.equal(words.length, expected.length, what);
  for (let i = 0; i < words.length; ++i) {
    if (!sameBits(expected[i], words[i])) {
      assert.fail(`${what}[${i}]: ${hex(words[i])}, expected ${hex(expected[i])}`);
    }
  }
}

const demoLight = { position: [-1, 2, 4], r: 1, g: 0.5, b: 0.5, intensity: 5 };

test('the README example: the demonstration scene in both flavours', () => {
  for (const flavour of [lighting, lighting.portable]) {
    const diffused = flavour.diffusedEnergy(Float32Array.of(1, 2, 0), [0, 0, 1], [0.5, 0.5, 1], demoLight);
    assert.ok(diffused instanceof Float32Array);
    // 0.25 and 0.125 one float step low: (1/d)/d is rounded twice.
    assertBits(flavour.receivedEnergy(Float32Array.of(1, 2, 0), demoLight), [0x3e7fffff, 0x3dffffff, 0x3dffffff], 'received');
    assertBits(diffused, [0x3de4f92d, 0x3d64f92d, 0x3de4f92d], 'diffused');
    assert.equal(bitsOf(flavour.lightDistance([1, 2, 0], demoLight)), 0x408f1bbd);
    assertBits(flavour.lightDirection([1, 2, 0], demoLight), [0xbee4f92e, 0, 0x3f64f92e], 'direction');
  }
});

test('a cosine of -0 stays -0 and a negative one becomes +0', () => {
  const light = { position: [-1, -0, -0], r: 1, g: 0.5, b: 0.5, intensity: 5 };
  for (const flavour of [lighting, lighting.portable]) {
    // In the plane, the light at (-1, -0, -0): (-0*0 + -2/2*0) + -0*1 = -0.
    const inPlane = flavour.diffusedEnergy(Float32Array.of(1, 0, 0), [0, 0, 1], [0.5, 0.5, 1], light);
    assertBits(inPlane, [0x80000000, 0x80000000, 0x80000000], 'in the plane');
    const behind = flavour.diffusedEnergy(Float32Array.of(1, 2, 0), [0, 0, 1], [0.5, 0.5, 1], {
      ...demoLight,
      position: [-1, 2, -4],
    });
    assertBits(behind, [0, 0, 0], 'behind');
    const behindNegative = flavour.diffusedEnergy(Float32Array.of(1, 2, 0), [0, 0, 1], [0.5, 0.5, 1], {
      ...demoLight,
      position: [-1, 2, -4],
      intensity: -5,
    });
    assertBits(behindNegative, [0x80000000, 0x80000000, 0x80000000], 'behind, negative intensity');
  }
});

test('dot_product sums y and x, then z, in double, and rounds once', () => {
  const tiny = 2 ** -24;
  const big = 2 ** 60; // big + 1 rounds to big in double
  for (const flavour of [lighting, lighting.portable, model]) {
    assert.equal(bitsOf(flavour.dotProduct([1, 1, 1], [tiny, 1, tiny])), 0x3f800001);
    assert.equal(bitsOf(flavour.dotProduct([1, 1, 1], [big, 1, -big])), 0); // not (x + z) + y
    assert.equal(bitsOf(flavour.dotProduct([1, 1, 1], [-big, big, 1])), 0x3f800000); // not (y + z) + x
  }
});

// --- the golden vectors, default flavour ----------------------------------------

function loadGolden() {
  const path = process.env.LIGHTING_GOLDEN_VECTORS;
  if (!path) return null;
  const cases = [];
  for (const line of readFileSync(path, 'utf8').split('\n')) {
    if (line === '' || line.startsWith('#')) continue;
    const [name, ...words] = line.split(' ');
    const values = words.map((word) => parseInt(word, 16));
    cases.push({ name, inputs: values.slice(0, 16), outputs: values.slice(16) });
  }
  return cases;
}

function scene(inputs) {
  const f = inputs.map(fromBits);
  return {
    point: f.slice(0, 3),
    normal: f.slice(3, 6),
    reflectance: f.slice(6, 9),
    light: { position: f.slice(9, 12), r: f[12], g: f[13], b: f[14], intensity: f[15] },
  };
}

test('the default flavour gives every golden vector that does not depend on the pow', (t) => {
  const cases = loadGolden();
  if (cases === null) return t.skip('LIGHTING_GOLDEN_VECTORS is not set');
  // The pow witnesses round differently with different C libraries; the
  // native golden test checks them against this platform's pow.
  const checked = cases.filter((golden) => golden.name !== 'pow_not_sqrt');
  assert.ok(checked.length > 6000);
  const points = new Float32Array(3 * checked.length);
  for (const [c, golden] of checked.entries()) {
    const { point, normal, reflectance, light } = scene(golden.inputs);
    const what = `golden ${golden.name} #${c}`;
    const o = golden.outputs;
    assertBits([lighting.lightDistance(point, light)], [o[0]], `${what} distance`);
    assertBits(lighting.lightDirection(point, light), o.slice(1, 4), `${what} direction`);
    assertBits([lighting.dotProduct(normal, reflectance)], [o[4]], `${what} dot`);
    assertBits(lighting.receivedEnergy(Float32Array.from(point), light), o.slice(5, 8), `${what} received`);
    assertBits(
      lighting.diffusedEnergy(Float32Array.from(point), normal, reflectance, light),
      o.slice(8, 11),
      `${what} diffused`,
    );
    points.set(point, 3 * c);
  }
});

// --- the portable flavour against a model --------------------------------------

// The formulas in JavaScript's double arithmetic, which has no fused
// multiply-add and an IEEE square root: the portable flavour's bits exactly.
const f32 = Math.fround;
const model = {
  lightDistance(p, light) {
    const [lx, ly, lz] = light.position;
    const dx = p[0] - lx;
    const dy = p[1] - ly;
    const dz = p[2] - lz;
    return f32(Math.sqrt(dx * dx + dy * dy + dz * dz));
  },
  lightDirection(p, light) {
    const [lx, ly, lz] = light.position;
    const dx = lx - p[0];
    const dy = ly - p[1];
    const dz = lz - p[2];
    const length = Math.sqrt(dx * dx + dy * dy + dz * dz);
    return [f32(dx / length), f32(dy / length), f32(dz / length)];
  },
  dotProduct(a, b) {
    return f32(a[1] * b[1] + a[0] * b[0] + a[2] * b[2]);
  },
  receivedEnergy(p, light) {
    const distance = model.lightDistance(p, light);
    const falloff = f32(1 / distance / distance);
    const scale = falloff * light.intensity;
    return [f32(scale * light.r), f32(scale * light.g), f32(scale * light.b)];
  },
  diffusedEnergy(p, normal, reflectance, light) {
    const received = model.receivedEnergy(p, light);
    let cosine = model.dotProduct(model.lightDirection(p, light), normal);
    if (cosine < 0) cosine = 0; // -0 and NaN pass unchanged
    return [0, 1, 2].map((i) => f32(received[i] * cosine * reflectance[i]));
  },
};

// Deterministic float32 inputs: ordinary values, integers (whose roots can
// sit next to float midpoints), specials (zeros, infinities, NaN, subnormals,
// extremes), -1 to 1 with both zeros (cosines of -0), and powers of two far
// apart (dot products whose order of summation shows).
function* randomScenes(count, seed) {
  let state = BigInt(seed);
  const next = () => {
    state = (state * 6364136223846793005n + 1442695040888963407n) & 0xffffffffffffffffn;
    return Number(state >> 32n);
  };
  const specials = [0, -0, Infinity, -Infinity, NaN, 2 ** -149, -(2 ** -149), 2 ** -126, 3.4028234663852886e38, 1, -1, 2 ** 64];
  const units = [-1, -0, 0, 1];
  const value = () => {
    const kind = next() % 10;
    if (kind === 0) return specials[next() % specials.length];
    if (kind === 1) return fromBits(next() >>> 0);
    if (kind === 2) return units[next() % units.length];
    if (kind === 3) return (next() % 2 ? -1 : 1) * 2 ** ((next() % 5) * 15);
    if (kind <= 5) return (next() % 2001) - 1000;
    return f32(((next() / 2 ** 32) * 2 - 1) * 2 ** ((next() % 40) - 20));
  };
  for (let i = 0; i < count; ++i) {
    const v = () => [value(), value(), value()];
    yield {
      point: v(),
      normal: v(),
      reflectance: v(),
      light: { position: v(), r: value(), g: value(), b: value(), intensity: value() },
    };
  }
}

test('the portable flavour computes the formulas with the correctly rounded root', () => {
  const portable = lighting.portable;
  for (const s of randomScenes(20000, 1)) {
    const what = `scene ${JSON.stringify(s, (k, v) => (typeof v === 'number' ? hex(bitsOf(v)) : v))}`;
    assertBits([portable.lightDistance(s.point, s.light)], [bitsOf(model.lightDistance(s.point, s.light))], `${what} distance`);
    assertBits(portable.lightDirection(s.point, s.light), model.lightDirection(s.point, s.light).map(bitsOf), `${what} direction`);
    assertBits([portable.dotProduct(s.normal, s.reflectance)], [bitsOf(model.dotProduct(s.normal, s.reflectance))], `${what} dot`);
    assertBits(portable.receivedEnergy(Float32Array.from(s.point), s.light), model.receivedEnergy(s.point, s.light).map(bitsOf), `${what} received`);
    assertBits(
      portable.diffusedEnergy(Float32Array.from(s.point), s.normal, s.reflectance, s.light),
      model.diffusedEnergy(s.point, s.normal, s.reflectance, s.light).map(bitsOf),
      `${what} diffused`,
    );
  }
});

// --- the batch forms --------------------------------------------------------------

test('the batch forms give each point the bits of a batch of one, in both flavours', () => {
  const scenes = [...randomScenes(3000, 2)];
  const light = scenes[0].light;
  const points = Float32Array.from(scenes.flatMap((s) => s.point));
  const normals = Float32Array.from(scenes.flatMap((s) => s.normal));
  const reflectances = Float32Array.from(scenes.flatMap((s) => s.reflectance));
  const [normal, reflectance] = [scenes[1].normal, scenes[1].reflectance];
  for (const flavour of [lighting, lighting.portable]) {
    const received = flavour.receivedEnergy(points, light);
    const onePlane = flavour.diffusedEnergy(points, normal, reflectance, light);
    const perPoint = flavour.diffusedEnergy(points, normals, reflectances, light);
    for (let i = 0; i < scenes.length; ++i) {
      const point = points.subarray(3 * i, 3 * i + 3);
      const at = (array) => Array.from(array.subarray(3 * i, 3 * i + 3), bitsOf);
      assertBits(flavour.receivedEnergy(point, light), at(received), `received ${i}`);
      assertBits(flavour.diffusedEnergy(point, normal, reflectance, light), at(onePlane), `one plane ${i}`);
      const own = [normals.subarray(3 * i, 3 * i + 3), reflectances.subarray(3 * i, 3 * i + 3)];
      assertBits(flavour.diffusedEnergy(point, own[0], own[1], light), at(perPoint), `per point ${i}`);
    }
  }
});

test('out is filled and returned, and may be the points array itself', () => {
  const points = Float32Array.of(1, 2, 0, 3, -1, 2);
  const expected = Array.from(lighting.diffusedEnergy(points, [0, 0, 1], [0.5, 0.5, 1], demoLight), bitsOf);
  const out = new Float32Array(6);
  assert.equal(lighting.diffusedEnergy(points, [0, 0, 1], [0.5, 0.5, 1], demoLight, out), out);
  assertBits(out, expected, 'out');
  assert.equal(lighting.diffusedEnergy(points, [0, 0, 1], [0.5, 0.5, 1], demoLight, points), points);
  assertBits(points, expected, 'in place');
  assertBits(lighting.receivedEnergy(new Float32Array(0), demoLight), [], 'no points');
});

test('a batch of a million points keeps the bits (in chunks through fixed staging memory)', () => {
  const count = 1 << 20;
  const points = new Float32Array(3 * count);
  for (let i = 0; i < count; ++i) points.set([(i % 1024) / 100, Math.floor(i / 1024) / 100, 0], 3 * i);
  const result = lighting.portable.diffusedEnergy(points, [0, 0, 1], [0.5, 0.5, 1], demoLight);
  for (const i of [0, 1, 777777, count - 1]) {
    const p = Array.from(points.subarray(3 * i, 3 * i + 3));
    assertBits(result.subarray(3 * i, 3 * i + 3), model.diffusedEnergy(p, [0, 0, 1], [0.5, 0.5, 1], demoLight).map(bitsOf), `point ${i}`);
  }
});

test('bad arguments are refused with an error, and nothing is written', () => {
  const out = Float32Array.of(7, 7, 7);
  assert.throws(() => lighting.receivedEnergy([1, 2, 0], demoLight), TypeError);
  assert.throws(() => lighting.receivedEnergy(Float32Array.of(1, 2), demoLight), RangeError);
  assert.throws(() => lighting.receivedEnergy(Float32Array.of(1, 2, 0), demoLight, new Float32Array(6)), RangeError);
  assert.throws(() => lighting.diffusedEnergy(Float32Array.of(1, 2, 0, 1, 2, 0), new Float32Array(3 * 3), [1, 1, 1], demoLight, out), RangeError);
  assert.throws(() => lighting.lightDistance([1, 2], demoLight), RangeError); // a wrong length
  assert.throws(() => lighting.lightDistance([1, 2, 0], { r: 1 }), TypeError);
  // Values that are not numbers would become NaN or another float silently.
  const { intensity, ...noIntensity } = demoLight;
  assert.equal(intensity, 5);
  assert.throws(() => lighting.receivedEnergy(Float32Array.of(1, 2, 0), noIntensity, out), TypeError);
  assert.throws(() => lighting.receivedEnergy(Float32Array.of(1, 2, 0), { ...demoLight, intensity: '5' }, out), TypeError);
  assert.throws(() => lighting.diffusedEnergy(Float32Array.of(1, 2, 0), ['0', '0', '1'], [1, 1, 1], demoLight, out), TypeError);
  assert.throws(() => lighting.lightDistance('120', demoLight), TypeError);
  assert.throws(() => lighting.dotProduct([1, 2, 3], [null, undefined, {}]), TypeError);
  assert.throws(() => lighting.dotProduct([1n, 2n, 3n], [1, 2, 3]), TypeError);
  assertBits(out, [0x40e00000, 0x40e00000, 0x40e00000], 'out after refusals');
});

// --- loading -------------------------------------------------------------------

test('the module without SIMD gives the bits of the SIMD one, and each says which it is', async () => {
  const scalar = await createLighting({ simd: false });
  assert.equal(scalar.batchTarget, 'scalar-loop');
  assert.equal(lighting.batchTarget, 'wasm_simd128'); // node 20 has SIMD
  const scenes = [...randomScenes(4000, 3)];
  const points = Float32Array.from(scenes.flatMap((s) => s.point));
  const normals = Float32Array.from(scenes.flatMap((s) => s.normal));
  const reflectances = Float32Array.from(scenes.flatMap((s) => s.reflectance));
  for (const light of [scenes[0].light, demoLight, { ...demoLight, position: [0, 0, 2 ** -140] }]) {
    for (const [simd, plain] of [
      [lighting, scalar],
      [lighting.portable, scalar.portable],
    ]) {
      assertBits(simd.receivedEnergy(points, light), Array.from(plain.receivedEnergy(points, light), bitsOf), 'received');
      assertBits(
        simd.diffusedEnergy(points, normals, reflectances, light),
        Array.from(plain.diffusedEnergy(points, normals, reflectances, light), bitsOf),
        'per point',
      );
      assertBits(
        simd.diffusedEnergy(points, [0, 0, 1], [0.5, 0.5, 1], light),
        Array.from(plain.diffusedEnergy(points, [0, 0, 1], [0.5, 0.5, 1], light), bitsOf),
        'one plane',
      );
    }
  }
});

test('createLighting takes the module as bytes, a compiled module or a URL', async () => {
  const url = new URL('./node_modules/lighting/lighting-wasm.wasm', import.meta.url);
  const bytes = readFileSync(url);
  for (const source of [bytes, new Uint8Array(bytes).buffer, new WebAssembly.Module(bytes), url, url.href, { wasm: url }]) {
    const other = await createLighting(source);
    assertBits(other.diffusedEnergy(Float32Array.of(1, 2, 0), [0, 0, 1], [0.5, 0.5, 1], demoLight), [0x3de4f92d, 0x3d64f92d, 0x3de4f92d], `from ${describeSource(source)}`);
  }
  await assert.rejects(createLighting(new URL('./no-such.wasm', url)), /no-such\.wasm/);
  await assert.rejects(createLighting(new Uint8Array([0, 97, 115, 109])), WebAssembly.CompileError);
  await assert.rejects(createLighting(42), TypeError);
  await assert.rejects(createLighting({ simd: 'yes' }), /simd must be true or false/);
});
const describeSource = (source) => source?.constructor?.name ?? typeof source;

// --- module memory -------------------------------------------------------------

test('module arrays are shaded in place or into another, with the copying forms\' bits', () => {
  const count = 40000; // more than one chunk
  const scenes = [...randomScenes(count, 4)];
  const points = Float32Array.from(scenes.flatMap((s) => s.point));
  const light = scenes[0].light;
  for (const flavour of [lighting, lighting.portable]) {
    const input = flavour.allocate(points.length);
    const output = flavour.allocate(points.length);
    input.array.set(points);
    const expected = Array.from(flavour.diffusedEnergy(points, [0, 0, 1], [0.5, 0.5, 1], light), bitsOf);
    assert.equal(flavour.diffusedEnergy(input, [0, 0, 1], [0.5, 0.5, 1], light, output), output);
    assertBits(output.array, expected, 'into another module array');
    assertBits(input.array, Array.from(points, bitsOf), 'the input is left as it was');
    // A view of the module's memory is an array in place like the object itself.
    assert.equal(flavour.diffusedEnergy(input.array, [0, 0, 1], [0.5, 0.5, 1], light, input), input);
    assertBits(input.array, expected, 'in place');
    const received = Array.from(flavour.receivedEnergy(points, light), bitsOf);
    input.array.set(points);
    assertBits(flavour.receivedEnergy(input, light, output).array, received, 'received, into module memory');
    assertBits(flavour.receivedEnergy(input, light), received, 'received, into a new array');
    input.free();
    output.free();
  }
});

test('a view survives until allocate grows the memory; .array gives a new one', () => {
  const small = lighting.allocate(3);
  small.array.set([1, 2, 0]);
  const view = small.array;
  const big = lighting.allocate(3 * (1 << 22)); // 48 MiB: the memory must grow
  assert.equal(view.length, 0, 'the old view is detached');
  assert.notEqual(small.array, view);
  assertBits(small.array, [0x3f800000, 0x40000000, 0], 'the floats stay');
  assert.throws(() => lighting.diffusedEnergy(view, [0, 0, 1], [1, 1, 1], demoLight), /points is a Float32Array whose buffer is detached/);
  big.free();
  small.free();
  assert.equal(small.freed, true);
  assert.throws(() => small.array, /has been freed/);
  assert.throws(() => lighting.receivedEnergy(small, demoLight), /points is a ModuleArray that has been freed/);
  small.free(); // twice is harmless
  assert.throws(() => lighting.allocate(-1), RangeError);
  assert.throws(() => lighting.allocate(1.5), RangeError);
  assert.throws(() => lighting.allocate('3'), TypeError);
});

test('an output overlapping an input other than exactly the points is refused in module memory', () => {
  const block = lighting.allocate(12);
  const whole = block.array;
  const points = whole.subarray(0, 6);
  const shifted = whole.subarray(3, 9);
  assert.throws(() => lighting.receivedEnergy(points, demoLight, shifted), /output overlaps an input/);
  const normals = whole.subarray(6, 12);
  normals.set([0, 0, 1, 0, 0, 1]);
  assert.throws(() => lighting.diffusedEnergy(points, normals, normals, demoLight, normals), /output overlaps an input/);
  // Outside module memory the inputs are copied first, as all along.
  const plain = Float32Array.of(1, 2, 0, 1, 2, 0, 1, 2, 0);
  const expected = Array.from(lighting.receivedEnergy(Float32Array.of(1, 2, 0, 1, 2, 0), demoLight), bitsOf);
  lighting.receivedEnergy(plain.subarray(0, 6), demoLight, plain.subarray(3, 9));
  assertBits(plain.subarray(3, 9), expected, 'overlapping, outside module memory');
  block.free();
});

// --- arguments -----------------------------------------------------------------

test('a 3-number normal with per-point reflectances, and the reverse, give the per-point bits', () => {
  const scenes = [...randomScenes(100, 5)];
  const points = Float32Array.from(scenes.flatMap((s) => s.point));
  const reflectances = Float32Array.from(scenes.flatMap((s) => s.reflectance));
  const normal = [0.25, -0.5, 1];
  const normals = Float32Array.from(scenes.flatMap(() => normal));
  const light = scenes[0].light;
  for (const flavour of [lighting, lighting.portable]) {
    const expected = Array.from(flavour.diffusedEnergy(points, normals, reflectances, light), bitsOf);
    assertBits(flavour.diffusedEnergy(points, normal, reflectances, light), expected, 'normal for all');
    const uniform = [0.5, 2, 0.125];
    const each = Float32Array.from(scenes.flatMap(() => uniform));
    assertBits(
      flavour.diffusedEnergy(points, normals, uniform, light),
      Array.from(flavour.diffusedEnergy(points, normals, each, light), bitsOf),
      'reflectance for all',
    );
  }
});

test('errors: TypeError for a missing or wrong type, RangeError for a wrong length, naming the argument', () => {
  const points = Float32Array.of(1, 2, 0, 3, 4, 0);
  const cases = [
    [() => lighting.diffusedEnergy(points, undefined, [1, 1, 1], demoLight), TypeError, /^lighting: normal must be 3 numbers or a Float32Array of 6 floats .*not undefined$/],
    [() => lighting.diffusedEnergy(points, [0, 0, 1], null, demoLight), TypeError, /^lighting: reflectance must .*not null$/],
    [() => lighting.diffusedEnergy(points, [0, 0, 1], [1, 1, 1], demoLight, null), TypeError, /^lighting: out must be a Float32Array/],
    [() => lighting.diffusedEnergy(points, [0, 0], [1, 1, 1], demoLight), RangeError, /^lighting: normal must be .*; it holds 2$/],
    [() => lighting.diffusedEnergy(points, new Float32Array(9), [1, 1, 1], demoLight), RangeError, /normal .*it holds 9/],
    [() => lighting.receivedEnergy(points, demoLight, new Float32Array(3)), RangeError, /^lighting: out holds 3 floats, not 6$/],
    [() => lighting.receivedEnergy(Float32Array.of(1, 2), demoLight), RangeError, /^lighting: points holds 2 floats/],
    [() => lighting.receivedEnergy([1, 2, 0], demoLight), TypeError, /^lighting: points must be a Float32Array .*not an array of 3$/],
    [() => lighting.receivedEnergy(points, undefined), TypeError, /^lighting: light must be .*not undefined$/],
    [() => lighting.receivedEnergy(points, { ...demoLight, position: [1, 2] }), RangeError, /^lighting: light.position must be 3 numbers, not 2$/],
    [() => lighting.receivedEnergy(points, { ...demoLight, g: '0.5' }), TypeError, /^lighting: light.g must be a number, not string$/],
    [() => lighting.lightDistance(undefined, demoLight), TypeError, /^lighting: point must be 3 numbers, not undefined$/],
    [() => lighting.dotProduct([1, 2, 3], [1, 2]), RangeError, /^lighting: b must be 3 numbers, not 2$/],
  ];
  for (const [call, type, message] of cases) {
    assert.throws(call, (error) => error instanceof type && message.test(error.message), String(message));
  }
});

test('a detached buffer gets the package\'s own message', () => {
  const points = Float32Array.of(1, 2, 0);
  structuredClone(points.buffer, { transfer: [points.buffer] });
  assert.throws(() => lighting.receivedEnergy(points, demoLight), (error) => error instanceof TypeError && /^lighting: points is a Float32Array whose buffer is detached/.test(error.message));
  const normal = Float32Array.of(0, 0, 1);
  structuredClone(normal.buffer, { transfer: [normal.buffer] });
  assert.throws(() => lighting.lightDistance(normal, demoLight), /lighting: point is a Float32Array whose buffer is detached/);
});

test('each field is read once: a getter that changes after the check cannot slip through', () => {
  let reads = 0;
  const fickle = {
    position: [-1, 2, 4],
    r: 1,
    g: 0.5,
    b: 0.5,
    get intensity() {
      ++reads;
      return reads === 1 ? 5 : 'five';
    },
  };
  assertBits(lighting.receivedEnergy(Float32Array.of(1, 2, 0), fickle), [0x3e7fffff, 0x3dffffff, 0x3dffffff], 'received');
  assert.equal(reads, 1);
  let elementReads = 0;
  const normal = { length: 3, 0: 0, 1: 0, get 2() { ++elementReads; return elementReads === 1 ? 1 : {}; } };
  assertBits(lighting.diffusedEnergy(Float32Array.of(1, 2, 0), normal, [0.5, 0.5, 1], demoLight), [0x3de4f92d, 0x3d64f92d, 0x3de4f92d], 'diffused');
  assert.equal(elementReads, 1);
});

// --- the renderer's picture and the demo's report ------------------------------

test('report gives the demo\'s two lines, and render the renderer\'s picture', () => {
  const demoLines = 'Energie recue    : 0.250000 0.125000 0.125000\nEnergie diffusee : 0.111803 0.055902 0.111803\n';
  assert.equal(lighting.report(), demoLines);
  assert.equal(lighting.portable.report(), demoLines);
  // printf's rounding, not toFixed's: 2^-7 = 0.0078125 is a tie, to even.
  const tie = { point: [0, 0, 0], normal: [0, 0, 1], reflectance: [1, 1, 1], light: { position: [0, 0, 1], r: 2 ** -7, g: 1, b: 1, intensity: 1 } };
  assert.match(lighting.report(tie), /^Energie recue    : 0\.007812 1\.000000 1\.000000\n/);
  const picture = lighting.render({ width: 5, height: 3 });
  assert.equal(picture.rgba.length, 5 * 3 * 4);
  assert.equal(picture.energy.length, 5 * 3 * 3);
  let brightest = 0;
  for (const value of picture.energy) brightest = Math.max(brightest, value);
  assert.equal(picture.exposure, 1 / brightest); // the brightest channel maps to 1
  assert.equal(picture.rgba.filter((_, i) => i % 4 === 3).every((alpha) => alpha === 255), true);
  assert.equal(Math.max(...picture.rgba.filter((_, i) => i % 4 !== 3)), 255);
  // Each pixel's energy is the batch's at the pixel's centre: the middle
  // pixel of an odd-sized patch is the scene's point itself.
  const middle = 3 * (1 * 5 + 2);
  assertBits(picture.energy.subarray(middle, middle + 3), [0x3de4f92d, 0x3d64f92d, 0x3de4f92d], 'centre');
  assert.throws(() => lighting.render({ width: 0, height: 3 }), RangeError);
  assert.throws(() => lighting.render({ width: 2, height: '3' }), TypeError);
  assert.throws(() => lighting.render({ width: 2, height: 3, extent: -1 }), RangeError);
  assert.throws(() => lighting.render({ width: 2, height: 3, scene: { ...tie, normal: [0, 0, 0] } }), /normal must be non-zero/);
});

test('an engine that refuses the SIMD probe gets the module without SIMD', async () => {
  const validate = WebAssembly.validate;
  WebAssembly.validate = () => false;
  try {
    const chosen = await createLighting();
    assert.equal(chosen.batchTarget, 'scalar-loop');
    assertBits(chosen.diffusedEnergy(Float32Array.of(1, 2, 0), [0, 0, 1], [0.5, 0.5, 1], demoLight), [0x3de4f92d, 0x3d64f92d, 0x3de4f92d], 'scalar module');
  } finally {
    WebAssembly.validate = validate;
  }
});
