// The formulas in plain JavaScript, as a user would write them: Math.sqrt in
// double, Math.fround at each rounding point, Float32Arrays in and out. They
// give the portable flavour's bits.
const f32 = Math.fround;

export function plainDiffusedEnergy(points, normal, reflectance, light, out) {
  const [lx, ly, lz] = light.position;
  const { r, g, b, intensity } = light;
  const [nx, ny, nz] = normal;
  const [rx, ry, rz] = reflectance;
  for (let i = 0; i < points.length; i += 3) {
    const dx = lx - points[i];
    const dy = ly - points[i + 1];
    const dz = lz - points[i + 2];
    const length = Math.sqrt(dx * dx + dy * dy + dz * dz);
    const distance = f32(length);
    const falloff = f32(1 / distance / distance);
    const scale = falloff * intensity;
    const cosine = f32(f32(dy / length) * ny + f32(dx / length) * nx + f32(dz / length) * nz);
    const c = cosine < 0 ? 0 : cosine;
    out[i] = f32(scale * r) * c * rx;
    out[i + 1] = f32(scale * g) * c * ry;
    out[i + 2] = f32(scale * b) * c * rz;
  }
  return out;
}

// Points on the demo's plane around the light, deterministic.
export function scenePoints(count) {
  const points = new Float32Array(3 * count);
  let state = 1;
  const next = () => {
    state = (state * 1103515245 + 12345) >>> 0;
    return state / 2 ** 32;
  };
  for (let i = 0; i < count; ++i) {
    points[3 * i] = next() * 8 - 4;
    points[3 * i + 1] = next() * 8 - 2;
    points[3 * i + 2] = 0;
  }
  return points;
}

export const light = { position: [-1, 2, 4], r: 1, g: 0.5, b: 0.5, intensity: 5 };
export const normal = [0, 0, 1];
export const reflectance = [0.5, 0.5, 1];
