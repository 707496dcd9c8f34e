/* The program image, embedded as it was built. The runtime copies it before
 * relocating, so it can stay read-only here. */
    .section .rodata.cumulo_image, "a"
    .balign 16
    .globl cu_embedded_image
    .type cu_embedded_image, @object
cu_embedded_image:
    .incbin CUMULO_IMAGE_FILE
    .size cu_embedded_image, . - cu_embedded_image
    .section .note.GNU-stack, "", @progbits
