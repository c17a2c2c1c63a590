// selfpatch make PROJECT.toml -o update.dif: the patch of a project, checked
// against every old folder before it is written.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <string>

#include "builder/cli/command.h"
#include "builder/cli/cli_app.h"
#include "builder/cli/project_command.h"
#include "builder/host.h"
#include "builder/pack_files.h"

namespace {

const char kDescription[] =
    "Makes the patch of a project file (TOML; see docs/project-file.md): for each\n"
    "file of the new folder, a delta from each old version that differs (or a\n"
    "chain of deltas through the later old versions when that is smaller) and the\n"
    "full content as the fallback. Before writing, the patch is applied in memory\n"
    "to every old folder and to the new folder; any file that would not come out\n"
    "as the new version fails the command and nothing is written.";

const char kFooter[] =
    "Examples:\n"
    "  selfpatch make product.toml -o update.dif\n"
    "  selfpatch build product.toml -o update.exe   (make, then pack with [pack])";

int RunMake(int argc, char** argv) {
  CommandApp app(kDescription, "selfpatch make");
  app.footer(kFooter);
  std::string project, output;
  RunOptions run;
  app.add_option("project", project, "The project file (.toml)")->required()->check(ExistingFile());
  app.add_option("-o,--output", output, "The patch file to write (.dif)")->required();
  AddRunOptions(app, run);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error);
  }
  try {
    ProgressLine progress(!run.quiet && ErrorStreamIsTerminal());
    const ProjectPatch made = MakeVerifiedPatch(project, "make", run, progress);
    WriteFileReplacing(output, made.made.bytes, false);
    CheckWritten(made, output);
    if (run.json) {
      nlohmann::json summary = PatchSummaryJson(made, run.verbose);
      summary["output"] = output;
      std::printf("%s\n", summary.dump(2).c_str());
      return 0;
    }
    std::printf("%s: ", output.c_str());
    PrintPatchSummary(made);
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "selfpatch make: %s\n", error.what());
    return 1;
  }
}

const CommandRegistration registration({"make", "make the patch of a project file (TOML)", RunMake});

}  // namespace
