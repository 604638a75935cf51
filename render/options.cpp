#include "options.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <charconv>
#include <climits>
#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <system_error>

#include "output_file.hpp"
#include "pipeline.hpp"

namespace render {

namespace {

constexpr std::array<std::string_view, 15> kValueOptions = {
    "--point",     "--normal", "--reflectance", "--light-position", "--light-colour",
    "--intensity", "--width",  "--height",      "--extent",         "--exposure",
    "--threads",   "-o",       "--output",      "--format",         "--compression"};

constexpr std::uint64_t kDoubleSign = 0x8000000000000000u;
constexpr std::uint64_t kDoubleExponent = 0x7FF0000000000000u;
constexpr std::uint32_t kFloatSign = 0x80000000u;
constexpr std::uint32_t kFloatExponent = 0x7F800000u;

// By the bits, so that the check holds even in a build with -ffast-math,
// where std::isfinite may be folded to true.
bool is_finite_double(double value) {
  return (std::bit_cast<std::uint64_t>(value) & kDoubleExponent) != kDoubleExponent;
}

bool is_finite_float(float value) {
  return (std::bit_cast<std::uint32_t>(value) & kFloatExponent) != kFloatExponent;
}

// A value in quotes; one that printable_name() changes (control bytes, a
// very long value) as printable_name() shows it.
std::string quoted(std::string_view value) {
  std::string printable = printable_name(value);
  if (printable != value) return printable;
  printable.insert(printable.begin(), '\'');
  printable.push_back('\'');
  return printable;
}

[[noreturn]] void reject(std::string_view option, std::string_view value, const std::string& why) {
  throw std::invalid_argument(printable_name(option) + ": " + quoted(value) + " " + why);
}

// Numbers take the C locale's syntax with an optional leading '+', as
// strtod does: "+5" is 5, "+-5" and "++5" are not numbers.
std::string_view without_plus(std::string_view text) {
  if (text.size() > 1 && text[0] == '+' && text[1] != '+' && text[1] != '-') {
    text.remove_prefix(1);
  }
  return text;
}

enum class NumberError { none, not_a_number, not_finite, out_of_range };

NumberError read_number(std::string_view text, double& value) {
  text = without_plus(text);
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || stop != end) return NumberError::not_a_number;
  if (error == std::errc::result_out_of_range) return NumberError::out_of_range;
  if (error != std::errc{}) return NumberError::not_a_number;
  if (!is_finite_double(value)) return NumberError::not_finite;
  // A subnormal double has lost precision to underflow: refused as a value
  // beyond the range is, at both ends alike. By the bits, which
  // denormals-are-zero cannot change.
  const auto bits = std::bit_cast<std::uint64_t>(value);
  if ((bits & kDoubleExponent) == 0 && (bits & ~kDoubleSign) != 0) {
    return NumberError::out_of_range;
  }
  return NumberError::none;
}

// Whether the digits before the exponent hold anything but zeros: a value
// that is not 0 must not become 0 unnoticed, whatever the parser reports.
bool has_nonzero_digit(std::string_view text) {
  for (const char c : text) {
    if (c == 'e' || c == 'E') break;
    if (c >= '1' && c <= '9') return true;
  }
  return false;
}

// The float nearest to the decimal text, rounded once: from_chars rounds the
// decimal itself, whereas a double on the way could land on a midpoint
// between two floats and round a second time, one step off. The range rule
// is the single-precision records' own, at both ends alike: a value whose
// nearest float is infinite, or is 0 or subnormal while the value is not 0,
// is refused; 0 itself (and -0) is taken as given. Decided on the float's
// bits, which flush-to-zero and denormals-are-zero cannot change.
NumberError read_float(std::string_view text, float& value) {
  text = without_plus(text);
  const char* end = text.data() + text.size();
  float parsed = 0.0f;
  const auto [stop, error] = std::from_chars(text.data(), end, parsed);
  if (text.empty() || stop != end) return NumberError::not_a_number;
  if (error == std::errc::result_out_of_range) return NumberError::out_of_range;
  if (error != std::errc{}) return NumberError::not_a_number;
  const auto bits = std::bit_cast<std::uint32_t>(parsed);
  if ((bits & kFloatExponent) == kFloatExponent) return NumberError::not_finite;
  if ((bits & kFloatExponent) == 0 && (bits & ~kFloatSign) != 0) return NumberError::out_of_range;
  if ((bits & ~kFloatSign) == 0 && has_nonzero_digit(text)) return NumberError::out_of_range;
  value = parsed;
  return NumberError::none;
}

constexpr const char* kDoubleRange =
    "cannot be held in double precision (too large, or too close to 0 without being 0)";
const std::string kOutsideFloatRange =
    "outside single precision's normal range: numbers must be 0 or between "
    "1.17549435e-38 and 3.40282347e+38 in magnitude";

// A finite number, the whole text, read by `read`; refused in one line
// otherwise.
template <typename Number>
Number parse_finite(std::string_view option, std::string_view text,
                    NumberError (*read)(std::string_view, Number&), const std::string& beyond) {
  Number value{};
  switch (read(text, value)) {
    case NumberError::none:
      return value;
    case NumberError::out_of_range:
      reject(option, text, beyond);
    case NumberError::not_finite:
      reject(option, text, "is not finite");
    default:
      reject(option, text, "is not a number");
  }
}

double parse_number(std::string_view option, std::string_view text) {
  return parse_finite<double>(option, text, read_number, kDoubleRange);
}

float parse_float(std::string_view option, std::string_view text) {
  return parse_finite<float>(option, text, read_float, "is " + kOutsideFloatRange);
}

std::string_view trim_blanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// Three numbers separated by commas, blanks around each allowed ("1, 2, 3").
// A fault in one component names it and quotes the whole value.
lighting::Vector3 parse_triple(std::string_view option, std::string_view text) {
  constexpr const char* kOrdinals[] = {"first", "second", "third"};
  if (std::count(text.begin(), text.end(), ',') != 2) {
    reject(option, text, "must be three comma-separated numbers");
  }
  float parts[3];
  std::size_t start = 0;
  for (int i = 0; i < 3; ++i) {
    const auto comma = i == 2 ? text.size() : text.find(',', start);
    const std::string_view part = trim_blanks(text.substr(start, comma - start));
    const std::string which = std::string("its ") + kOrdinals[i] + " number";
    if (part.empty()) reject(option, text, "has " + which + " empty");
    const std::string shown = quoted(part);
    switch (read_float(part, parts[i])) {
      case NumberError::none:
        break;
      case NumberError::not_a_number:
        reject(option, text, "has " + which + ", " + shown + ", not a number");
      case NumberError::not_finite:
        reject(option, text, "has " + which + ", " + shown + ", not finite");
      case NumberError::out_of_range:
        reject(option, text, "has " + which + ", " + shown + ", " + kOutsideFloatRange);
    }
    start = comma + 1;
  }
  return {parts[0], parts[1], parts[2]};
}

// Counts are integers, written as such: decimal digits with an optional sign
// ("512", "+64"); neither "1.5" nor "1e3". One that does not fit even a long
// long is out of range like any other too large.
int parse_count(std::string_view option, std::string_view text, int low, int high) {
  const std::string_view digits = without_plus(text);
  long long value = 0;
  const char* end = digits.data() + digits.size();
  const auto [stop, error] = std::from_chars(digits.data(), end, value);
  if (stop != end || error == std::errc::invalid_argument) {
    reject(option, text, "is not an integer");
  }
  if (error == std::errc::result_out_of_range || value < low || value > high) {
    reject(
        option, text,
        "is out of range (integers " + std::to_string(low) + " to " + std::to_string(high) + ")");
  }
  return static_cast<int>(value);
}

bool names_exr_file(const std::string& path) {
  constexpr std::string_view kSuffix = ".exr";
  if (path.size() < kSuffix.size()) return false;
  return std::equal(
      kSuffix.begin(), kSuffix.end(), path.end() - kSuffix.size(),
      [](char want, char got) { return want == std::tolower(static_cast<unsigned char>(got)); });
}

// The output format and its settings, once every option has been read, so
// that their order does not matter.
void settle_format(Options& options, const std::optional<ImageFormat>& format,
                   const std::optional<std::string>& exposure,
                   const std::optional<std::string>& compression) {
  options.format =
      format.value_or(names_exr_file(options.output) ? ImageFormat::exr : ImageFormat::png);
  if (options.format == ImageFormat::exr && exposure) {
    reject("--exposure", *exposure,
           "does not apply to EXR output, which keeps the energies as they are");
  }
  if (options.format == ImageFormat::png && compression) {
    reject("--compression", *compression, "applies only to EXR output");
  }
}

// Whether -h or --help (or else --version) appears as an option, not as
// another option's value: then the help (or the version) is shown whatever
// else is wrong with the line, the help first when both are asked for.
void find_requests(const std::vector<std::string>& arguments, Options& options) {
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    options.help = options.help || argument == "-h" || argument == "--help";
    options.version = options.version || argument == "--version";
    const bool takes_next =
        std::find(kValueOptions.begin(), kValueOptions.end(), argument) != kValueOptions.end();
    if (takes_next) ++i;
  }
  if (options.help) options.version = false;
}

