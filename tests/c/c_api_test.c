/* The C interface as a C program sees it: every golden vector through the
 * scalar and the batch functions of both flavours, bit for bit, and every
 * status of the batches, with nothing written on an error.
 *
 *   c_api_test tests/golden/vectors.txt tests/golden/vectors_portable.txt
 */
#include <lighting/lighting.h>

#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { INPUT_COUNT = 16, OUTPUT_COUNT = 11, MAX_CASES = 20000, REPLICAS = 17 };

/* Outputs in the order of the golden vectors. */
enum { OUT_DISTANCE = 0, OUT_DIRECTION = 1, OUT_DOT = 4, OUT_RECEIVED = 5, OUT_DIFFUSED = 8 };

typedef struct GoldenCase {
  char name[64];
  int line;
  uint32_t inputs[INPUT_COUNT];
  uint32_t expected[OUTPUT_COUNT];
} GoldenCase;

static int failures = 0;

/* One flavour's functions: lighting_<name> or lighting_portable_<name>. */
typedef struct Flavour {
  const char* name;
  int takes_pow_root; /* the C library's pow, which may round a witness differently */
  float (*light_distance)(const LightingVector3*, const LightingPointLight*);
  void (*light_direction)(const LightingVector3*, const LightingPointLight*, LightingVector3*);
  float (*dot_product)(const LightingVector3*, const LightingVector3*);
  void (*received_energy)(const LightingVector3*, const LightingPointLight*, LightingVector3*);
  void (*diffused_energy)(const LightingVector3*, const LightingVector3*, const LightingVector3*,
                          const LightingPointLight*, LightingVector3*);
  LightingStatus (*received_energy_batch)(const LightingVector3*, size_t, const LightingPointLight*,
                                          LightingVector3*);
  LightingStatus (*diffused_energy_batch)(const LightingVector3*, size_t, const LightingVector3*,
                                          const LightingVector3*, const LightingPointLight*,
                                          LightingVector3*);
  LightingStatus (*diffused_energy_batch_each)(const LightingVector3*, const LightingVector3*,
                                               const LightingVector3*, size_t,
                                               const LightingPointLight*, LightingVector3*);
} Flavour;

static const Flavour default_flavour = {"default",
                                        1,
                                        lighting_light_distance,
                                        lighting_light_direction,
                                        lighting_dot_product,
                                        lighting_received_energy,
                                        lighting_diffused_energy,
                                        lighting_received_energy_batch,
                                        lighting_diffused_energy_batch,
                                        lighting_diffused_energy_batch_each};

static const Flavour portable_flavour = {"portable",
                                         0,
                                         lighting_portable_light_distance,
                                         lighting_portable_light_direction,
                                         lighting_portable_dot_product,
                                         lighting_portable_received_energy,
                                         lighting_portable_diffused_energy,
                                         lighting_portable_received_energy_batch,
                                         lighting_portable_diffused_energy_batch,
                                         lighting_portable_diffused_energy_batch_each};

/* The flavour under test. */
static const Flavour* flavour = &default_flavour;

static uint32_t bits_of(float value) {
  uint32_t bits;
  memcpy(&bits, &value, sizeof bits);
  return bits;
}

static float float_of(uint32_t bits) {
  float value;
  memcpy(&value, &bits, sizeof value);
  return value;
}

static int is_nan_bits(uint32_t bits) {
  return (bits & 0x7FFFFFFFu) > 0x7F800000u;
}

/* Every bit is fixed except a NaN's sign and payload. */
static int same_result(uint32_t expected, uint32_t actual) {
  return expected == actual || (is_nan_bits(expected) && is_nan_bits(actual));
}

/* The C library's pow is the one input the default flavour does not
 * control. The "pow_not_sqrt" cases are sums of squares s (integers below
 * 2^53, exact in any order) whose root glibc's pow for x86-64 with FMA rounds
 * up across a float tie; other pows (x87, glibc without FMA, musl) may round
 * some of them down. Which pow is in use is read from pow itself: where it
 * gives another distance for a witness, that distance is expected, and the
 * received energies that divide by it may differ (the C++ golden tests allow
 * the same). The portable flavour allows nothing. */
