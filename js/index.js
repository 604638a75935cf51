// The lighting library for JavaScript: its C interface compiled to
// WebAssembly, with float32 arrays in and out. Every result carries the bits
// the native library gives: the portable flavour's everywhere, the default
// flavour's as a native build on the same pow (the C library's pow compiled
// into this module).
//
// One file for browsers, workers, node and bundlers: the only import is the
// module's loader, and the .wasm beside this file is fetched (or, from a
// file: URL under node, read with node's own fs, imported only then).
import createLightingModule from './lighting-wasm.mjs';

const FLOAT_BYTES = 4;
const VECTOR_FLOATS = 3;
const LIGHT_FLOATS = 7; // position x, y, z, then r, g, b, intensity
// Points per call into the module for the copying forms (and per call of the
// in-place forms): the staging buffers are allocated once, so no call grows
// the memory, and the engine's optimising tier takes over within a call.
const CHUNK_POINTS = 16384;

const STATUS_MESSAGES = {
  1: 'lighting: a pointer argument is null',
  2: 'lighting: the output overlaps an input',
};

// A module of one i8x16.popcnt: valid only where WebAssembly SIMD is.
const SIMD_PROBE = new Uint8Array([
  0, 97, 115, 109, 1, 0, 0, 0, 1, 5, 1, 96, 0, 1, 123, 3, 2, 1, 0, 10, 10, 1, 8, 0, 65, 0, 253, 15,
  253, 98, 11,
]);

const describe = (value) => {
  if (value === null) return 'null';
  if (Array.isArray(value)) return `an array of ${value.length}`;
  if (ArrayBuffer.isView(value)) return `a ${value.constructor.name} of ${value.length}`;
  return typeof value === 'object' ? 'an object' : typeof value;
};

// --- arguments, each field read once ----------------------------------------

function isDetached(buffer) {
  if (typeof buffer.detached === 'boolean') return buffer.detached;
  if (buffer.byteLength !== 0) return false;
  try {
    new Uint8Array(buffer); // eslint-disable-line no-new
    return false;
  } catch {
    return true;
  }
}

function requireAttached(array, name) {
  if (isDetached(array.buffer)) {
    throw new TypeError(
      `lighting: ${name} is a Float32Array whose buffer is detached (transferred, or a module memory that has grown)`,
    );
  }
}

// Only numbers: a string, undefined or an object would become NaN or some
// other float silently in the float32 copy.
function requireNumber(value, name) {
  if (typeof value !== 'number') {
    throw new TypeError(`lighting: ${name} must be a number, not ${describe(value)}`);
  }
  return value;
}

// Three numbers, read once each: the values as they were when checked.
function readVector(vector, name) {
  if (vector == null || typeof vector !== 'object') {
    throw new TypeError(`lighting: ${name} must be 3 numbers, not ${describe(vector)}`);
  }
  if (ArrayBuffer.isView(vector)) requireAttached(vector, name);
  const length = vector.length;
  if (typeof length !== 'number') {
    throw new TypeError(`lighting: ${name} must be 3 numbers, not ${describe(vector)}`);
  }
  if (length !== VECTOR_FLOATS) {
    throw new RangeError(`lighting: ${name} must be 3 numbers, not ${length}`);
  }
  const x = vector[0];
  const y = vector[1];
  const z = vector[2];
  return [
    requireNumber(x, `${name}[0]`),
    requireNumber(y, `${name}[1]`),
    requireNumber(z, `${name}[2]`),
  ];
}

function readLight(light) {
  if (light == null || typeof light !== 'object') {
    throw new TypeError(
      `lighting: light must be { position: [x, y, z], r, g, b, intensity }, not ${describe(light)}`,
    );
  }
  const position = readVector(light.position, 'light.position');
  const r = requireNumber(light.r, 'light.r');
  const g = requireNumber(light.g, 'light.g');
  const b = requireNumber(light.b, 'light.b');
  const intensity = requireNumber(light.intensity, 'light.intensity');
  return [position[0], position[1], position[2], r, g, b, intensity];
}