// Every pixel's point must be a finite float, or the picture would be made of
// overflowed coordinates. The points are affine in the pixel's position, so
// the corners bound them all.
void check_patch_fits(const Options& options) {
  const Patch patch = make_patch(options.scene, options.width, options.height, options.extent);
  for (const int row : {0, options.height - 1}) {
    for (const int column : {0, options.width - 1}) {
      const lighting::Vector3 p = patch_point(patch, column, row);
      if (!is_finite_float(p.x) || !is_finite_float(p.y) || !is_finite_float(p.z)) {
        throw std::invalid_argument(
            "--extent: the patch around --point reaches coordinates "
            "beyond the single-precision range");
      }
    }
  }
}

}  // namespace

Scene default_scene() {
  return {{1.0f, 2.0f, 0.0f},
          {0.0f, 0.0f, 1.0f},
          {0.5f, 0.5f, 1.0f},
          {{-1.0f, 2.0f, 4.0f}, 1.0f, 0.5f, 0.5f, 5.0f}};
}

Options parse_options(const std::vector<std::string>& arguments) {
  Options options;
  options.scene = default_scene();
  find_requests(arguments, options);
  if (options.help || options.version) return options;
  std::optional<ImageFormat> format;
  std::optional<std::string> exposure_given, compression_given;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string option = arguments[i];
    if (option == "-f" || option == "--force") {
      options.force = true;
      continue;
    }
    // Every other option takes a value: "--name value" or "--name=value".
    std::string value;
    const auto equals = option.find('=');
    const bool inline_value = option.starts_with("--") && equals != std::string::npos;
    if (inline_value) {
      value = option.substr(equals + 1);
      option.resize(equals);
    }
    if (std::find(kValueOptions.begin(), kValueOptions.end(), option) == kValueOptions.end()) {
      if (inline_value && (option == "--force" || option == "--help" || option == "--version")) {
        throw std::invalid_argument(option + ": takes no value (got " + quoted(value) + ")");
      }
      if (!option.starts_with("-")) {
        throw std::invalid_argument(quoted(option) +
                                    ": not an option; the image goes to -o FILE (see --help)");
      }
      reject(option, arguments[i], "is not an option (see --help)");
    }
    if (!inline_value) {
      if (i + 1 >= arguments.size()) throw std::invalid_argument(option + ": missing value");
      value = arguments[++i];
    }
    // Said as such: quoted, an empty value reads as a stray pair of quotes.
    if (value.empty()) throw std::invalid_argument(option + ": the value is empty");

    Scene& scene = options.scene;
    if (option == "--point") {
      scene.point = parse_triple(option, value);
    } else if (option == "--normal") {
      scene.normal = parse_triple(option, value);
      if (scene.normal.x == 0.0f && scene.normal.y == 0.0f && scene.normal.z == 0.0f) {
        reject(option, value, "is a zero vector; the surface needs a direction");
      }
    } else if (option == "--reflectance") {
      scene.reflectance = parse_triple(option, value);
    } else if (option == "--light-position") {
      scene.light.position = parse_triple(option, value);
    } else if (option == "--light-colour") {
      const lighting::Vector3 colour = parse_triple(option, value);
      scene.light.r = colour.x;
      scene.light.g = colour.y;
      scene.light.b = colour.z;
    } else if (option == "--intensity") {
      scene.light.intensity = parse_float(option, value);
    } else if (option == "--width") {
      options.width = parse_count(option, value, 1, kMaxSide);
    } else if (option == "--height") {
      options.height = parse_count(option, value, 1, kMaxSide);
    } else if (option == "--extent") {
      options.extent = parse_number(option, value);
      if (!(options.extent > 0.0)) reject(option, value, "must be positive");
    } else if (option == "--exposure") {
      options.exposure = parse_number(option, value);
      if (*options.exposure < 0.0) reject(option, value, "must not be negative");
      exposure_given = value;
      // -0 is 0, so that the summary says "exposure 0"; an assignment rather
      // than + 0.0, which -ffast-math would drop.
      if (*options.exposure == 0.0) options.exposure = 0.0;
    } else if (option == "--threads") {
      options.threads = parse_count(option, value, 1, 1024);
    } else if (option == "-o" || option == "--output") {
      options.output = value;
    } else if (option == "--format") {
      if (value != "png" && value != "exr") reject(option, value, "is not a format (png or exr)");
      format = value == "exr" ? ImageFormat::exr : ImageFormat::png;
    } else if (option == "--compression") {
      const auto compression = exr_compression_named(value);
      if (!compression) reject(option, value, "is not a compression (none, rle, zips, zip or piz)");
      options.compression = *compression;
      compression_given = value;
    }
  }
  settle_format(options, format, exposure_given, compression_given);
  check_patch_fits(options);
  return options;
}