static uint32_t platform_pow_distance(const GoldenCase* golden) {
  volatile double half = 0.5; /* no compiler may turn this pow into a sqrt */
  double sum = 0.0;
  int axis;
  for (axis = 0; axis < 3; ++axis) {
    const double difference =
        (double)float_of(golden->inputs[axis]) - (double)float_of(golden->inputs[9 + axis]);
    sum += difference * difference;
  }
  return bits_of((float)pow(sum, half));
}

static int is_platform_pow_difference(const GoldenCase* golden, int output, uint32_t actual) {
  uint32_t pow_distance;
  if (!flavour->takes_pow_root || strcmp(golden->name, "pow_not_sqrt") != 0) return 0;
  pow_distance = platform_pow_distance(golden);
  if (pow_distance == golden->expected[OUT_DISTANCE]) return 0;
  if (output == OUT_DISTANCE) return actual == pow_distance;
  return output >= OUT_RECEIVED && output < OUT_RECEIVED + 3;
}

static void check_output(const GoldenCase* golden, int output, float actual, const char* via) {
  const uint32_t actual_bits = bits_of(actual);
  if (same_result(golden->expected[output], actual_bits)) return;
  if (is_platform_pow_difference(golden, output, actual_bits)) return;
  if (++failures <= 20) {
    fprintf(stderr,
            "%s flavour, line %d (%s): output %d through %s expected 0x%08lx, got 0x%08lx\n",
            flavour->name, golden->line, golden->name, output, via,
            (unsigned long)golden->expected[output], (unsigned long)actual_bits);
  }
}

static void check_triple(const GoldenCase* golden, int first_output, const LightingVector3* actual,
                         const char* via) {
  check_output(golden, first_output, actual->x, via);
  check_output(golden, first_output + 1, actual->y, via);
  check_output(golden, first_output + 2, actual->z, via);
}

static int load_cases(const char* path, GoldenCase* cases, int capacity) {
  char text[1024];
  int count = 0;
  int line = 0;
  FILE* file = fopen(path, "r");
  if (file == NULL) {
    fprintf(stderr, "c_api_test: cannot open %s\n", path);
    exit(2);
  }
  while (fgets(text, sizeof text, file) != NULL) {
    char* cursor = text;
    char* end;
    int i;
    GoldenCase* golden = &cases[count];
    ++line;
    if (text[0] == '#' || text[0] == '\n') continue;
    if (count == capacity || sscanf(text, "%63s", golden->name) != 1) {
      fprintf(stderr, "c_api_test: %s:%d: too many or malformed vectors\n", path, line);
      exit(2);
    }
    cursor += strlen(golden->name) + 1;
    for (i = 0; i < INPUT_COUNT + OUTPUT_COUNT; ++i) {
      const unsigned long word = strtoul(cursor, &end, 16);
      if (end == cursor) {
        fprintf(stderr, "c_api_test: %s:%d: malformed golden vector\n", path, line);
        exit(2);
      }
      if (i < INPUT_COUNT) {
        golden->inputs[i] = (uint32_t)word;
      } else {
        golden->expected[i - INPUT_COUNT] = (uint32_t)word;
      }
      cursor = end;
    }
    golden->line = line;
    ++count;
  }
  fclose(file);
  return count;
}

static LightingVector3 input_vector(const GoldenCase* golden, int first) {
  LightingVector3 vector;
  vector.x = float_of(golden->inputs[first]);
  vector.y = float_of(golden->inputs[first + 1]);
  vector.z = float_of(golden->inputs[first + 2]);
  return vector;
}

static LightingPointLight input_light(const GoldenCase* golden) {
  LightingPointLight light;
  light.position = input_vector(golden, 9);
  light.r = float_of(golden->inputs[12]);
  light.g = float_of(golden->inputs[13]);
  light.b = float_of(golden->inputs[14]);
  light.intensity = float_of(golden->inputs[15]);
  return light;
}

