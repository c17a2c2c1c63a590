// selfpatch pack: writes the payload (a patch and the programs to run after it)
// into the installer program and presets its switches.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "builder/cli/command.h"
#include "builder/cli/cli_app.h"
#include "builder/installer_limits.h"
#include "builder/pack.h"
#include "builder/pack_files.h"
#include "builder/pack_stub.h"

namespace {

const char kDescription[] =
    "Packs a patch and the programs to run after it into an installer program.\n"
    "The payload holds an empty first entry \"arg00\", the patch and each --run\n"
    "program, named by their base names, each compressed as a zlib stream (zlib\n"
    "level 9 or zopfli, whichever is smaller). It becomes the program's\n"
    "language-neutral RT_RCDATA resource 100. Switches preset in the program's\n"
    "header (--silent, --kill-parent, --switches) act as if given on its command\n"
    "line. A signature of the installer program is dropped: sign after packing.";

const char kFooter[] =
    "Examples:\n"
    "  selfpatch pack update.dif --run readme.exe -o update.exe\n"
    "  selfpatch pack update.dif --silent --kill-parent -o update-silent.exe\n"
    "  selfpatch pack --raw-payload damaged.bin --switches ' /s' -o test.exe";

struct PackArguments {
  std::string patch;
  std::string rawPayload;
  std::vector<std::string> programs;
  bool silent = false;
  bool killParent = false;
  std::string switches;
  std::string stub;
  std::string output;
  int zopfliIterations = CompressionOptions().zopfliIterations;
};

Bytes BuildPayloadFromFiles(const PackArguments& arguments) {
  if (!arguments.rawPayload.empty()) return ReadFileBytes(arguments.rawPayload);
  std::vector<PackFile> files;
  for (const std::string& path : {arguments.patch}) files.push_back({BaseName(path), ReadFileBytes(path)});
  for (const std::string& path : arguments.programs) files.push_back({BaseName(path), ReadFileBytes(path)});
  CompressionOptions options;
  options.zopfliIterations = arguments.zopfliIterations;
  return BuildPayload(files, options);
}

void PrintSummary(const std::string& output, const Bytes& installer, const Bytes& payload,
                  const std::string& switches) {
  std::printf("%s: %zu bytes, payload %zu bytes", output.c_str(), installer.size(), payload.size());
  if (!switches.empty()) std::printf(", switches \"%s\"", switches.c_str());
  std::printf("\n");
  try {
    for (const ContainerEntry& entry : ParsePayload(ByteView{payload.data(), uint32_t(payload.size())}))
      std::printf("  %-24s %10u bytes\n", entry.name.c_str(), entry.data.size);
  } catch (const PackError&) {
    std::printf("  (raw payload, not a valid container)\n");
  }
}

int Pack(const PackArguments& arguments) {
  const std::string switches = arguments.switches.empty()
                                   ? SwitchText(arguments.silent, arguments.killParent)
                                   : arguments.switches;
  CheckSwitchText(switches);
  const Bytes payload = BuildPayloadFromFiles(arguments);
  Bytes stub = LoadStub(arguments.stub);
  const std::string stubName = arguments.stub.empty() ? "built-in installer program" : arguments.stub;
  std::vector<std::string> warnings;
  Bytes installer;
  try {
    installer = PackInstaller(std::move(stub), payload, switches, warnings);
  } catch (const PeError& error) {
    throw PackError(stubName + ": " + error.what());
  }
  for (const std::string& warning : warnings)
    std::fprintf(stderr, "selfpatch pack: %s: warning: %s\n", stubName.c_str(), warning.c_str());
  // Packed anyway, so that tests and benchmarks can try what lies beyond the limit.
  if (!arguments.patch.empty()) {
    const std::string tooLarge = InstallerLimitFault(
        {std::filesystem::file_size(std::filesystem::u8path(arguments.patch)), payload.size(), 0});
    if (!tooLarge.empty()) std::fprintf(stderr, "selfpatch pack: warning: %s\n", tooLarge.c_str());
  }
  WriteFileReplacing(arguments.output, installer, true);
  PrintSummary(arguments.output, installer, payload, switches);
  return 0;
}

int RunPack(int argc, char** argv) {
  CommandApp app(kDescription, "selfpatch pack");
  app.footer(kFooter);
  PackArguments arguments;
  auto* patch = app.add_option("patch", arguments.patch, "The patch file (.dif)")
                    ->check(ExistingFile());
  auto* raw = app.add_option("--raw-payload", arguments.rawPayload,
                             "Use FILE's bytes as the whole payload, as they are (for tests "
                             "of damaged containers)")
                  ->check(ExistingFile());
  auto* run = app.add_option("--run", arguments.programs,
                             "A program to run after the update (repeatable, in order)")
                  ->allow_extra_args(false)
                  ->check(ExistingFile());
  auto* silent = app.add_flag("--silent", arguments.silent, "Preset the switch /s (no questions)");
  auto* kill = app.add_flag("--kill-parent", arguments.killParent,
                            "Preset the switch /k (end the program that starts the installer)");
  auto* switches = app.add_option("--switches", arguments.switches,
                                  "Preset this switch text verbatim; it must begin with a space "
                                  "and fit in 63 characters");
  app.add_option("--stub", arguments.stub,
                 "Installer program to pack into (default: the one built into this tool)")
      ->check(ExistingFile());
  app.add_option("-o,--output", arguments.output, "The installer to write")->required();
  app.add_option("--zopfli-iterations", arguments.zopfliIterations,
                 "Iterations of the zopfli encoder tried besides zlib -9; 0 for zlib alone")
      ->capture_default_str()
      ->check(CLI::Range(0, 1000));
  raw->excludes(patch)->excludes(run)->excludes(silent)->excludes(kill);
  switches->excludes(silent)->excludes(kill);
  try {
    app.parse(argc, argv);
    if (arguments.patch.empty() && arguments.rawPayload.empty())
      throw CLI::RequiredError("a patch file or --raw-payload");
  } catch (const CLI::ParseError& error) {
    return app.exit(error);
  }
  try {
    return Pack(arguments);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "selfpatch pack: %s\n", error.what());
    return 1;
  }
}

const CommandRegistration registration({"pack", "pack a patch and programs into an installer", RunPack});

}  // namespace