std::string help_text() {
  return R"(Usage: lighting-render [OPTION]...
Renders the diffused energy of a point-lit surface patch as an 8-bit sRGB PNG
or as a 32-bit float OpenEXR image.

The patch lies in the plane through the surface point perpendicular to the
normal, centred on the point; it has the image's proportions, its longer side
--extent units long, and each pixel shows the surface at the pixel's centre.
Image columns run along R = normalise(Y x n) from left to right and image rows
along U = n x R from top (+U) to bottom (-U), n being the normalised normal
and Y the scene's y axis; only when n is exactly parallel to Y (its x and z
both zero) does Z take Y's place. With the default normal (0,0,1) the image
shows +X to the right and +Y upwards.

Each pixel is the diffused energy per channel times the exposure, clamped to
[0, 1] and encoded with the sRGB transfer curve. Pixels whose energy is not
finite are drawn black and counted: the light exactly at the pixel's point,
or an energy beyond the single-precision range (a huge --intensity or a light
very close to the surface). A patch whose coordinates would overflow single
precision is refused.

An OpenEXR image (-o NAME.exr, or --format exr) holds in its 32-bit float
channels R, G and B each pixel's diffused energy exactly as computed: no
exposure, no clamp, infinities and NaN kept (and counted). Its header names
linear Rec. 709 chromaticities and carries the scene: surfacePoint,
surfaceNormal, surfaceReflectance, lightPosition, lightColour, lightIntensity
and patchExtent; exrheader FILE (Debian's openexr package) shows them.

Scene:
  --point X,Y,Z            surface point, the patch's centre (default 1,2,0)
  --normal X,Y,Z           surface normal, non-zero; used as given for shading,
                           so its length scales the energy (default 0,0,1)
  --reflectance R,G,B      surface reflectance per channel (default 0.5,0.5,1)
  --light-position X,Y,Z   light position (default -1,2,4)
  --light-colour R,G,B     light colour (default 1,0.5,0.5)
  --intensity I            light intensity (default 5)

Image:
  --width N                width in pixels, 1 to 16384 (default 512)
  --height N               height in pixels, 1 to 16384 (default 512)
  --extent S               length of the patch's longer side, > 0 (default 8)
  --exposure E             energy multiplier, >= 0 (default: automatic, the
                           brightest channel value in the image maps to 1;
                           1 when no value is positive)
  --threads N              threads in all, 1 to 1024 (default:
                           OMP_NUM_THREADS if set, else all cores), capped
                           at the cores this process may run on; each
                           shades and encodes blocks of rows; the file is
                           byte-identical whatever the count. An
                           OMP_NUM_THREADS that is not an integer of 1 or
                           more is ignored, with a warning on stderr
  -o, --output FILE        output file (default lighting.png), "-" for
                           standard output; see "Output targets" below
  --format png|exr         image format (default: exr for a FILE ending in
                           .exr, png otherwise); --exposure is PNG only
  --compression C          EXR compression, all lossless: none, rle, zips,
                           zip or piz (default zip)
  -f, --force              write the image even when standard output (or the
                           descriptor that FILE names) is a terminal
  -h, --help               show this help and exit
  --version                show the version and exit

Numbers are decimal, as C writes them (8, -2.5, 1e-3), with an optional
leading '+'; a triple's numbers may have blanks around them ("1, 2, 3").
--width, --height and --threads take integers (digits only: not 1.5 or
1e3). The scene's numbers become the float nearest to the decimal given,
rounded once. A number the single-precision records cannot hold is refused
at both ends alike: one whose nearest float overflows, and one not 0 whose
nearest float is 0 or subnormal (magnitude below 1.17549435e-38, where it
would lose precision). --extent and --exposure are double precision.

Output targets (-o):
  "-", /dev/stdout, /dev/fd/N: the descriptor already open, written to at its
    position (at the end if it appends), never reopened; refused when it is
    closed or read-only, or a terminal unless --force is given.
  A regular file: refused when you may not write it, as the shell's ">"
    refuses it, or when it is someone else's in a sticky directory. When it
    has one name, is yours and its directory is writable, it is replaced
    atomically once the image is complete, keeping its mode (a symbolic link
    stays a link). Otherwise (hard links, another owner or group, a read-only
    directory) it is written in place as ">" writes it, keeping every name
    and its owner: the image is completed in $TMPDIR first, then copied over
    the file, and that copy is not atomic.
  A new file: created once the image is complete, mode 0666 less the umask.
  A device or FIFO: written to directly (an EXR once complete, from a
    temporary file in $TMPDIR, as OpenEXR must seek). A terminal, by any
    name, is refused unless --force is given; a socket is refused.
  $TMPDIR (default /tmp) is used as given: one that is missing or not
  writable is reported, never replaced by another directory.

Values may also be given as --option=value. On success one line on stdout
(on stderr when the image goes to standard output) names the file, its
width and height, the exposure used (for EXR, the format and the
compression) and the count of non-finite pixels. A name holding control
characters (a newline, an escape) is shown there and in errors in double
quotes with C escapes ("a\nb").

Exit status: 0 on success, and for --help and --version; 1 if the image could
not be written or the target was refused (the target is left as it was, but
for a failure while copying in place), or the help or the version could not
be; 2 for a bad command line; 3 if the image was written but the summary
line could not be. SIGINT, SIGTERM and SIGHUP remove the unfinished
image and end the program as killed by that signal (128 + its number in a
shell); signals ignored at start (nohup) stay ignored.
)";
}