static void check_scalar(const GoldenCase* golden) {
  const LightingVector3 point = input_vector(golden, 0);
  const LightingVector3 normal = input_vector(golden, 3);
  const LightingVector3 reflectance = input_vector(golden, 6);
  const LightingPointLight light = input_light(golden);
  LightingVector3 out;

  check_output(golden, OUT_DISTANCE, flavour->light_distance(&point, &light), "scalar");
  flavour->light_direction(&point, &light, &out);
  check_triple(golden, OUT_DIRECTION, &out, "scalar");
  check_output(golden, OUT_DOT, flavour->dot_product(&normal, &reflectance), "scalar");
  flavour->received_energy(&point, &light, &out);
  check_triple(golden, OUT_RECEIVED, &out, "scalar");
  flavour->diffused_energy(&point, &normal, &reflectance, &light, &out);
  check_triple(golden, OUT_DIFFUSED, &out, "scalar");
}

static void expect_status(LightingStatus actual, LightingStatus expected, const char* what) {
  if (actual != expected) {
    ++failures;
    fprintf(stderr, "%s: status %d, expected %d\n", what, (int)actual, (int)expected);
  }
}

/* The case's point repeated over more than one full vector of the widest SIMD
 * unit and a tail, so that every lane position meets it. */
static void check_batches(const GoldenCase* golden) {
  LightingVector3 points[REPLICAS];
  LightingVector3 normals[REPLICAS];
  LightingVector3 reflectances[REPLICAS];
  LightingVector3 out[REPLICAS];
  const LightingPointLight light = input_light(golden);
  int i;
  for (i = 0; i < REPLICAS; ++i) {
    points[i] = input_vector(golden, 0);
    normals[i] = input_vector(golden, 3);
    reflectances[i] = input_vector(golden, 6);
  }

  expect_status(flavour->received_energy_batch(points, REPLICAS, &light, out), LIGHTING_OK,
                "received_energy_batch");
  for (i = 0; i < REPLICAS; ++i) check_triple(golden, OUT_RECEIVED, &out[i], "received batch");

  expect_status(
      flavour->diffused_energy_batch(points, REPLICAS, &normals[0], &reflectances[0], &light, out),
      LIGHTING_OK, "diffused_energy_batch");
  for (i = 0; i < REPLICAS; ++i) check_triple(golden, OUT_DIFFUSED, &out[i], "diffused batch");

  expect_status(
      flavour->diffused_energy_batch_each(points, normals, reflectances, REPLICAS, &light, out),
      LIGHTING_OK, "diffused_energy_batch_each");
  for (i = 0; i < REPLICAS; ++i) {
    check_triple(golden, OUT_DIFFUSED, &out[i], "diffused batch (each)");
  }
}

static int same_vector(const LightingVector3* a, const LightingVector3* b) {
  return same_result(bits_of(a->x), bits_of(b->x)) && same_result(bits_of(a->y), bits_of(b->y)) &&
         same_result(bits_of(a->z), bits_of(b->z));
}

/* Different points side by side in one batch, in place, against the scalar
 * function: no lane may see another's values. */
static void check_mixed_batch_in_place(const GoldenCase* cases, int count) {
  const LightingPointLight light = input_light(&cases[0]);
  const LightingVector3 normal = input_vector(&cases[0], 3);
  const LightingVector3 reflectance = input_vector(&cases[0], 6);
  LightingVector3* points = malloc((size_t)count * sizeof *points);
  int i;
  if (points == NULL) exit(2);
  for (i = 0; i < count; ++i) points[i] = input_vector(&cases[i], 0);
  expect_status(
      flavour->diffused_energy_batch(points, (size_t)count, &normal, &reflectance, &light, points),
      LIGHTING_OK, "diffused_energy_batch in place");
  for (i = 0; i < count; ++i) {
    const LightingVector3 point = input_vector(&cases[i], 0);
    LightingVector3 expected;
    flavour->diffused_energy(&point, &normal, &reflectance, &light, &expected);
    if (!same_vector(&points[i], &expected) && ++failures <= 20) {
      fprintf(stderr, "line %d: in-place batch differs from the scalar function\n", cases[i].line);
    }
  }
  free(points);
}

