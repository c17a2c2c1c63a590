#include "builder/pack_stub.h"

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
    ".previous\n");

extern "C" const uint8_t sp_embedded_stub_begin[];
extern "C" const uint8_t sp_embedded_stub_end[];

ByteView EmbeddedStub() {
  return ByteView{sp_embedded_stub_begin, uint32_t(sp_embedded_stub_end - sp_embedded_stub_begin)};
}
#else
ByteView EmbeddedStub() { return ByteView{nullptr, 0}; }
#endif
