// TypeScript declarations of the lighting package.

/** Three numbers: a point, a normal, a reflectance or a colour triple. */
export type Vector3Like = ArrayLike<number>;

/** A point light: colour (r, g, b) and intensity stay separate. */
export interface PointLight {
  position: Vector3Like;
  r: number;
  g: number;
  b: number;
  intensity: number;
}

/**
 * Floats in the module's memory, for batches with no copy and no allocation
 * per call. `array` is a Float32Array view of them; the memory grows only in
 * `allocate`, which detaches every view taken before it, so take `array`
 * again after allocating (the getter makes a new view when needed).
 */
export interface ModuleArray {
  readonly array: Float32Array;
  /** Floats, as requested. */
  readonly length: number;
  readonly freed: boolean;
  /** Gives the floats back; later uses throw. Collected arrays are freed too. */
  free(): void;
}

/** A batch array: a Float32Array anywhere, or floats in the module's memory. */
export type BatchArray = Float32Array | ModuleArray;

/** The operations of one flavour. Inputs are rounded to float32 first. */
export interface LightingFlavour {
  /** Distance from the point to the light. */
  lightDistance(point: Vector3Like, light: PointLight): number;
  /** Unit direction from the point towards the light (NaN at the light). */
  lightDirection(point: Vector3Like, light: PointLight): Float32Array;
  /** (a.y*b.y + a.x*b.x) + a.z*b.z in double precision, rounded once to float32. */
  dotProduct(a: Vector3Like, b: Vector3Like): number;
  /**
   * Energy received at each point (3 floats per point). Returns `out`, which
   * may be `points` itself, or a new array.
   */
  receivedEnergy(points: BatchArray, light: PointLight, out?: Float32Array): Float32Array;
  /** Into a ModuleArray (which may be `points` itself): no copy, no allocation. */
  receivedEnergy(points: BatchArray, light: PointLight, out: ModuleArray): ModuleArray;
  /**
   * Energy each point diffuses. normal and reflectance are each 3 numbers for
   * every point, or one triple per point (an array as long as points); the
   * two forms may be mixed.
   */
  diffusedEnergy(
    points: BatchArray,
    normal: Vector3Like | BatchArray,
    reflectance: Vector3Like | BatchArray,
    light: PointLight,
    out?: Float32Array,
  ): Float32Array;
  diffusedEnergy(
    points: BatchArray,
    normal: Vector3Like | BatchArray,
    reflectance: Vector3Like | BatchArray,
    light: PointLight,
    out: ModuleArray,
  ): ModuleArray;
  /** `length` floats of module memory, zero-filled. */
  allocate(length: number): ModuleArray;
  /**
   * lighting-render's picture of a scene (the demo's by default): the patch
   * of the surface, the automatic exposure and the 8-bit sRGB codes, from the
   * renderer's own code. May grow the module's memory, as allocate does.
   */
  render(options: RenderOptions): Picture;
  /** The demo's two-line report for the scene's point, as the demo prints it. */
  report(scene?: Scene): string;
}

/** A surface point with its normal and reflectance, lit by one light. */
export interface Scene {
  point: Vector3Like;
  normal: Vector3Like;
  reflectance: Vector3Like;
  light: PointLight;
}

export interface RenderOptions {
  /** Pixels, 1 to 4096 each. */
  width: number;
  height: number;
  /** The patch's longer side in scene units (default 8, as lighting-render). */
  extent?: number;
  /** Default: the demo's scene. */
  scene?: Scene;
}

export interface Picture {
  width: number;
  height: number;
  /** The exposure that maps the brightest finite channel to 1. */
  exposure: number;
  /** Pixels with a non-finite channel, drawn black. */
  nonFinite: number;
  /** Diffused energy, 3 floats a pixel, rows from the top. */
  energy: Float32Array;
  /** 4 bytes a pixel (alpha 255), for an ImageData. */
  rgba: Uint8ClampedArray;
}

/**
 * The default flavour (the root is the C library's pow(s, 0.5)), with the
 * portable flavour (the correctly rounded root: the same bits everywhere).
 */
export interface Lighting extends LightingFlavour {
  readonly portable: LightingFlavour;
  /** The batch kernels in use: "wasm_simd128", or "scalar-loop" without SIMD. */
  readonly batchTarget: string;
}

/** The module's code: its bytes, a compiled module, a URL or a Response. */
export type WasmSource =
  | BufferSource
  | WebAssembly.Module
  | URL
  | string
  | Response
  | PromiseLike<Response>;

export interface CreateOptions {
  /** The .wasm to use instead of the one beside the package's index.js. */
  wasm?: WasmSource;
  /** false: the module without SIMD; by default, SIMD where the engine has it. */
  simd?: boolean;
}

/** Loads the WebAssembly module and returns the library's functions. */
export function createLighting(options?: WasmSource | CreateOptions): Promise<Lighting>;
export default createLighting;
