// `selfpatch diff` writes the delta body that turns one file into another, and
// `selfpatch apply` rebuilds the new file from the old one and a delta, natively
// and with the installer's own decoder.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "builder/cli/cli_app.h"
#include "builder/cli/command.h"
#include "builder/encoder.h"
#include "builder/format/delta_output.h"
#include "builder/mapped_file.h"
#include "builder/pack.h"
#include "builder/pack_files.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kLargestFile = 0x7FFFFFFF;

// An input file: mapped when it is a regular file (no zero-filled copy of
// it), else read to its end (a pipe, say).
struct InputFile {
  std::unique_ptr<MappedFile> mapped;
  Bytes read;
  ByteView view;
  uint64_t size = 0;  // the whole file's, which a view of 4 GiB or more would cut
};

// Opens `path` into `file`; throws FileError or std::runtime_error (a mapping's
// fault).
void OpenInput(const std::string& path, InputFile& file) {
  std::error_code error;
  if (fs::is_regular_file(fs::u8path(path), error)) {
    file.mapped = std::make_unique<MappedFile>(path);
    file.view = file.mapped->view();
    file.size = file.view.size;
  } else {
    file.read = ReadFileBytes(path);
    file.view = ViewOf(file.read);
    file.size = file.read.size();
  }
}

// Opens both input files; false (with the reason printed) when one cannot be
// read or is too large for a delta's 32-bit offsets.
bool ReadInputs(const char* command, const std::vector<std::string>& paths, InputFile (&files)[2]) {
  for (size_t i = 0; i < 2; ++i) {
    try {
      OpenInput(paths[i], files[i]);
    } catch (const std::runtime_error& error) {
      std::fprintf(stderr, "selfpatch %s: %s\n", command, error.what());
      return false;
    }
    if (files[i].size > kLargestFile) {
      std::fprintf(stderr, "selfpatch %s: %s: 2 GiB or larger, too large for a delta\n", command,
                   paths[i].c_str());
      return false;
    }
  }
  return true;
}

bool WriteOutput(const char* command, const std::string& path, const Bytes& content) {
  try {
    WriteFileReplacing(path, content, false);
    return true;
  } catch (const FileError& error) {
    std::fprintf(stderr, "selfpatch %s: %s\n", command, error.what());
    return false;
  }
}

// The command line of both commands: two input files, -o OUTPUT, --zlib and
// (diff only) --packed.
struct Arguments {
  std::vector<std::string> inputs;
  std::string output;
  bool zlib = false;
  bool packed = false;
  uint32_t threads = 0;
};

// Parses argv; returns -1 to go on, else the exit code: 0 after the help, 2
// for a faulty command line (its fault and the usage on stderr).
int ParseArguments(int argc, char** argv, const char* usage, bool packedAllowed,
                   Arguments& arguments) {
  CommandApp app(usage, std::string("selfpatch ") + argv[0]);
  app.set_help_flag();
  bool help = false;
  app.add_flag("-h,--help", help);
  app.add_option("files", arguments.inputs)->expected(2);
  app.add_option("-o,--output", arguments.output);
  app.add_flag("--zlib", arguments.zlib);
  if (packedAllowed) {
    app.add_flag("--packed", arguments.packed);
    app.add_option("--threads", arguments.threads);
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    std::fprintf(stderr, "selfpatch %s: %s\n%s", argv[0], error.what(), usage);
    return 2;
  }
  if (help) {
    std::printf("%s", usage);
    return 0;
  }
  if (arguments.inputs.size() != 2 || arguments.output.empty()) {
    std::fprintf(stderr, "%s", usage);
    return 2;
  }
  return -1;
}

const char kDiffUsage[] =
    "usage: selfpatch diff OLD NEW -o DELTA [--zlib | --packed] [--threads N]\n"
    "\n"
    "Writes the delta body that rebuilds NEW from OLD, as a record of a patch\n"
    "carries it. To see what it will weigh in an installer's payload:\n"
    "  --zlib    write it as a zlib stream as `pack` does with zlib alone (level 9),\n"
    "            quickly\n"
    "  --packed  write it compressed exactly as `pack` does (the smaller of zlib\n"
    "            level 9 and zopfli; slow on large deltas)\n"
    "--threads N encodes and compresses on N threads (default: as many as the\n"
    "processor runs at once); the output is the same whatever N.\n";

int RunDiff(int argc, char** argv) {
  Arguments arguments;
  int status = ParseArguments(argc, argv, kDiffUsage, true, arguments);
  if (status >= 0) return status;
  InputFile files[2];
  if (!ReadInputs("diff", arguments.inputs, files)) return 1;
  EncoderOptions options;
  options.threads = arguments.threads;
  Bytes delta = EncodeDeltaBody(files[0].view, files[1].view, options);
  CompressionOptions compression;
  compression.threads = arguments.threads;
  if (arguments.zlib) compression.zopfliIterations = 0;
  if (arguments.packed || arguments.zlib) delta = CompressEntry(delta, compression);
  return WriteOutput("diff", arguments.output, delta) ? 0 : 1;
}

