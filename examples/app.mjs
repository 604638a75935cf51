// The demo's scene as lighting-render draws it: the patch of the surface
// around the point, the automatic exposure and the sRGB codes, all from the
// package (the renderer's own code in its module). Drag to move the light,
// pick a flavour; the pointer shows a pixel's diffused energy.
import { createLighting } from 'lighting';

const lighting = await createLighting();
const canvas = document.getElementById('picture');
const context = canvas.getContext('2d');
const { width, height } = canvas;
const extent = 8; // lighting-render's default: the patch's longer side

const scene = {
  point: [1, 2, 0],
  normal: [0, 0, 1],
  reflectance: [0.5, 0.5, 1],
  light: { position: [-1, 2, 4], r: 1, g: 0.5, b: 0.5, intensity: 5 },
};
let picture = null;

const flavour = () => (document.getElementById('flavour').value === 'portable' ? lighting.portable : lighting);

// A float's exact value in C's %a form: 0x1.8p-3, -0x0p+0, 0x0.000002p-126.
export function floatHex(value) {
  const bits = new Uint32Array(Float32Array.of(value).buffer)[0];
  const sign = bits >>> 31 ? '-' : '';
  const exponent = (bits >>> 23) & 0xff;
  const fraction = bits & 0x7fffff;
  if (exponent === 0xff) return fraction ? 'nan' : `${sign}inf`;
  if (exponent === 0 && fraction === 0) return `${sign}0x0p+0`;
  const digits = (fraction << 1).toString(16).padStart(6, '0').replace(/0+$/, '');
  const lead = exponent === 0 ? '0' : '1';
  const power = exponent === 0 ? -126 : exponent - 127;
  return `${sign}0x${lead}${digits ? `.${digits}` : ''}p${power >= 0 ? '+' : ''}${power}`;
}

// The shortest decimal that reads back as the same float.
function floatDecimal(value) {
  for (let digits = 1; digits <= 9; ++digits) {
    const text = value.toPrecision(digits);
    if (Math.fround(Number(text)) === value) return String(Number(text));
  }
  return String(value);
}

function draw() {
  picture = flavour().render({ width, height, extent, scene });
  context.putImageData(new ImageData(picture.rgba, width, height), 0, 0);
  document.getElementById('report').textContent = flavour().report(scene);
  document.getElementById('exposure').textContent = picture.exposure.toPrecision(6);
  const [x, y, z] = scene.light.position;
  document.getElementById('light').textContent = `(${x.toFixed(3)}, ${y.toFixed(3)}, ${z})`;
}

// Pixel centres to the patch's coordinates, as lighting-render lays them out
// for the normal (0, 0, 1): +X to the right, +Y upwards.
function surfaceAt(column, row) {
  const pixel = extent / Math.max(width, height);
  return [
    scene.point[0] + (column + 0.5 - width / 2) * pixel,
    scene.point[1] + (height / 2 - (row + 0.5)) * pixel,
  ];
}

function pixelOf(event) {
  const box = canvas.getBoundingClientRect();
  const column = Math.floor(((event.clientX - box.left) / box.width) * width);
  const row = Math.floor(((event.clientY - box.top) / box.height) * height);
  return column >= 0 && column < width && row >= 0 && row < height ? [column, row] : null;
}

function showPixel(column, row) {
  const at = 3 * (row * width + column);
  const energy = Array.from(picture.energy.subarray(at, at + 3));
  document.getElementById('pixel').textContent =
    `pixel (${column}, ${row})\n` +
    `decimal ${energy.map(floatDecimal).join(' ')}\n` +
    `hex     ${energy.map(floatHex).join(' ')}`;
}

let dragging = false;
canvas.addEventListener('pointerdown', (event) => {
  dragging = true;
  canvas.setPointerCapture(event.pointerId);
  moveLight(event);
});
canvas.addEventListener('pointerup', () => (dragging = false));
canvas.addEventListener('pointermove', (event) => {
  if (dragging) moveLight(event);
  const at = pixelOf(event);
  if (at) showPixel(...at);
});
function moveLight(event) {
  const at = pixelOf(event);
  if (!at) return;
  const [x, y] = surfaceAt(...at);
  scene.light.position = [Math.fround(x), Math.fround(y), scene.light.position[2]];
  draw();
}
document.getElementById('flavour').addEventListener('change', draw);
document.getElementById('height').addEventListener('input', (event) => {
  const z = Number(event.target.value);
  document.getElementById('height-value').textContent = String(z);
  scene.light.position = [scene.light.position[0], scene.light.position[1], z];
  draw();
});

draw();
// Tests and scripts can wait for the first picture.
window.lightingPage = { ready: true, width, height, extent, floatHex };
document.dispatchEvent(new Event('lighting-page-ready'));