const DEMO_SCENE = Object.freeze({
  point: [1, 2, 0],
  normal: [0, 0, 1],
  reflectance: [0.5, 0.5, 1],
  light: [-1, 2, 4, 1, 0.5, 0.5, 5],
});

// --- the module --------------------------------------------------------------

// The compiled module and the instance, from whatever the caller gave.
async function instantiate(source, imports) {
  if (source instanceof WebAssembly.Module) {
    return { instance: await WebAssembly.instantiate(source, imports), module: source };
  }
  if (source instanceof ArrayBuffer || ArrayBuffer.isView(source)) {
    return WebAssembly.instantiate(source, imports);
  }
  let response = await source;
  if (typeof response === 'string' || response instanceof URL) {
    const url = new URL(response, import.meta.url);
    if (url.protocol === 'file:') {
      // node (fetch refuses file: URLs there). A computed name, so that a
      // bundler for browsers does not try to resolve it.
      const fs = 'node:fs/promises';
      const { readFile } = await import(/* webpackIgnore: true */ fs);
      return WebAssembly.instantiate(await readFile(url), imports);
    }
    response = fetch(url, { credentials: 'same-origin' });
  }
  if (typeof WebAssembly.instantiateStreaming === 'function') {
    try {
      return await WebAssembly.instantiateStreaming(response, imports);
    } catch (error) {
      // A server that does not send application/wasm: compile from bytes.
      if (!(error instanceof TypeError)) throw error;
      response = await response;
      if (!response.ok) throw error;
    }
  }
  const resolved = await response;
  if (!resolved.ok) {
    throw new Error(`lighting: could not fetch ${resolved.url}: ${resolved.status} ${resolved.statusText}`);
  }
  return WebAssembly.instantiate(await resolved.arrayBuffer(), imports);
}

// Options: a source, or { wasm: source, simd: boolean }. A source is the
// module's bytes, a WebAssembly.Module, a URL (or its string) or a Response.
function parseOptions(options) {
  const isSource =
    options instanceof ArrayBuffer ||
    ArrayBuffer.isView(options) ||
    options instanceof WebAssembly.Module ||
    options instanceof URL ||
    typeof options === 'string' ||
    (typeof Response === 'function' && options instanceof Response) ||
    (options != null && typeof options.then === 'function');
  if (isSource) return { wasm: options, simd: undefined };
  if (options === undefined) return { wasm: undefined, simd: undefined };
  if (options === null || typeof options !== 'object') {
    throw new TypeError(
      `lighting: createLighting takes the module's bytes, a URL, a Response or { wasm, simd }, not ${describe(options)}`,
    );
  }
  const { wasm, simd } = options;
  if (simd !== undefined && typeof simd !== 'boolean') {
    throw new TypeError(`lighting: simd must be true or false, not ${describe(simd)}`);
  }
  return { wasm, simd };
}

async function loadModule(wasm) {
  let failed;
  const failure = new Promise((resolve, reject) => {
    failed = reject;
  });
  const module = createLightingModule({
    instantiateWasm(imports, receiveInstance) {
      instantiate(wasm, imports).then(
        ({ instance, module: compiled }) => receiveInstance(instance, compiled),
        failed,
      );
      return {};
    },
    print: () => {},
    printErr: () => {},
  });
  return Promise.race([module, failure]);
}

// --- module memory for the caller ------------------------------------------

const finalizer =
  typeof FinalizationRegistry === 'function'
    ? new FinalizationRegistry(({ module, address }) => module._free(address))
    : null;

// --- the functions ------------------------------------------------------------

