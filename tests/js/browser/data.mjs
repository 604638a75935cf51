// The test data as the server gives it, and the way back to it.
async function fetchOk(url) {
  const response = await fetch(url);
  if (!response.ok) throw new Error(`${url}: ${response.status}`);
  return response;
}

export async function loadData() {
  const [defaultText, portableText, slice] = await Promise.all([
    fetchOk('/data/vectors.txt').then((r) => r.text()),
    fetchOk('/data/vectors_portable.txt').then((r) => r.text()),
    fetchOk('/slice/determinism_slice.bin').then((r) => r.arrayBuffer()),
  ]);
  return { golden: { default: defaultText, portable: portableText }, slice: new Uint32Array(slice) };
}

export async function report(result) {
  await fetch('/report', { method: 'POST', body: JSON.stringify(result) });
}
