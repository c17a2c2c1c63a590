#include "builder/pack_stub.h"

#include "builder/pack.h"
#include "builder/pack_files.h"

// SP_STUB_FILE names a copy of the installer program made at build time; it
// is empty when there was none to copy.
#ifdef SP_STUB_FILE
asm(".section .rodata\n"
    ".balign 16\n"
    ".globl sp_embedded_stub_begin\n"
    "sp_embedded_stub_begin:\n"
    ".incbin \"" SP_STUB_FILE "\"\n"
    ".globl sp_embedded_stub_end\n"
    "sp_embedded_stub_end:\n"
    ".text\n");  // GCC names the section of everything it emits next

extern "C" const uint8_t sp_embedded_stub_begin[];
extern "C" const uint8_t sp_embedded_stub_end[];

ByteView EmbeddedStub() {
  return ByteView{sp_embedded_stub_begin, uint32_t(sp_embedded_stub_end - sp_embedded_stub_begin)};
}
#else
ByteView EmbeddedStub() { return ByteView{nullptr, 0}; }
#endif

Bytes LoadStub(const std::string& path) {
  if (!path.empty()) return ReadFileBytes(path);
  const ByteView embedded = EmbeddedStub();
  if (embedded.size == 0)
    throw PackError("this selfpatch was built without an installer program: pass --stub FILE "
                    "(or build the Windows side first, then the tool)");
  return Bytes(embedded.data, embedded.data + embedded.size);
}
