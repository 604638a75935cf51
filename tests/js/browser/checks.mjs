// Bit-for-bit checks of the package that run alike in node, in a page and in
// a worker: the golden vectors of both flavours and a slice of the one-hash
// cases against the native library's outputs (determinism_slice.cpp), through
// the scalar functions and the three batch forms. Returns how many values
// were compared and the first failures, each naming its case and output.

const OUTPUTS = [
  'light_distance', 'light_direction.x', 'light_direction.y', 'light_direction.z', 'dot_product',
  'received_energy.x', 'received_energy.y', 'received_energy.z', 'diffused_energy.x',
  'diffused_energy.y', 'diffused_energy.z', 'one_plane.x', 'one_plane.y', 'one_plane.z',
];
const GROUP_SIZE = 16;
const CASE_WORDS = 9 + 2 * OUTPUTS.length;
const GROUP_WORDS = 7 + GROUP_SIZE * CASE_WORDS;

const words = new Uint32Array(1);
const floats = new Float32Array(words.buffer);
const bitsOf = (value) => {
  floats[0] = value;
  return words[0];
};
const fromBits = (word) => {
  words[0] = word;
  return floats[0];
};
const hex = (word) => word.toString(16).padStart(8, '0');
// A NaN's sign and payload are not part of the contract: one word for all.
const canonical = (word) => ((word & 0x7fffffff) > 0x7f800000 ? 0x7fc00000 : word);

class Report {
  constructor(limit = 20) {
    this.compared = 0;
    this.failed = 0;
    this.failures = [];
    this.limit = limit;
  }
  expect(actualWord, expectedWord, what) {
    ++this.compared;
    if (canonical(actualWord >>> 0) === canonical(expectedWord >>> 0)) return;
    ++this.failed;
    if (this.failures.length < this.limit) {
      this.failures.push(`${what}: ${hex(actualWord >>> 0)}, expected ${hex(expectedWord >>> 0)}`);
    }
  }
  triple(actual, expected, offset, what, names) {
    for (let i = 0; i < 3; ++i) this.expect(bitsOf(actual[i]), expected[offset + i], `${what} ${names[offset + i]}`);
  }
}

// Golden vector files: name, 16 input words, 11 output words per line.
export function parseGolden(text) {
  const cases = [];
  for (const line of text.split('\n')) {
    if (line === '' || line.startsWith('#')) continue;
    const [name, ...fields] = line.trim().split(/\s+/);
    const values = fields.map((field) => parseInt(field, 16));
    cases.push({ name, inputs: values.slice(0, 16), outputs: values.slice(16) });
  }
  return cases;
}

const GOLDEN_OUTPUTS = OUTPUTS.slice(0, 11);

function checkGolden(flavour, cases, label, report) {
  const points = new Float32Array(3 * cases.length);
  for (const [index, golden] of cases.entries()) {
    const f = golden.inputs.map(fromBits);
    const point = f.slice(0, 3);
    const normal = f.slice(3, 6);
    const reflectance = f.slice(6, 9);
    const light = { position: f.slice(9, 12), r: f[12], g: f[13], b: f[14], intensity: f[15] };
    const o = golden.outputs;
    const what = `${label} golden ${golden.name} #${index}`;
    report.expect(bitsOf(flavour.lightDistance(point, light)), o[0], `${what} light_distance`);
    report.triple(flavour.lightDirection(point, light), o, 1, what, GOLDEN_OUTPUTS);
    report.expect(bitsOf(flavour.dotProduct(normal, reflectance)), o[4], `${what} dot_product`);
    report.triple(flavour.receivedEnergy(Float32Array.from(point), light), o, 5, what, GOLDEN_OUTPUTS);
    report.triple(flavour.diffusedEnergy(Float32Array.from(point), normal, reflectance, light), o, 8, what, GOLDEN_OUTPUTS);
    points.set(point, 3 * index);
  }
}

// The one-hash slice: every case through the scalar functions, and each
// group through the batch forms, against the native words.
function checkSlice(flavour, data, which, label, report) {
  const groups = Math.floor(data.length / GROUP_WORDS);
  const points = new Float32Array(3 * GROUP_SIZE);
  const normals = new Float32Array(3 * GROUP_SIZE);
  const reflectances = new Float32Array(3 * GROUP_SIZE);
  const out = new Float32Array(3 * GROUP_SIZE);
  for (let g = 0; g < groups; ++g) {
    const base = g * GROUP_WORDS;
    const l = Array.from(data.subarray(base, base + 7), fromBits);
    const light = { position: l.slice(0, 3), r: l[3], g: l[4], b: l[5], intensity: l[6] };
    const expected = [];
    for (let i = 0; i < GROUP_SIZE; ++i) {
      const at = base + 7 + i * CASE_WORDS;
      const inputs = Array.from(data.subarray(at, at + 9), fromBits);
      points.set(inputs.slice(0, 3), 3 * i);
      normals.set(inputs.slice(3, 6), 3 * i);
      reflectances.set(inputs.slice(6, 9), 3 * i);
      const first = at + 9 + which * OUTPUTS.length;
      expected.push(data.subarray(first, first + OUTPUTS.length));
    }
    const plane = [normals.slice(0, 3), reflectances.slice(0, 3)];
    for (let i = 0; i < GROUP_SIZE; ++i) {
      const what = `${label} one-hash case ${g * GROUP_SIZE + i}`;
      const e = expected[i];
      const point = points.subarray(3 * i, 3 * i + 3);
      const normal = normals.subarray(3 * i, 3 * i + 3);
      const reflectance = reflectances.subarray(3 * i, 3 * i + 3);
      report.expect(bitsOf(flavour.lightDistance(point, light)), e[0], `${what} light_distance`);
      report.triple(flavour.lightDirection(point, light), e, 1, what, OUTPUTS);
      report.expect(bitsOf(flavour.dotProduct(normal, reflectance)), e[4], `${what} dot_product`);
    }
    const batch = (offset, name) => {
      for (let i = 0; i < GROUP_SIZE; ++i) {
        report.triple(out.subarray(3 * i, 3 * i + 3), expected[i], offset,
          `${label} one-hash case ${g * GROUP_SIZE + i} (${name})`, OUTPUTS);
      }
    };
    flavour.receivedEnergy(points, light, out);
    batch(5, 'batch');
    flavour.diffusedEnergy(points, normals, reflectances, light, out);
    batch(8, 'batch, per point');
    flavour.diffusedEnergy(points, plane[0], plane[1], light, out);
    batch(11, 'batch, one plane');
  }
  return groups * GROUP_SIZE;
}

// golden: { default: text, portable: text }; slice: Uint32Array of the
// native words. The default flavour's golden pow_not_sqrt witnesses round as
// the C library that wrote them; the module has its own pow.
export function runChecks(lighting, { golden, slice }, label) {
  const report = new Report();
  const defaultCases = parseGolden(golden.default).filter((c) => c.name !== 'pow_not_sqrt');
  const portableCases = parseGolden(golden.portable);
  checkGolden(lighting, defaultCases, `${label} default`, report);
  checkGolden(lighting.portable, portableCases, `${label} portable`, report);
  const cases = checkSlice(lighting.portable, slice, 1, `${label} portable`, report);
  checkSlice(lighting, slice, 0, `${label} default`, report);
  return {
    label,
    batchTarget: lighting.batchTarget,
    golden: defaultCases.length + portableCases.length,
    cases,
    compared: report.compared,
    failed: report.failed,
    failures: report.failures,
  };
}
