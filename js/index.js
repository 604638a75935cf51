// The lighting library for JavaScript: its C interface compiled to
// WebAssembly, with float32 arrays in and out. Every result carries the bits
// the native library gives: the portable flavour's everywhere, the default
// flavour's as a native build on the same pow (the C library's pow compiled
// into this module).
import { readFile } from 'node:fs/promises';
import createLightingModule from './lighting-wasm.cjs';

const FLOAT_BYTES = 4;
const VECTOR_FLOATS = 3;
const LIGHT_FLOATS = 7; // position x, y, z, then r, g, b, intensity

const STATUS_MESSAGES = {
  1: 'lighting: a pointer argument is null',
  2: 'lighting: the output overlaps an input',
};

function requirePoints(points, name) {
  if (!(points instanceof Float32Array)) {
    throw new TypeError(`lighting: ${name} must be a Float32Array of 3 floats per point`);
  }
  if (points.length % VECTOR_FLOATS !== 0) {
    throw new RangeError(`lighting: ${name} holds ${points.length} floats, not 3 per point`);
  }
}

// Only numbers: a string, undefined or an object would become NaN or some
// other float silently in the float32 copy.
function requireNumber(value, name) {
  if (typeof value !== 'number') {
    throw new TypeError(`lighting: ${name} must be a number, not ${typeof value}`);
  }
}

function requireVector(vector, name) {
  if (vector == null || typeof vector === 'string' || vector.length !== VECTOR_FLOATS) {
    throw new TypeError(`lighting: ${name} must hold 3 numbers`);
  }
  if (vector instanceof Float32Array || vector instanceof Float64Array) return;
  for (let i = 0; i < VECTOR_FLOATS; ++i) requireNumber(vector[i], `${name}[${i}]`);
}

function requireLight(light) {
  if (light == null || typeof light !== 'object') {
    throw new TypeError('lighting: light must be { position: [x, y, z], r, g, b, intensity }');
  }
  requireVector(light.position, 'light.position');
  for (const field of ['r', 'g', 'b', 'intensity']) requireNumber(light[field], `light.${field}`);
}

// The output array: out itself (which may be the points array), or a new one.
function outputFor(points, out) {
  if (out === undefined) return new Float32Array(points.length);
  if (!(out instanceof Float32Array) || out.length !== points.length) {
    throw new RangeError(`lighting: out must be a Float32Array of ${points.length} floats`);
  }
  return out;
}