/* A status other than LIGHTING_OK must leave out as it was. */
enum { ARRAY = 8 };
static LightingVector3 buffer[3 * ARRAY];
static LightingVector3 saved[3 * ARRAY];

static void fill_buffer(void) {
  int i;
  for (i = 0; i < 3 * ARRAY; ++i) {
    buffer[i].x = (float)i;
    buffer[i].y = -1.0f;
    buffer[i].z = 0.5f;
  }
  memcpy(saved, buffer, sizeof buffer);
}

static void expect_error(LightingStatus actual, LightingStatus expected, const char* what) {
  expect_status(actual, expected, what);
  if (memcmp(saved, buffer, sizeof buffer) != 0) {
    ++failures;
    fprintf(stderr, "%s: an error wrote into the arrays\n", what);
  }
  fill_buffer();
}

static void check_errors(void) {
  LightingVector3 out[ARRAY];
  LightingVector3* points = &buffer[0];
  LightingVector3* normals = &buffer[ARRAY];
  LightingVector3* reflectances = &buffer[2 * ARRAY];
  const LightingVector3 normal = {0.0f, 0.0f, 1.0f};
  const LightingVector3 reflectance = {1.0f, 1.0f, 1.0f};
  const LightingPointLight light = {{0.0f, 0.0f, 4.0f}, 1.0f, 1.0f, 1.0f, 1.0f};
  LightingPointLight light_in_out[2];
  fill_buffer();

  /* A null pointer is an error only when there is something to compute. */
  expect_error(flavour->received_energy_batch(NULL, 0, NULL, NULL), LIGHTING_OK, "count 0");
  expect_error(flavour->diffused_energy_batch(NULL, 0, NULL, NULL, NULL, NULL), LIGHTING_OK,
               "count 0");
  expect_error(flavour->diffused_energy_batch_each(NULL, NULL, NULL, 0, NULL, NULL), LIGHTING_OK,
               "count 0");

  expect_error(flavour->received_energy_batch(NULL, ARRAY, &light, points), LIGHTING_ERROR_NULL,
               "received: null points");
  expect_error(flavour->received_energy_batch(normals, ARRAY, NULL, points), LIGHTING_ERROR_NULL,
               "received: null light");
  expect_error(flavour->received_energy_batch(points, ARRAY, &light, NULL), LIGHTING_ERROR_NULL,
               "received: null out");
  expect_error(flavour->diffused_energy_batch(NULL, ARRAY, &normal, &reflectance, &light, points),
               LIGHTING_ERROR_NULL, "diffused: null points");
  expect_error(flavour->diffused_energy_batch(normals, ARRAY, NULL, &reflectance, &light, points),
               LIGHTING_ERROR_NULL, "diffused: null normal");
  expect_error(flavour->diffused_energy_batch(normals, ARRAY, &normal, NULL, &light, points),
               LIGHTING_ERROR_NULL, "diffused: null reflectance");
  expect_error(flavour->diffused_energy_batch(normals, ARRAY, &normal, &reflectance, NULL, points),
               LIGHTING_ERROR_NULL, "diffused: null light");
  expect_error(flavour->diffused_energy_batch(points, ARRAY, &normal, &reflectance, &light, NULL),
               LIGHTING_ERROR_NULL, "diffused: null out");
  expect_error(flavour->diffused_energy_batch_each(NULL, normals, reflectances, ARRAY, &light, out),
               LIGHTING_ERROR_NULL, "each: null points");
  expect_error(flavour->diffused_energy_batch_each(out, NULL, reflectances, ARRAY, &light, points),
               LIGHTING_ERROR_NULL, "each: null normals");
  expect_error(flavour->diffused_energy_batch_each(out, normals, NULL, ARRAY, &light, points),
               LIGHTING_ERROR_NULL, "each: null reflectances");
  expect_error(flavour->diffused_energy_batch_each(out, normals, reflectances, ARRAY, NULL, points),
               LIGHTING_ERROR_NULL, "each: null light");
  expect_error(
      flavour->diffused_energy_batch_each(points, normals, reflectances, ARRAY, &light, NULL),
      LIGHTING_ERROR_NULL, "each: null out");

  /* out shifted by one element over the points: a kernel reading ahead would
   * read what it has just written. */
  expect_error(flavour->received_energy_batch(points, ARRAY, &light, points + 1),
               LIGHTING_ERROR_OVERLAP, "received: out shifted over points");
  expect_error(flavour->received_energy_batch(points + 1, ARRAY, &light, points),
               LIGHTING_ERROR_OVERLAP, "received: points shifted over out");
  expect_error(
      flavour->diffused_energy_batch(points, ARRAY, &normal, &reflectance, &light, points + 1),
      LIGHTING_ERROR_OVERLAP, "diffused: out shifted over points");
  expect_error(
      flavour->diffused_energy_batch(normals, ARRAY, &points[3], &reflectance, &light, points),
      LIGHTING_ERROR_OVERLAP, "diffused: normal inside out");
  expect_error(
      flavour->diffused_energy_batch(normals, ARRAY, &normal, &points[ARRAY - 1], &light, points),
      LIGHTING_ERROR_OVERLAP, "diffused: reflectance inside out");
  expect_error(flavour->diffused_energy_batch_each(points, normals, reflectances, ARRAY, &light,
                                                   points + ARRAY / 2),
               LIGHTING_ERROR_OVERLAP, "each: out over points and normals");
  expect_error(
      flavour->diffused_energy_batch_each(points, normals, reflectances, ARRAY, &light, normals),
      LIGHTING_ERROR_OVERLAP, "each: out is the normals");
  expect_error(flavour->diffused_energy_batch_each(points, normals, reflectances, ARRAY, &light,
                                                   reflectances),
               LIGHTING_ERROR_OVERLAP, "each: out is the reflectances");

  /* The light inside out: out covers its last field only. */
  light_in_out[0] = light;
  light_in_out[1] = light;
  {
    LightingVector3* out_over_light = (LightingVector3*)(void*)&light_in_out[0].intensity;
    LightingPointLight before[2];
    memcpy(before, light_in_out, sizeof before);
    expect_status(flavour->received_energy_batch(points, 1, &light_in_out[0], out_over_light),
                  LIGHTING_ERROR_OVERLAP, "received: out over the light");
    expect_status(flavour->diffused_energy_batch(points, 1, &normal, &reflectance, &light_in_out[0],
                                                 out_over_light),
                  LIGHTING_ERROR_OVERLAP, "diffused: out over the light");
    expect_status(flavour->diffused_energy_batch_each(points, normals, reflectances, 1,
                                                      &light_in_out[0], out_over_light),
                  LIGHTING_ERROR_OVERLAP, "each: out over the light");
    if (memcmp(before, light_in_out, sizeof before) != 0) {
      ++failures;
      fprintf(stderr, "out over the light: an error wrote into the light\n");
    }
  }

  /* Counts whose arrays would run past the end of the address space are
   * refused before any address is formed from them; none of these arrays can
   * exist, so the pointers are never read. */
  {
    const size_t huge[] = {(size_t)1 << (sizeof(size_t) * 8 - 2), SIZE_MAX,
                           SIZE_MAX / sizeof(LightingVector3) + 1,
                           SIZE_MAX / sizeof(LightingVector3)};
    size_t h;
    for (h = 0; h < sizeof huge / sizeof huge[0]; ++h) {
      expect_error(flavour->received_energy_batch(points + 8, huge[h], &light, points),
                   LIGHTING_ERROR_TOO_LARGE, "received: a count past the address space");
      expect_error(flavour->received_energy_batch(points, huge[h], &light, points + 8),
                   LIGHTING_ERROR_TOO_LARGE, "received: out past the address space");
      expect_error(flavour->diffused_energy_batch(points + 8, huge[h], &normal, &reflectance,
                                                  &light, points),
                   LIGHTING_ERROR_TOO_LARGE, "diffused: a count past the address space");
      expect_error(flavour->diffused_energy_batch_each(points, normals + 1, reflectances, huge[h],
                                                       &light, out),
                   LIGHTING_ERROR_TOO_LARGE, "each: a count past the address space");
      expect_error(flavour->diffused_energy_batch_each(points, normals, reflectances + 1, huge[h],
                                                       &light, out),
                   LIGHTING_ERROR_TOO_LARGE, "each: reflectances past the address space");
    }
  }

  /* Adjacent is not overlapping. */
  expect_status(flavour->received_energy_batch(points, ARRAY, &light, normals), LIGHTING_OK,
                "received: adjacent arrays");
  expect_status(flavour->received_energy_batch(points, ARRAY, &light, points), LIGHTING_OK,
                "received: in place");
  fill_buffer();
}

