/* Merges the image code's objects (ld -r): all code into one .text, globals
 * into one .bss. Read-only data keeps its own sections, so that the builder
 * sees the string and constant pools with their merge flags and can store
 * each distinct text and constant once. */
SECTIONS
{
  .text : { *(.text.unlikely .text.unlikely.*) *(.text.startup .text.startup.*) *(.text.hot .text.hot.*) *(.text .text.*) }
  .bss : { *(.bss .bss.*) *(COMMON) }
  .data : { *(.data .data.*) }
  /DISCARD/ : { *(.comment) *(.note.*) *(.eh_frame) *(.eh_frame_hdr) }
}