// The functions of one flavour, calling the C functions named prefix + name.
function flavour(module, prefix) {
  const c = (name) => module[`_${prefix}${name}`];
  const lightDistanceC = c('light_distance');
  const lightDirectionC = c('light_direction');
  const dotProductC = c('dot_product');
  const receivedEnergyBatchC = c('received_energy_batch');
  const diffusedEnergyBatchC = c('diffused_energy_batch');
  const diffusedEnergyBatchEachC = c('diffused_energy_batch_each');

  // Runs body(address) with `floats` floats of module memory, freed after.
  // The heap may grow (and HEAPF32 be replaced) during a call, so views are
  // taken afresh each time.
  function withMemory(floats, body) {
    const address = module._malloc(Math.max(1, floats) * FLOAT_BYTES);
    if (address === 0) throw new RangeError('lighting: out of WebAssembly memory');
    try {
      return body(address);
    } finally {
      module._free(address);
    }
  }
  const heap = () => module.HEAPF32;
  const writeVector = (address, vector) => {
    heap().set([vector[0], vector[1], vector[2]], address / FLOAT_BYTES);
  };
  const writeLight = (address, light) => {
    const p = light.position;
    heap().set([p[0], p[1], p[2], light.r, light.g, light.b, light.intensity], address / FLOAT_BYTES);
  };
  const writeArray = (address, array) => heap().set(array, address / FLOAT_BYTES);
  const readVector = (address) => heap().slice(address / FLOAT_BYTES, address / FLOAT_BYTES + 3);
  const check = (status) => {
    if (status !== 0) throw new Error(STATUS_MESSAGES[status] ?? `lighting: status ${status}`);
  };
  // Copies the results, bit for bit (a typed-array copy keeps NaN payloads).
  const readInto = (out, address) => {
    out.set(heap().subarray(address / FLOAT_BYTES, address / FLOAT_BYTES + out.length));
    return out;
  };

  function lightDistance(point, light) {
    requireVector(point, 'point');
    requireLight(light);
    return withMemory(VECTOR_FLOATS + LIGHT_FLOATS, (address) => {
      const lightAddress = address + VECTOR_FLOATS * FLOAT_BYTES;
      writeVector(address, point);
      writeLight(lightAddress, light);
      return lightDistanceC(address, lightAddress);
    });
  }

  function lightDirection(point, light) {
    requireVector(point, 'point');
    requireLight(light);
    return withMemory(2 * VECTOR_FLOATS + LIGHT_FLOATS, (address) => {
      const outAddress = address + VECTOR_FLOATS * FLOAT_BYTES;
      const lightAddress = outAddress + VECTOR_FLOATS * FLOAT_BYTES;
      writeVector(address, point);
      writeLight(lightAddress, light);
      lightDirectionC(address, lightAddress, outAddress);
      return readVector(outAddress);
    });
  }

  function dotProduct(a, b) {
    requireVector(a, 'a');
    requireVector(b, 'b');
    return withMemory(2 * VECTOR_FLOATS, (address) => {
      const bAddress = address + VECTOR_FLOATS * FLOAT_BYTES;
      writeVector(address, a);
      writeVector(bAddress, b);
      return dotProductC(address, bAddress);
    });
  }

  function receivedEnergy(points, light, out) {
    requirePoints(points, 'points');
    requireLight(light);
    const result = outputFor(points, out);
    const count = points.length / VECTOR_FLOATS;
    // Points, then the light; the results overwrite the points in place.
    return withMemory(points.length + LIGHT_FLOATS, (address) => {
      const lightAddress = address + points.length * FLOAT_BYTES;
      writeArray(address, points);
      writeLight(lightAddress, light);
      check(receivedEnergyBatchC(address, count, lightAddress, address));
      return readInto(result, address);
    });
  }

  // One normal and reflectance for every point (3 numbers each), or one per
  // point (Float32Arrays as long as points).
  function diffusedEnergy(points, normal, reflectance, light, out) {
    requirePoints(points, 'points');
    requireLight(light);
    const perPoint =
      normal == null || reflectance == null || normal.length !== 3 || reflectance.length !== 3;
    const count = points.length / VECTOR_FLOATS;
    const result = outputFor(points, out);
    if (!perPoint) {
      requireVector(normal, 'normal');
      requireVector(reflectance, 'reflectance');
      return withMemory(points.length + 2 * VECTOR_FLOATS + LIGHT_FLOATS, (address) => {
        const normalAddress = address + points.length * FLOAT_BYTES;
        const reflectanceAddress = normalAddress + VECTOR_FLOATS * FLOAT_BYTES;
        const lightAddress = reflectanceAddress + VECTOR_FLOATS * FLOAT_BYTES;
        writeArray(address, points);
        writeVector(normalAddress, normal);
        writeVector(reflectanceAddress, reflectance);
        writeLight(lightAddress, light);
        check(
          diffusedEnergyBatchC(address, count, normalAddress, reflectanceAddress, lightAddress, address),
        );
        return readInto(result, address);
      });
    }
    for (const [array, name] of [
      [normal, 'normals'],
      [reflectance, 'reflectances'],
    ]) {
      if (!(array instanceof Float32Array) || array.length !== points.length) {
        throw new RangeError(
          `lighting: ${name} must be 3 numbers, or a Float32Array of ${points.length} floats`,
        );
      }
    }
    return withMemory(3 * points.length + LIGHT_FLOATS, (address) => {
      const normalsAddress = address + points.length * FLOAT_BYTES;
      const reflectancesAddress = normalsAddress + points.length * FLOAT_BYTES;
      const lightAddress = reflectancesAddress + points.length * FLOAT_BYTES;
      writeArray(address, points);
      writeArray(normalsAddress, normal);
      writeArray(reflectancesAddress, reflectance);
      writeLight(lightAddress, light);
      check(
        diffusedEnergyBatchEachC(
          address,
          normalsAddress,
          reflectancesAddress,
          count,
          lightAddress,
          address,
        ),
      );
      return readInto(result, address);
    });
  }

  return Object.freeze({ lightDistance, lightDirection, dotProduct, receivedEnergy, diffusedEnergy });
}

// Loads the WebAssembly module (the .wasm beside this file) and returns the
// default flavour's functions, with the portable flavour's as `portable`.
export async function createLighting() {
  // Handing the bytes over keeps the loader from fetch(), which refuses a
  // file path under node.
  const wasmBinary = await readFile(new URL('./lighting-wasm.wasm', import.meta.url));
  const module = await createLightingModule({ wasmBinary });
  return Object.freeze({
    ...flavour(module, 'lighting_'),
    portable: flavour(module, 'lighting_portable_'),
  });
}

export default createLighting;