/* Every status has its own message, and one outside the enumeration a
 * message too. */
static void check_status_messages(void) {
  const LightingStatus statuses[] = {LIGHTING_OK,
                                     LIGHTING_ERROR_NULL,
                                     LIGHTING_ERROR_OVERLAP,
                                     LIGHTING_ERROR_TOO_LARGE,
                                     LIGHTING_ERROR_OUT_OF_MEMORY,
                                     LIGHTING_ERROR_NO_DEVICE,
                                     LIGHTING_ERROR_DEVICE};
  const size_t count = sizeof statuses / sizeof statuses[0];
  size_t i, j;
  for (i = 0; i < count; ++i) {
    const char* message = lighting_status_message(statuses[i]);
    if (message == NULL || message[0] == '\0' || strchr(message, '\n') != NULL ||
        strcmp(message, "unknown status") == 0) {
      ++failures;
      fprintf(stderr, "status %d: no one-line message of its own\n", (int)statuses[i]);
      continue;
    }
    for (j = 0; j < i; ++j) {
      if (strcmp(message, lighting_status_message(statuses[j])) == 0) {
        ++failures;
        fprintf(stderr, "statuses %d and %d share the message \"%s\"\n", (int)statuses[j],
                (int)statuses[i], message);
      }
    }
  }
  if (strcmp(lighting_status_message(LIGHTING_OK), "ok") != 0 ||
      strcmp(lighting_status_message((LightingStatus)99), "unknown status") != 0) {
    ++failures;
    fprintf(stderr, "lighting_status_message: wrong text for ok or an unknown status\n");
  }
}

