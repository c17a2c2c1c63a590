// selfpatch build PROJECT.toml -o update.exe: the patch of a project packed into
// the installer with the project's [pack] settings, checked before and after.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "builder/cli/command.h"
#include "builder/cli/cli_app.h"
#include "builder/cli/project_command.h"
#include "builder/host.h"
#include "builder/installer_limits.h"
#include "builder/pack.h"
#include "builder/pack_files.h"
#include "builder/pack_stub.h"
#include "builder/verify.h"

namespace {

const char kDescription[] =
    "Makes the patch of a project file as `selfpatch make` does, then packs it\n"
    "into the installer program with the follow-up programs and switches of the\n"
    "project's [pack] section, as `selfpatch pack` does. The patch is verified\n"
    "against every old folder and the new folder before packing, and read back\n"
    "from the written installer and compared with the one verified.";

const char kFooter[] =
    "Example:\n"
    "  selfpatch build product.toml -o update.exe";

// The payload's name for the patch.
constexpr const char* kPatchEntryName = "update.dif";

struct BuildArguments {
  std::string project, output, stub;
  int zopfliIterations = CompressionOptions().zopfliIterations;
  RunOptions run;
};

// The patch entry of the installer written at `path` must inflate to the
// patch that was verified.
void CheckWrittenInstaller(const std::string& path, const Bytes& patch) {
  const InstallerContents contents = ReadInstaller(ReadFileBytes(path));
  for (const ContainerEntry& entry : ParsePayload(ByteView{contents.payload.data(), uint32_t(contents.payload.size())}))
    if (entry.name == kPatchEntryName && InflatesTo(entry.data, ByteView{patch.data(), uint32_t(patch.size())}))
      return;
  throw std::runtime_error(path + ": the patch read back is not the one verified");
}

int Build(const BuildArguments& arguments) {
  ProgressLine progress(!arguments.run.quiet && ErrorStreamIsTerminal());
  const ProjectPatch made = MakeVerifiedPatch(arguments.project, "build", arguments.run, progress);
  const PackSettings& settings = made.project.pack;
  std::vector<PackFile> programs;
  for (const auto& program : settings.run)
    programs.push_back({program.filename().u8string(), ReadFileBytes(program.u8string())});
  const std::string switches = SwitchText(settings.silent, settings.killParent);
  CheckSwitchText(switches);
  CompressionOptions compression;
  compression.zopfliIterations = arguments.zopfliIterations;
  compression.threads = arguments.run.threads;
  compression.onChunkDone = [&](size_t done, size_t total) {
    progress.Show("compressing (chunks)", done, total, uint64_t(done) * kDeflateChunkSize,
                  uint64_t(total) * kDeflateChunkSize);
  };
  std::vector<PackEntry> entries{{kPatchEntryName, &made.made.bytes}};
  for (const PackFile& program : programs) entries.push_back({program.name, &program.content});
  Bytes payload = BuildPayloadFrom(entries, compression);
  progress.Clear();
  const size_t payloadBytes = payload.size();
  const std::string tooLarge =
      InstallerLimitFault({made.made.bytes.size(), payloadBytes, made.made.summary.largestFileBytes});
  if (!tooLarge.empty()) throw std::runtime_error(tooLarge);
  std::vector<std::string> warnings;
  Bytes installer = PackInstaller(LoadStub(arguments.stub), std::move(payload), switches, warnings);
  for (const std::string& warning : warnings)
    std::fprintf(stderr, "selfpatch build: warning: %s\n", warning.c_str());
  WriteFileReplacing(arguments.output, installer, true);
  const size_t installerBytes = installer.size();
  Bytes().swap(installer);
  CheckWrittenInstaller(arguments.output, made.made.bytes);
  if (arguments.run.json) {
    nlohmann::json summary = PatchSummaryJson(made, arguments.run.verbose);
    summary["installer"] = {{"path", arguments.output}, {"bytes", installerBytes}, {"payload_bytes", payloadBytes},
                            {"switches", switches}};
    std::printf("%s\n", summary.dump(2).c_str());
    return 0;
  }
  std::printf("%s: %zu bytes, payload %zu bytes", arguments.output.c_str(), installerBytes, payloadBytes);
  if (!switches.empty()) std::printf(", switches \"%s\"", switches.c_str());
  for (const PackFile& program : programs) std::printf(", runs %s", program.name.c_str());
  std::printf("\n");
  PrintPatchSummary(made);
  return 0;
}

int RunBuild(int argc, char** argv) {
  CommandApp app(kDescription, "selfpatch build");
  app.footer(kFooter);
  BuildArguments arguments;
  app.add_option("project", arguments.project, "The project file (.toml)")
      ->required()
      ->check(ExistingFile());
  app.add_option("-o,--output", arguments.output, "The installer to write (.exe)")->required();
  app.add_option("--stub", arguments.stub,
                 "Installer program to pack into (default: the one built into this tool)")
      ->check(ExistingFile());
  app.add_option("--zopfli-iterations", arguments.zopfliIterations,
                 "Iterations of the zopfli encoder tried besides zlib -9; 0 for zlib alone")
      ->capture_default_str()
      ->check(CLI::Range(0, 1000));
  AddRunOptions(app, arguments.run);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error);
  }
  try {
    return Build(arguments);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "selfpatch build: %s\n", error.what());
    return 1;
  }
}

const CommandRegistration registration(
    {"build", "make a project's patch and pack it into an installer", RunBuild});

}  // namespace
