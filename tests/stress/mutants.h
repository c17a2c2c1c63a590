// Mutation campaign over real patches and installer payloads: a small product in
// three versions, patches and payload containers written from it with the
// project's own writers and encoder, systematic mutants of them, and the check
// that the installer's own readers either refuse each mutant or produce what
// the CRC check then judges correctly.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "builder/format/patch_writer.h"

namespace stress {

// One version of one file of the product.
struct FileVersion {
  std::string name;
  int version;  // 1, 2 or 3
  Bytes content;
};

// A patch or payload the mutants start from.
struct Base {
  std::string name;
  bool payload = false;   // an installer's payload container (else a patch file)
  PatchFile patch;        // the patch (for a payload: the one it carries)
  Bytes bytes;            // as written
};

struct Fixture {
  std::vector<FileVersion> files;
  std::vector<Base> bases;
  Bytes followUpProgram;  // the payload's program to run afterwards
};

Fixture BuildFixture();

struct Mutant {
  std::string mutationClass;  // "bit flip", "truncation", "hostile name", ...
  std::string description;    // exactly what was changed, for a report
  size_t base = 0;            // index into Fixture::bases
  bool payload = false;
  bool mustBeRefused = false;  // a hostile name: validation has to refuse it
  Bytes bytes;
};

struct Plan {
  // 1: every bit of the fixed parts of records, entries and headers, and a bit
  // of every byte elsewhere; larger values take every n-th position only.
  uint32_t stride = 1;
  // Extra flips at pseudo-random places of each base.
  uint32_t randomFlips = 0;
  uint32_t seed = 1;
};

// Calls `visit` for every mutant of the plan, in a fixed order.
void ForEachMutant(const Fixture& fixture, const Plan& plan,
                   const std::function<void(const Mutant&)>& visit);

// What the installer's readers made of one mutant.
struct Outcome {
  // Where it was refused: "container", "inflate", "command line" (fewer than two
  // entries), "header", "records"; empty when it went through to the records.
  std::string refusedBy;
  uint32_t decoded = 0;        // records whose new content was produced
  uint32_t crcAccepted = 0;    // ... and matched their newCrc
  uint32_t crcRejected = 0;    // ... and did not
  uint32_t notApplicable = 0;  // deltas whose old version is not among the known files
  bool unsafeNameAccepted = false;  // a hostile name went through validation
  std::vector<std::string> faults;  // anything else that must never happen
};

Outcome CheckMutant(const Fixture& fixture, const Mutant& mutant);

// Figures per mutation class.
struct ClassFigures {
  uint64_t mutants = 0, refused = 0, accepted = 0, decoded = 0, crcAccepted = 0, crcRejected = 0,
           notApplicable = 0, unsafeNamesAccepted = 0, faults = 0;
};

struct Campaign {
  std::map<std::string, ClassFigures> classes;
  std::map<std::string, uint64_t> refusedBy;
  std::vector<std::string> faults;  // first few, with the mutant's description
  uint64_t total = 0;

  void Add(const Mutant& mutant, const Outcome& outcome);
  // Faults, and hostile names that validation let through.
  uint64_t FaultCount() const;
  uint64_t UnsafeNamesAccepted() const;
  void Print(std::ostream& out) const;
};

}  // namespace stress
