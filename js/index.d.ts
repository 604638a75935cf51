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
  receivedEnergy(points: Float32Array, light: PointLight, out?: Float32Array): Float32Array;
  /** Energy each point diffuses, with one normal and reflectance for all points. */
  diffusedEnergy(
    points: Float32Array,
    normal: Vector3Like,
    reflectance: Vector3Like,
    light: PointLight,
    out?: Float32Array,
  ): Float32Array;
  /** Energy each point diffuses, with a normal and a reflectance per point (3 floats each). */
  diffusedEnergy(
    points: Float32Array,
    normals: Float32Array,
    reflectances: Float32Array,
    light: PointLight,
    out?: Float32Array,
  ): Float32Array;
}

/**
 * The default flavour (the root is the C library's pow(s, 0.5)), with the
 * portable flavour (the correctly rounded root: the same bits everywhere).
 */
export interface Lighting extends LightingFlavour {
  readonly portable: LightingFlavour;
}

/** Loads the WebAssembly module and returns the library's functions. */
export function createLighting(): Promise<Lighting>;
export default createLighting;
