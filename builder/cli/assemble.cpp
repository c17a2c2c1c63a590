// selfpatch assemble DESC.json -o OUT.dif: writes a patch file exactly as a JSON
// description says, including deliberately faulty ones for tests.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "builder/cli/command.h"
#include "builder/host.h"
#include "builder/patch_description.h"

namespace {

const char kHelp[] = R"(usage: selfpatch assemble DESC.json -o OUT.dif

Writes a patch file as DESC.json describes it. Paths in the description are
relative to the folder of DESC.json.

Description (a JSON object):
  "codepage": 932           optional: texts and names given as JSON strings are
                            converted from UTF-8 to this Windows code page
  "texts": {"KEY": TEXT}    header entries in the order given; KEY is written as
                            is ("07" is key 7 with a leading zero, "50" makes a
                            faulty header)
  "entries": [{"key": KEY, "text": TEXT}]
                            the same as a list (repeated keys); written after "texts"
  "magic": true             false leaves out "DIF0"
  "records": [RECORD]       the file records, in order
  "truncate": N             cut the finished file to its first N bytes
  "append": BYTES           raw bytes added at the very end

TEXT: a JSON string (converted by "codepage") or BYTES.
BYTES: a JSON string (its UTF-8 bytes, unconverted), {"text": S, "codepage": N},
  {"hex": "44 49 46 30"} (spaces allowed), {"file": PATH}.

RECORD:
  "name": TEXT              the target file name
  "flags": N                flag bits (1/2 platform, 4 no-create, 8 optional),
                            written as the fewest flag bytes
  "flagBytes": [N, ...]     explicit flag bytes instead of "flags"
  "lastWriteTime": N        FILETIME (100 ns since 1601-01-01 UTC), default 0
  and one body:
  "content": BYTES          full content: oldSize 0, oldCrc 0
  "old": BYTES with one of
    "new": BYTES            a delta made by the encoder of `diff` and `make`
    "ops": [OP]             a delta from writer operations:
                              {"literal": BYTES}
                              {"copy": {"position": N, "new": BYTES}}
                            (position in the old file; the new bytes of the block)
    "blocks": [BLOCK]       a delta from explicit decoder steps:
                              {"literal": BYTES}
                              {"copy": {"length": N, "distance": D,
                                        "patches": [{"skip": N} | {"byteAdd": N} |
                                                    {"wordAdd": N}],
                                        "patchCount": N}}  (patchCount optional)
                            D is relative to the end of the previous block
    "body": BYTES           a delta body taken as it is
  "deltaHeader": {FIELD: N} override DeltaHeader offsets after writing the body
                            (literalFlagsOffset, patchBitsOffset, lengthsOffset,
                            positionsOffset, patchCountsOffset, skipsOffset,
                            literalsOffset, addendsOffset)
  "oldSize", "oldCrc", "newCrc", "recordLength": N
                            write N instead of the computed value (oldSize and
                            oldCrc of a delta come from "old", newCrc from
                            decoding the delta over "old")
  "allowUnsafeName": true   write a name that the installer refuses (absolute,
                            "..", a drive, a device name...); without it such a
                            name is an error

Example:
  {"codepage": 932,
   "texts": {"0": "Product", "5": "%s %s Update", "32": "Data damaged: %s"},
   "records": [
     {"name": "app.exe", "flags": 4, "old": {"file": "v1/app.exe"},
      "new": {"file": "v2/app.exe"}},
     {"name": "readme.txt", "content": "hello\n"}]}
)";

int RunAssemble(int argc, char** argv) {
  std::string input, output;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (arg == "-o" && i + 1 < argc) output = argv[++i];
    else if (input.empty() && arg[0] != '-') input = arg;
    else {
      std::fprintf(stderr, "selfpatch assemble: unexpected argument '%s'\n", arg.c_str());
      return 2;
    }
  }
  if (input.empty() || output.empty()) {
    std::fputs(kHelp, stderr);
    return 2;
  }
  try {
    const size_t slash = input.find_last_of(kPathSeparators);
    const std::string folder = slash == std::string::npos ? "" : input.substr(0, slash + 1);
    std::ifstream in(std::filesystem::u8path(input), std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + input);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const Bytes file = AssemblePatch(text, folder);
    std::ofstream out(std::filesystem::u8path(output), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
    if (!out.flush()) throw std::runtime_error("cannot write " + output);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "selfpatch assemble: %s\n", error.what());
    return 1;
  }
  return 0;
}

const CommandRegistration kRegistration(
    Command{"assemble", "write a patch file from a JSON description", RunAssemble});

}  // namespace