function createApi(module) {
  const heap = () => module.HEAPF32;
  const memory = () => module.HEAPF32.buffer;
  const check = (status) => {
    if (status !== 0) throw new Error(STATUS_MESSAGES[status] ?? `lighting: status ${status}`);
  };
  const mustAllocate = (bytes) => {
    const address = module._malloc(bytes);
    if (address === 0) throw new RangeError('lighting: out of WebAssembly memory');
    return address;
  };

  // Small arguments and the staging buffers, allocated once: the memory never
  // grows inside a shading call.
  const SMALL = mustAllocate(32 * FLOAT_BYTES);
  const LIGHT = SMALL;
  const NORMAL = SMALL + 8 * FLOAT_BYTES;
  const REFLECTANCE = SMALL + 12 * FLOAT_BYTES;
  const A = SMALL + 16 * FLOAT_BYTES;
  const B = SMALL + 20 * FLOAT_BYTES;
  const OUT = SMALL + 24 * FLOAT_BYTES;
  const CHUNK_BYTES = CHUNK_POINTS * VECTOR_FLOATS * FLOAT_BYTES;
  const STAGE = [mustAllocate(CHUNK_BYTES), mustAllocate(CHUNK_BYTES), mustAllocate(CHUNK_BYTES)];

  const writeFloats = (address, values) => heap().set(values, address / FLOAT_BYTES);
  const readTriple = (address) => heap().slice(address / FLOAT_BYTES, address / FLOAT_BYTES + 3);

  class ModuleArray {
    #address;
    #length;
    #view = null;
    constructor(address, length) {
      this.#address = address;
      this.#length = length;
    }
    /** The floats: a view of the module's memory, made again after the memory grew. */
    get array() {
      if (this.#address === 0) throw new Error('lighting: this ModuleArray has been freed');
      const buffer = memory();
      if (this.#view === null || this.#view.buffer !== buffer) {
        this.#view = new Float32Array(buffer, this.#address, this.#length);
      }
      return this.#view;
    }
    get length() {
      return this.#length;
    }
    get freed() {
      return this.#address === 0;
    }
    free() {
      if (this.#address === 0) return;
      finalizer?.unregister(this);
      module._free(this.#address);
      this.#address = 0;
      this.#view = null;
    }
  }

  // Floats in the module's memory, zero-filled; freed by free() or, failing
  // that, when the object is collected. The only call that grows the memory.
  function allocate(length) {
    if (typeof length !== 'number') {
      throw new TypeError(`lighting: allocate takes a number of floats, not ${describe(length)}`);
    }
    if (!Number.isSafeInteger(length) || length < 0 || length > 2 ** 29) {
      throw new RangeError(`lighting: allocate takes a whole number of floats up to 2^29, not ${length}`);
    }
    const address = mustAllocate(Math.max(1, length) * FLOAT_BYTES);
    const result = new ModuleArray(address, length);
    result.array.fill(0);
    finalizer?.register(result, { module, address }, result);
    return result;
  }

  // A batch array argument: a Float32Array (or ModuleArray), resident when it
  // lies in the module's memory already.
  function batchArray(value, name, floats) {
    let array = value;
    if (value instanceof ModuleArray) {
      if (value.freed) throw new TypeError(`lighting: ${name} is a ModuleArray that has been freed`);
      array = value.array;
    } else if (!(value instanceof Float32Array)) {
      const per = floats === undefined ? '3 floats per point' : `${floats} floats`;
      throw new TypeError(`lighting: ${name} must be a Float32Array of ${per}, not ${describe(value)}`);
    }
    requireAttached(array, name);
    const length = array.length;
    if (floats === undefined ? length % VECTOR_FLOATS !== 0 : length !== floats) {
      const wanted = floats === undefined ? 'a multiple of 3 (3 per point)' : `${floats}`;
      throw new RangeError(`lighting: ${name} holds ${length} floats, not ${wanted}`);
    }
    const resident = array.buffer === memory();
    return { array, resident, address: resident ? array.byteOffset : 0 };
  }

  // normal or reflectance: 3 numbers for every point, or a Float32Array of
  // one triple per point; the two forms may be mixed.
  function surfaceArgument(value, name, points) {
    const isArray = value instanceof Float32Array || value instanceof ModuleArray;
    if (isArray && value.length === points.array.length && points.array.length !== VECTOR_FLOATS) {
      return batchArray(value, `${name} (one per point)`, points.array.length);
    }
    if (value == null || typeof value !== 'object' || typeof value.length !== 'number') {
      throw new TypeError(
        `lighting: ${name} must be 3 numbers or a Float32Array of ${points.array.length} floats (3 per point), not ${describe(value)}`,
      );
    }
    if (value.length !== VECTOR_FLOATS) {
      throw new RangeError(
        `lighting: ${name} must be 3 numbers or a Float32Array of ${points.array.length} floats (3 per point); it holds ${value.length}`,
      );
    }
    return { uniform: readVector(value instanceof ModuleArray ? value.array : value, name) };
  }

  // The output: out itself, or a new array.
  function outputArgument(out, points) {
    if (out === undefined) return { array: new Float32Array(points.array.length), resident: false, address: 0 };
    return batchArray(out, 'out', points.array.length);
  }

  const rangesOverlap = (a, b) =>
    a.array.buffer === b.array.buffer &&
    a.array.byteOffset < b.array.byteOffset + b.array.byteLength &&
    b.array.byteOffset < a.array.byteOffset + a.array.byteLength;

  // Shades [0, count) in chunks. inputs: the points first, then per-point
  // normals and reflectances; each is staged into module memory unless it is
  // there already. call(first point address, ..., out address, points).
  function runBatch(points, inputs, out, call) {
    // out may be points exactly; any other overlap with an input would let a
    // chunk's results change a later chunk's inputs.
    for (const input of inputs) {
      if (!rangesOverlap(out, input)) continue;
      if (input === points && out.array.byteOffset === points.array.byteOffset) continue;
      if (out.resident && input.resident) check(2);
      input.array = input.array.slice();
      input.resident = false;
    }
    const count = points.array.length / VECTOR_FLOATS;
    for (let first = 0; first < count; first += CHUNK_POINTS) {
      const n = Math.min(CHUNK_POINTS, count - first);
      const begin = first * VECTOR_FLOATS;
      const end = begin + n * VECTOR_FLOATS;
      const addresses = inputs.map((input, i) => {
        if (input.resident) return input.address + begin * FLOAT_BYTES;
        writeFloats(STAGE[i], input.array.subarray(begin, end));
        return STAGE[i];
      });
      // Into out directly, or into the points' staging buffer (in place).
      const outAddress = out.resident ? out.address + begin * FLOAT_BYTES : STAGE[0];
      check(call(addresses, n, outAddress));
      if (!out.resident) {
        out.array.set(heap().subarray(STAGE[0] / FLOAT_BYTES, STAGE[0] / FLOAT_BYTES + n * VECTOR_FLOATS), begin);
      }
    }
    return out;
  }

  // The functions of one flavour, calling the C functions named prefix + name.
  function flavour(prefix) {
    const c = (name) => module[`_${prefix}${name}`];
    const lightDistanceC = c('light_distance');
    const lightDirectionC = c('light_direction');
    const dotProductC = c('dot_product');
    const receivedEnergyBatchC = c('received_energy_batch');
    const diffusedEnergyBatchC = c('diffused_energy_batch');
    const diffusedEnergyBatchEachC = c('diffused_energy_batch_each');

    function lightDistance(point, light) {
      const p = readVector(point, 'point');
      const l = readLight(light);
      writeFloats(A, p);
      writeFloats(LIGHT, l);
      return lightDistanceC(A, LIGHT);
    }

    function lightDirection(point, light) {
      const p = readVector(point, 'point');
      const l = readLight(light);
      writeFloats(A, p);
      writeFloats(LIGHT, l);
      lightDirectionC(A, LIGHT, OUT);
      return readTriple(OUT);
    }

    function dotProduct(a, b) {
      const first = readVector(a, 'a');
      const second = readVector(b, 'b');
      writeFloats(A, first);
      writeFloats(B, second);
      return dotProductC(A, B);
    }

    function receivedEnergy(points, light, out) {
      const p = batchArray(points, 'points');
      const l = readLight(light);
      const o = outputArgument(out, p);
      writeFloats(LIGHT, l);
      runBatch(p, [p], o, ([pointsAddress], n, outAddress) =>
        receivedEnergyBatchC(pointsAddress, n, LIGHT, outAddress),
      );
      return out instanceof ModuleArray ? out : o.array;
    }

    // One normal and reflectance for every point (3 numbers each), or one per
    // point (Float32Arrays as long as points), or one of each.
    function diffusedEnergy(points, normal, reflectance, light, out) {
      const p = batchArray(points, 'points');
      const n = surfaceArgument(normal, 'normal', p);
      const r = surfaceArgument(reflectance, 'reflectance', p);
      const l = readLight(light);
      const o = outputArgument(out, p);
      writeFloats(LIGHT, l);
      if (n.uniform && r.uniform) {
        writeFloats(NORMAL, n.uniform);
        writeFloats(REFLECTANCE, r.uniform);
        runBatch(p, [p], o, ([pointsAddress], count, outAddress) =>
          diffusedEnergyBatchC(pointsAddress, count, NORMAL, REFLECTANCE, LIGHT, outAddress),
        );
      } else {
        // A uniform one beside a per-point one: repeated to one per point.
        const perPoint = (surface) => {
          if (!surface.uniform) return surface;
          const repeated = new Float32Array(p.array.length);
          for (let i = 0; i < repeated.length; i += 3) repeated.set(surface.uniform, i);
          return { array: repeated, resident: false, address: 0 };
        };
        runBatch(p, [p, perPoint(n), perPoint(r)], o, ([pa, na, ra], count, outAddress) =>
          diffusedEnergyBatchEachC(pa, na, ra, count, LIGHT, outAddress),
        );
      }
      return out instanceof ModuleArray ? out : o.array;
    }

    const portableFlag = prefix === 'lighting_portable_' ? 1 : 0;
    return Object.freeze({
      lightDistance,
      lightDirection,
      dotProduct,
      receivedEnergy,
      diffusedEnergy,
      allocate,
      render: (options) => renderPicture(options, portableFlag),
      report: (scene) => demoReport(scene, portableFlag),
    });
  }

  // The scene: the demo's unless given, every field read once.
  function readScene(scene) {
    if (scene === undefined) return DEMO_SCENE;
    if (scene === null || typeof scene !== 'object') {
      throw new TypeError(`lighting: scene must be { point, normal, reflectance, light }, not ${describe(scene)}`);
    }
    const { point, normal, reflectance, light } = scene;
    return {
      point: readVector(point, 'scene.point'),
      normal: readVector(normal, 'scene.normal'),
      reflectance: readVector(reflectance, 'scene.reflectance'),
      light: readLight(light),
    };
  }
  // The scene into the small arguments: point at A, normal, reflectance, light.
  function writeScene(s) {
    writeFloats(A, s.point);
    writeFloats(NORMAL, s.normal);
    writeFloats(REFLECTANCE, s.reflectance);
    writeFloats(LIGHT, s.light);
  }

  const MAX_SIDE = 4096;
  // lighting-render's picture of the scene: the patch, its automatic
  // exposure and sRGB codes from the renderer's own code in the module.
  function renderPicture(options, portableFlag) {
    if (options === null || typeof options !== 'object') {
      throw new TypeError(`lighting: render takes { width, height, extent, scene }, not ${describe(options)}`);
    }
    const { width, height, extent = 8, scene } = options;
    for (const [value, name] of [[width, 'width'], [height, 'height']]) {
      requireNumber(value, name);
      if (!Number.isInteger(value) || value < 1 || value > MAX_SIDE) {
        throw new RangeError(`lighting: ${name} must be a whole number from 1 to ${MAX_SIDE}, not ${value}`);
      }
    }
    requireNumber(extent, 'extent');
    if (!(extent > 0 && extent < Infinity)) {
      throw new RangeError(`lighting: extent must be positive and finite, not ${extent}`);
    }
    const s = readScene(scene);
    const pixels = width * height;
    const energy = allocate(3 * pixels);
    const rgba = mustAllocate(4 * pixels);
    try {
      writeScene(s);
      const exposureAddress = OUT; // a double: 8-byte aligned, two floats
      const nonFinite = Number(
        module._lighting_wasm_render(A, NORMAL, REFLECTANCE, LIGHT, width, height, extent,
          portableFlag, energy.array.byteOffset, rgba, exposureAddress),
      );
      if (nonFinite < 0) throw new RangeError('lighting: scene.normal must be non-zero and finite');
      return {
        width,
        height,
        exposure: new Float64Array(memory(), exposureAddress, 1)[0],
        nonFinite,
        energy: energy.array.slice(),
        rgba: new Uint8ClampedArray(memory(), rgba, 4 * pixels).slice(),
      };
    } finally {
      energy.free();
      module._free(rgba);
    }
  }

  // The demo's report for the scene's point: two lines, as printf writes them.
  function demoReport(scene, portableFlag) {
    const s = readScene(scene);
    writeScene(s);
    const capacity = 512;
    const text = mustAllocate(capacity);
    try {
      const length = module._lighting_wasm_report(A, NORMAL, REFLECTANCE, LIGHT, portableFlag, text, capacity);
      return new TextDecoder().decode(module.HEAPU8.slice(text, text + Math.min(length, capacity - 1)));
    } finally {
      module._free(text);
    }
  }

  const target = () => {
    const address = module._lighting_wasm_batch_target();
    let name = '';
    for (let i = address; module.HEAPU8[i] !== 0; ++i) name += String.fromCharCode(module.HEAPU8[i]);
    return name;
  };

  return { flavour, allocate, target, warm };

  // Runs each batch kernel over a few thousand points, enough calls for the
  // engine to compile them with its optimising tier before the first real
  // call needs them.
  function warm(flavours) {
    const points = new Float32Array(3 * 4096);
    for (let i = 0; i < points.length; ++i) points[i] = (i % 17) - 8;
    const light = { position: [0.5, 0.25, 3], r: 1, g: 1, b: 1, intensity: 1 };
    for (let round = 0; round < 8; ++round) {
      for (const f of flavours) {
        f.receivedEnergy(points, light);
        f.diffusedEnergy(points, [0, 0, 1], [1, 1, 1], light);
        f.diffusedEnergy(points, points, points, light);
      }
    }
  }
}

/**
 * Loads the WebAssembly module and returns the default flavour's functions,
 * with the portable flavour's as `portable`. By default the module beside
 * this file, on SIMD where the engine has it; `options` may name the
 * module's bytes, URL or Response instead, or be { wasm, simd }.
 */
export async function createLighting(options) {
  const { wasm, simd } = parseOptions(options);
  const useSimd = simd ?? WebAssembly.validate(SIMD_PROBE);
  const source =
    wasm ?? new URL(useSimd ? './lighting-wasm.wasm' : './lighting-wasm-scalar.wasm', import.meta.url);
  const module = await loadModule(source);
  const api = createApi(module);
  const defaultFlavour = api.flavour('lighting_');
  const portable = api.flavour('lighting_portable_');
  api.warm([defaultFlavour, portable]);
  return Object.freeze({
    ...defaultFlavour,
    portable,
    batchTarget: api.target(),
  });
}

export default createLighting;
