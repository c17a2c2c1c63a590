// The mutation campaign as a tool (make stress):
//   mutation_stress [--stride N] [--random-flips N]
//       checks every mutant and prints the figures per mutation class; exit 1
//       when any mutant broke a rule.
//   mutation_stress --emit DIR --count N
//       also writes about N mutants, spread over the classes, for the runs of
//       the real installer: DIR/NNNN.dif (a patch) or DIR/NNNN.payload (a payload
//       container), DIR/index.tsv (id, file, class, base, native verdict, whether
//       it must be refused, description) and the product's first version in
//       DIR/product/, where the installer is to find it.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>

#include "tests/stress/mutants.h"

namespace {

namespace fs = std::filesystem;

void WriteFile(const fs::path& path, const Bytes& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::string Verdict(const stress::Outcome& outcome) {
  if (!outcome.refusedBy.empty()) return "refused:" + outcome.refusedBy;
  return outcome.crcRejected ? "crc-rejected" : "accepted";
}

}  // namespace

int main(int argc, char** argv) {
  stress::Plan plan;
  std::string emitDir;
  uint32_t emitCount = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto next = [&]() -> const char* {
      if (i + 1 >= argc) {
        std::cerr << arg << " needs a value\n";
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--stride") plan.stride = uint32_t(std::atoi(next()));
    else if (arg == "--random-flips") plan.randomFlips = uint32_t(std::atoi(next()));
    else if (arg == "--emit") emitDir = next();
    else if (arg == "--count") emitCount = uint32_t(std::atoi(next()));
    else {
      std::cerr << "usage: mutation_stress [--stride N] [--random-flips N] [--emit DIR --count N]\n";
      return 2;
    }
  }
  if (plan.stride == 0) plan.stride = 1;

  const stress::Fixture fixture = stress::BuildFixture();
  // First pass: how many mutants each class has, so that the emitted ones can
  // be spread evenly.
  std::map<std::string, uint64_t> perClass;
  if (!emitDir.empty())
    stress::ForEachMutant(fixture, plan, [&](const stress::Mutant& mutant) { ++perClass[mutant.mutationClass]; });
  std::map<std::string, uint64_t> seen;
  std::ofstream index;
  uint32_t emitted = 0;
  if (!emitDir.empty()) {
    fs::remove_all(emitDir);
    fs::create_directories(emitDir);
    index.open(fs::path(emitDir) / "index.tsv");
    for (const stress::FileVersion& file : fixture.files) {
      std::string relative = file.name;
      for (char& c : relative)
        if (c == '\\') c = '/';
      if (file.version == 1) WriteFile(fs::path(emitDir) / "product" / relative, file.content);
      std::string flat = file.name;
      for (char& c : flat)
        if (c == '\\') c = '_';
      WriteFile(fs::path(emitDir) / "versions" / (flat + ".v" + std::to_string(file.version)), file.content);
    }
  }

  stress::Campaign campaign;
  double slowest = 0;
  std::string slowestMutant;
  const auto start = std::chrono::steady_clock::now();
  stress::ForEachMutant(fixture, plan, [&](const stress::Mutant& mutant) {
    const auto before = std::chrono::steady_clock::now();
    const stress::Outcome outcome = stress::CheckMutant(fixture, mutant);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - before).count();
    if (seconds > slowest) slowest = seconds, slowestMutant = mutant.description;
    campaign.Add(mutant, outcome);
    if (emitDir.empty() || perClass.empty()) return;
    // Every class gets its share of the emitted mutants, taken at even steps.
    const uint64_t share = (emitCount + perClass.size() - 1) / perClass.size();
    const uint64_t count = perClass[mutant.mutationClass];
    const uint64_t step = count > share ? count / share : 1;
    const uint64_t position = seen[mutant.mutationClass]++;
    if (position % step != 0 || position / step >= share) return;
    char id[16];
    std::snprintf(id, sizeof id, "%04u", emitted++);
    const std::string file = std::string(id) + (mutant.payload ? ".payload" : ".dif");
    WriteFile(fs::path(emitDir) / file, mutant.bytes);
    index << id << '\t' << file << '\t' << mutant.mutationClass << '\t' << fixture.bases[mutant.base].name << '\t'
          << Verdict(outcome) << '\t' << (mutant.mustBeRefused ? 1 : 0) << '\t' << mutant.description << '\n';
  });
  const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  campaign.Print(std::cout);
  std::cout << campaign.total << " mutants checked in " << total << " s; slowest " << slowest * 1000 << " ms ("
            << slowestMutant << ")\n";
  if (!emitDir.empty()) std::cout << emitted << " mutants written to " << emitDir << "\n";
  return campaign.FaultCount() + campaign.UnsafeNamesAccepted() == 0 ? 0 : 1;
}