const char kApplyUsage[] =
    "usage: selfpatch apply OLD DELTA -o NEW [--zlib]\n"
    "\n"
    "Rebuilds NEW from OLD and a delta body with the installer's decoder.\n"
    "A bare delta carries no checksum: given another old file that it fits,\n"
    "it rebuilds other bytes (a patch's records check the CRCs).\n"
    "--zlib reads the delta as a zlib stream, as `diff --zlib` or `--packed`\n"
    "writes it.\n";

// The delta named on the command line as it was opened, or what its zlib
// stream inflates to.
struct DeltaInput {
  InputFile file;
  RawBytes inflated;
  ByteView body;
};

// False (with the reason printed) when the delta cannot be read.
bool ReadDelta(const Arguments& arguments, DeltaInput& delta) {
  const std::string& path = arguments.inputs[1];
  uint64_t size = 0;
  try {
    OpenInput(path, delta.file);
    delta.body = delta.file.view;
    size = delta.file.size;
    if (arguments.zlib) {
      delta.inflated = InflateEntryRaw(delta.body);
      delta.file = InputFile();
      delta.body = delta.inflated.view();
      size = delta.inflated.size();
    }
  } catch (const PackError& error) {
    std::fprintf(stderr, "selfpatch apply: '%s': %s\n", path.c_str(), error.what());
    return false;
  } catch (const std::runtime_error& error) {
    std::fprintf(stderr, "selfpatch apply: %s\n", error.what());
    return false;
  }
  if (size > kLargestFile) {
    std::fprintf(stderr, "selfpatch apply: %s: 2 GiB or larger, too large for a delta\n", path.c_str());
    return false;
  }
  return true;
}

// The decoded file goes straight to OUTPUT's temporary file, in pieces of the
// staging buffer, and replaces OUTPUT only once the whole delta is decoded
// and written; false (with the reason printed, nothing left) otherwise.
bool DecodeToFile(const Arguments& arguments, ByteView delta, ByteView old) {
  const std::string& path = arguments.output;
  const fs::path temporary = fs::u8path(path + ".tmp~");
  std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
  if (!out) {
    std::fprintf(stderr, "selfpatch apply: %s: cannot create %s.tmp~\n", path.c_str(), path.c_str());
    return false;
  }
  constexpr uint32_t kStagingSize = 1 << 20;
  // Not zero-filled: the decoder writes every byte it hands on.
  std::unique_ptr<uint8_t[]> staging(new uint8_t[kStagingSize]);
  const auto write = [](void* context, const uint8_t* bytes, uint32_t length) {
    std::ofstream& file = *static_cast<std::ofstream*>(context);
    return bool(file.write(reinterpret_cast<const char*>(bytes), std::streamsize(length)));
  };
  const bool complete = ApplyDelta(DeltaOutput{&out, write, staging.get(), kStagingSize, false},
                                   delta, old);
  out.close();
  std::error_code error;
  if (!complete || !out) {
    fs::remove(temporary, error);
    if (!out)
      std::fprintf(stderr, "selfpatch apply: %s: write error\n", path.c_str());
    else
      std::fprintf(stderr,
                   "selfpatch apply: the delta '%s' does not fit '%s' (damaged, or made for "
                   "another old file)\n",
                   arguments.inputs[1].c_str(), arguments.inputs[0].c_str());
    return false;
  }
  fs::rename(temporary, fs::u8path(path), error);
  if (error) {
    std::fprintf(stderr, "selfpatch apply: %s: cannot replace: %s\n", path.c_str(),
                 error.message().c_str());
    fs::remove(temporary, error);
    return false;
  }
  return true;
}

int RunApply(int argc, char** argv) {
  Arguments arguments;
  int status = ParseArguments(argc, argv, kApplyUsage, false, arguments);
  if (status >= 0) return status;
  // The old file is mapped, as the installer maps it, rather than copied.
  std::unique_ptr<MappedFile> oldFile;
  try {
    oldFile = std::make_unique<MappedFile>(arguments.inputs[0]);
  } catch (const std::runtime_error& error) {
    std::fprintf(stderr, "selfpatch apply: %s\n", error.what());
    return 1;
  }
  DeltaInput delta;
  if (!ReadDelta(arguments, delta)) return 1;
  if (!ValidDeltaHeader(delta.body)) {
    std::fprintf(stderr, "selfpatch apply: '%s' does not start with a valid delta header\n",
                 arguments.inputs[1].c_str());
    return 1;
  }
  return DecodeToFile(arguments, delta.body, oldFile->view()) ? 0 : 1;
}

const CommandRegistration kDiff(Command{"diff", "write the delta between two files", RunDiff});
const CommandRegistration kApply(
    Command{"apply", "rebuild a file from its old version and a delta", RunApply});

}  // namespace