ThreadCount thread_count(std::optional<int> requested, const char* omp_num_threads) {
  const int cores = usable_threads(INT_MAX);
  if (requested) return {usable_threads(*requested), ""};
  if (omp_num_threads == nullptr || *omp_num_threads == '\0') return {cores, ""};
  // Read here as a plain integer: not through an OpenMP runtime, whose own
  // message for a bad value would be a second voice on stderr.
  const std::string_view text = trim_blanks(omp_num_threads);
  long long count = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, count);
  const bool integer =
      !text.empty() && text.front() != '-' && stop == end && error != std::errc::invalid_argument;
  if (!integer || (error == std::errc{} && count < 1)) {
    return {cores, "OMP_NUM_THREADS=" + quoted(omp_num_threads) +
                       " is not an integer of 1 or more: ignored, using " + std::to_string(cores) +
                       (cores == 1 ? " thread" : " threads")};
  }
  // One too large for a long long is more than the cores all the same.
  return {error == std::errc{}
              ? usable_threads(static_cast<int>(std::min<long long>(count, INT_MAX)))
              : cores,
          ""};
}

#ifndef LIGHTING_RENDER_VERSION
#error "LIGHTING_RENDER_VERSION must name the project's version"
#endif

std::string version_text() {
  return "lighting-render " LIGHTING_RENDER_VERSION "\n";
}

}  // namespace render
