/* Linker script for the tiny console programs: three sections, so that the section table
   fits in one 512-byte header block.
     .text   code only: executable, read-only;
     .rdata  constants, the import tables, the resources and the base relocations: read-only,
             not executable (the loader makes the import address table writable only while
             it binds the imports);
     .bss    the writable globals, zero at start: writable, not executable.
   ld fills the resource and base-relocation directories only from sections of their own
   names, so the spans they occupy inside .rdata are marked with the __rsrc_* and __reloc_*
   symbols, and scripts/pe-directories.py points the two directories at them after the link.
   The relocations come last: nothing after them in the image may need one. */
SECTIONS
{
  . = SIZEOF_HEADERS;
  . = ALIGN(__section_alignment__);
  .text __image_base__ + __section_alignment__ (READONLY) :
  {
    *(.text) *(SORT(.text$*)) *(.text.*)
  }
  .rdata BLOCK(__section_alignment__) (READONLY) :
  {
    *(.rdata) *(SORT(.rdata$*))
    . = ALIGN(4);
    ".idata$2" = ABSOLUTE(. - __image_base__);
    KEEP (SORT(*)(.idata$2))
    KEEP (SORT(*)(.idata$3))
    LONG (0); LONG (0); LONG (0); LONG (0); LONG (0);
    ".idata$4" = ABSOLUTE(. - __image_base__);
    KEEP (SORT(*)(.idata$4))
    __IAT_start__ = .;
    ".idata$5" = ABSOLUTE(. - __image_base__);
    KEEP (SORT(*)(.idata$5))
    __IAT_end__ = .;
    ".idata$6" = ABSOLUTE(. - __image_base__);
    KEEP (SORT(*)(.idata$6))
    KEEP (SORT(*)(.idata$7))
    . = ALIGN(4);
    __rsrc_start__ = .;
    KEEP (*(.rsrc)) KEEP (*(SORT(.rsrc$*)))
    __rsrc_end__ = .;
    . = ALIGN(4);
    __reloc_start__ = .;
    KEEP (*(.reloc))
    __reloc_end__ = .;
  }
  .bss BLOCK(__section_alignment__) :
  {
    *(.data) *(.data2) *(SORT(.data$*)) *(.bss) *(SORT(.bss$*)) *(COMMON)
  }
  /DISCARD/ :
  {
    *(.debug$S) *(.debug$T) *(.debug$F) *(.drectve) *(.note.GNU-stack) *(.gnu.lto_*)
    *(.eh_frame*) *(.pdata*) *(.xdata*) *(.comment)
  }
}
