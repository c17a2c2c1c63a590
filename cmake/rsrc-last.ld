/* Added to the default linker script: puts the base relocations before the
   resources, so the resource section is the last one and the packer can grow
   it in place without moving any other section. */
SECTIONS
{
  .reloc BLOCK(__section_alignment__) :
  {
    *(.reloc)
  }
}
INSERT BEFORE .rsrc;
