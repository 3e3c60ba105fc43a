/* Linker script for the tiny console programs: code, constants and the import tables share
   one read-only section, so the image needs few sections and a single header block. The
   loader makes the import address table writable while it binds the imports. */
SECTIONS
{
  . = SIZEOF_HEADERS;
  . = ALIGN(__section_alignment__);
  .text __image_base__ + __section_alignment__ :
  {
    *(.text) *(SORT(.text$*)) *(.text.*)
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
  }
  .data BLOCK(__section_alignment__) : { *(.data) *(.data2) *(SORT(.data$*)) }
  .bss BLOCK(__section_alignment__) : { *(.bss) *(SORT(.bss$*)) *(COMMON) }
  .rsrc BLOCK(__section_alignment__) : { KEEP (*(.rsrc)) KEEP (*(SORT(.rsrc$*))) }
  /DISCARD/ :
  {
    *(.debug$S) *(.debug$T) *(.debug$F) *(.drectve) *(.note.GNU-stack) *(.gnu.lto_*)
    *(.eh_frame*) *(.pdata*) *(.comment)
  }
}