/* Every check, through one flavour's functions. */
static int check_flavour(const Flavour* tested, const char* path) {
  static GoldenCase cases[MAX_CASES];
  const int failures_before = failures;
  int count;
  int i;
  flavour = tested;
  count = load_cases(path, cases, MAX_CASES);
  if (count < 5000) {
    fprintf(stderr, "c_api_test: only %d golden vectors in %s\n", count, path);
    exit(1);
  }
  for (i = 0; i < count; ++i) {
    check_scalar(&cases[i]);
    check_batches(&cases[i]);
  }
  check_mixed_batch_in_place(cases, count);
  check_errors();
  if (failures > failures_before) {
    fprintf(stderr, "c_api_test: %d failures in the %s flavour\n", failures - failures_before,
            tested->name);
  }
  return count;
}

int main(int argc, char** argv) {
  int counts[2];
  if (argc != 3) {
    fprintf(stderr, "usage: c_api_test GOLDEN_VECTORS PORTABLE_GOLDEN_VECTORS\n");
    return 2;
  }
  counts[0] = check_flavour(&default_flavour, argv[1]);
  counts[1] = check_flavour(&portable_flavour, argv[2]);
  check_status_messages();
  if (failures > 0) return 1;
  printf(
      "c_api_test: %d and %d golden vectors through the scalar and batch functions of the "
      "default and portable flavours, every status\n",
      counts[0], counts[1]);
  return 0;
}
